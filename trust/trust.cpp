#include "trust/trust.h"

#include <sodium.h>

#include <algorithm>

namespace tovrix::trust {
namespace {

constexpr std::string_view kUntrusted = "untrusted comment:";
constexpr std::string_view kTrusted = "trusted comment: ";
constexpr std::size_t kKeyBytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES;
constexpr std::size_t kSignatureBytes = 2 + 8 + crypto_sign_BYTES;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The lines of text, each without its LF or CR LF; a last line without a
// line end counts, an empty one after the last line end does not.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Exactly size bytes of base64 (padded, the original alphabet) in line.
bool DecodeBase64(std::string_view line, uint8_t* bytes, std::size_t size) {
  line = TrimBlanks(line);
  if (line.empty()) return false;
  std::size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bytes, size, line.data(), line.size(), nullptr, &decoded, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  return decoded == size && end == line.data() + line.size();
}

bool OnlyBlankLinesFrom(const std::vector<std::string_view>& lines, std::size_t first) {
  return std::all_of(lines.begin() + static_cast<std::ptrdiff_t>(std::min(first, lines.size())), lines.end(),
                     [](std::string_view line) { return TrimBlanks(line).empty(); });
}

bool Verifies(const uint8_t* signature, const uint8_t* message, std::size_t size, const PublicKey& key) {
  return crypto_sign_verify_detached(signature, message, size, key.key.data()) == 0;
}

}  // namespace

bool IsSha256Hex(std::string_view text) {
  return text.size() == kSha256HexDigits && std::all_of(text.begin(), text.end(), IsHexDigit);
}

std::string LowerHex(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::optional<ListFault> ParseApprovedList(std::string_view text, std::vector<std::string>& digests) {
  std::vector<std::string> found;
  const std::vector<std::string_view> lines = Lines(text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    const std::size_t comment = line.find('#');
    if (comment != std::string_view::npos) line = line.substr(0, comment);
    line = TrimBlanks(line);
    if (line.empty()) continue;
    const std::string_view digest = line.substr(0, std::min(line.size(), kSha256HexDigits));
    // A note after the digest is set off by a blank.
    if (!IsSha256Hex(digest) || (line.size() > kSha256HexDigits && !IsBlank(line[kSha256HexDigits]))) {
      return ListFault{static_cast<int>(i + 1), std::string(lines[i])};
    }
    found.push_back(LowerHex(digest));
  }
  digests.insert(digests.end(), found.begin(), found.end());
  return std::nullopt;
}

std::string KeyIdText(const KeyId& id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = id.size(); i-- > 0;) {
    text += kDigits[id[i] >> 4];
    text += kDigits[id[i] & 15];
  }
  return text;
}

KeyRead ParsePublicKey(std::string_view text) {
  const std::vector<std::string_view> lines = Lines(text);
  std::size_t at = 0;
  if (at < lines.size() && lines[at].substr(0, kUntrusted.size()) == kUntrusted) ++at;
  if (at >= lines.size() || TrimBlanks(lines[at]).empty()) return {std::nullopt, Malformed::NoKeyLine};
  std::array<uint8_t, kKeyBytes> bytes{};
  if (!DecodeBase64(lines[at], bytes.data(), bytes.size())) return {std::nullopt, Malformed::KeyBase64};
  if (bytes[0] != 'E' || bytes[1] != 'd') return {std::nullopt, Malformed::KeyAlgorithm};
  if (!OnlyBlankLinesFrom(lines, at + 1)) return {std::nullopt, Malformed::ExtraText};
  PublicKey key;
  std::copy_n(bytes.begin() + 2, key.id.size(), key.id.begin());
  std::copy_n(bytes.begin() + 2 + key.id.size(), key.key.size(), key.key.begin());
  return {key, Malformed::NoKeyLine};
}

SignatureCheck VerifySignature(std::string_view image, std::string_view signature,
                               const std::vector<PublicKey>& keys) {
  SignatureCheck check;
  const auto malformed = [&](Malformed what) {
    check.refusal = Refusal::MalformedSignature;
    check.malformed = what;
    return check;
  };
  const std::vector<std::string_view> lines = Lines(signature);
  if (lines.empty() || lines[0].substr(0, kUntrusted.size()) != kUntrusted) {
    return malformed(Malformed::NoUntrustedComment);
  }
  std::array<uint8_t, kSignatureBytes> bytes{};
  if (lines.size() < 2 || !DecodeBase64(lines[1], bytes.data(), bytes.size())) {
    return malformed(Malformed::SignatureBase64);
  }
  if (bytes[0] != 'E' || (bytes[1] != 'D' && bytes[1] != 'd')) return malformed(Malformed::SignatureAlgorithm);
  check.prehashed = bytes[1] == 'D';
  KeyId id{};
  std::copy_n(bytes.begin() + 2, id.size(), id.begin());
  check.keyId = KeyIdText(id);
  const uint8_t* fileSignature = bytes.data() + 2 + id.size();
  if (lines.size() < 3 || lines[2].substr(0, kTrusted.size()) != kTrusted) {
    return malformed(Malformed::NoTrustedComment);
  }
  check.trustedComment = lines[2].substr(kTrusted.size());
  std::array<uint8_t, crypto_sign_BYTES> global{};
  if (lines.size() < 4 || !DecodeBase64(lines[3], global.data(), global.size())) {
    return malformed(Malformed::GlobalBase64);
  }
  if (!OnlyBlankLinesFrom(lines, 4)) return malformed(Malformed::ExtraText);

  if (std::none_of(keys.begin(), keys.end(), [&](const PublicKey& key) { return key.id == id; })) {
    check.refusal = Refusal::OtherKey;
    return check;
  }
  if (sodium_init() < 0) {
    check.refusal = Refusal::NoLibrary;
    return check;
  }
  std::array<uint8_t, crypto_generichash_BYTES_MAX> hash{};
  std::string_view message = image;
  if (check.prehashed) {
    crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const uint8_t*>(image.data()), image.size(),
                       nullptr, 0);
    message = std::string_view(reinterpret_cast<const char*>(hash.data()), hash.size());
  }
  std::string comment(reinterpret_cast<const char*>(fileSignature), crypto_sign_BYTES);
  comment += check.trustedComment;
  // Two trusted keys may share an id: any of them that verifies both takes it.
  check.refusal = Refusal::ImageChanged;
  for (const PublicKey& key : keys) {
    if (key.id != id) continue;
    if (!Verifies(fileSignature, reinterpret_cast<const uint8_t*>(message.data()), message.size(), key)) continue;
    if (Verifies(global.data(), reinterpret_cast<const uint8_t*>(comment.data()), comment.size(), key)) {
      check.refusal = Refusal::None;
      break;
    }
    check.refusal = Refusal::CommentChanged;
  }
  return check;
}

}  // namespace tovrix::trust
