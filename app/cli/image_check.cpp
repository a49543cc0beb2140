#include "app/cli/image_check.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "app/image_file.h"
#include "trust/trust.h"

namespace tovrix::cli {
namespace {

constexpr const char* kUntouched = "; no unit was touched";

std::string MalformedText(trust::Malformed what) {
  using M = trust::Malformed;
  switch (what) {
    case M::NoKeyLine: return "it has no key line";
    case M::KeyBase64: return "its key line is not the base64 of 42 bytes";
    case M::KeyAlgorithm: return "its key is not an Ed25519 key (\"Ed\")";
    case M::ExtraText: return "it has text after its last line";
    case M::NoUntrustedComment: return "its first line is not \"untrusted comment: ...\"";
    case M::SignatureBase64: return "its second line is not the base64 of 74 bytes";
    case M::SignatureAlgorithm: return "its signature is neither prehashed (\"ED\") nor legacy (\"Ed\") Ed25519";
    case M::NoTrustedComment: return "its third line is not \"trusted comment: ...\"";
    case M::GlobalBase64: return "its fourth line is not the base64 of 64 bytes";
  }
  return "it is not in minisign's format";
}

std::string ReadError(const ImageBytes& file) {
  return file.tooLarge ? TooLargeText(file.size) : file.error;
}

ImageCheck Refuse(ImageCheck check, std::string reason, std::string brief) {
  check.refused = true;
  check.reason = std::move(reason) + kUntouched;
  check.brief = std::move(brief);
  return check;
}

}  // namespace

ImageCheck CheckImage(const FlashOptions& options, const std::string& path, const std::string& bytes,
                      const std::string& sha256) {
  ImageCheck check;
  if (options.approval) {
    check.trust.approved = std::find(options.approved.begin(), options.approved.end(), sha256) != options.approved.end();
    if (!*check.trust.approved) {
      return Refuse(check, "Image not approved: its SHA-256 " + sha256 + " is not among the approved digests",
                    "not approved, SHA-256 " + sha256);
    }
  }
  if (options.keys.empty()) return check;

  std::vector<trust::PublicKey> keys;
  std::vector<std::string> keyIds;
  for (const std::string& keyPath : options.keys) {
    const std::shared_ptr<const ImageBytes> file = ReadImageFile(keyPath);
    if (!file->read) return Refuse(check, "Cannot read the key " + keyPath + ": " + ReadError(*file), "no key");
    const trust::KeyRead key = trust::ParsePublicKey(file->bytes);
    if (!key.key) {
      return Refuse(check, "The key " + keyPath + " is not a minisign public key: " + MalformedText(key.fault),
                    "malformed key");
    }
    keys.push_back(*key.key);
    keyIds.push_back(trust::KeyIdText(key.key->id));
  }
  const std::string signaturePath = options.signature.empty() ? path + ".minisig" : options.signature;
  const std::shared_ptr<const ImageBytes> signature = ReadImageFile(signaturePath);
  if (!signature->read) {
    return Refuse(check, "No signature for the image: cannot read " + signaturePath + ": " + ReadError(*signature),
                  "no signature");
  }
  const trust::SignatureCheck verified = trust::VerifySignature(bytes, signature->bytes, keys);
  using R = trust::Refusal;
  switch (verified.refusal) {
    case R::None:
      check.trust.keyId = verified.keyId;
      check.trust.trustedComment = verified.trustedComment;
      return check;
    case R::MalformedSignature:
      return Refuse(check,
                    "The signature " + signaturePath + " is not a minisign signature: " +
                        MalformedText(verified.malformed),
                    "malformed signature");
    case R::OtherKey: {
      std::string trusted;
      for (const std::string& id : keyIds) trusted += (trusted.empty() ? "" : ", ") + id;
      return Refuse(check,
                    "The image is signed by key " + verified.keyId + ", not by the trusted key" +
                        (keyIds.size() > 1 ? "s " : " ") + trusted + " (" + signaturePath + ")",
                    "signed by key " + verified.keyId + ", not trusted");
    }
    case R::ImageChanged:
      return Refuse(check,
                    "The image does not match its signature by key " + verified.keyId + " (" + signaturePath +
                        "): it was changed after it was signed, or the signature is of another file",
                    "image changed since signed");
    case R::CommentChanged:
      return Refuse(check,
                    "The trusted comment of the signature " + signaturePath +
                        " was changed after it was signed by key " + verified.keyId,
                    "trusted comment changed");
    case R::NoLibrary:
      return Refuse(check, "libsodium could not be started: the signature cannot be checked", "no libsodium");
  }
  return Refuse(check, "The signature could not be checked", "signature not checked");
}

}  // namespace tovrix::cli
