// Which images a station may write: those whose SHA-256 is approved, and
// those signed in minisign's format (Ed25519) by a trusted key.
//
// Approved digests are 64 hexadecimal digits, in either case. A list of
// them in a file holds one a line; "#" starts a comment, blank lines are
// left out, and a digest may be followed by blanks and a note (the file
// name of a line that sha256sum wrote).
//
// A minisign public key file is an untrusted comment line and the key in
// base64: "Ed", 8 bytes of key id, 32 bytes of Ed25519 key. A signature
// file is four lines: an untrusted comment; the signature in base64 ("ED"
// for a signature over the BLAKE2b-512 of the file, minisign's default, or
// "Ed" for one over the file itself, the legacy form; then the signing
// key's id and 64 bytes of signature); the trusted comment; and the global
// signature in base64, over the signature's 64 bytes followed by the
// trusted comment, so that the comment cannot be changed either. Lines may
// end in LF or CR LF.
//
// The texts are parsed here; every hash and every signature is libsodium's.
// What is refused is a value with its kind: the program says it in words.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovrix::trust {

inline constexpr std::size_t kSha256HexDigits = 64;

// Whether text is a SHA-256 in hexadecimal: 64 digits, either case.
bool IsSha256Hex(std::string_view text);
// The digest in lowercase, as the program writes digests.
std::string LowerHex(std::string_view text);

// A line of an approved list that is not a digest.
struct ListFault {
  int line = 0;      // from 1
  std::string text;  // the line as it stands (its line end left out)
};

// Adds the digests of an approved list (in lowercase) to digests; the first
// bad line when there is one (digests then unchanged).
std::optional<ListFault> ParseApprovedList(std::string_view text, std::vector<std::string>& digests);

using KeyId = std::array<uint8_t, 8>;

// The key id as minisign writes it: 16 uppercase hexadecimal digits, the
// id's bytes read as a little-endian number.
std::string KeyIdText(const KeyId& id);

struct PublicKey {
  KeyId id{};
  std::array<uint8_t, 32> key{};
};

// What is wrong in a key or a signature file.
enum class Malformed {
  NoKeyLine,          // a key file without the key's line
  KeyBase64,          // the key's line is not base64 of 42 bytes
  KeyAlgorithm,       // the key is not an Ed25519 key ("Ed")
  ExtraText,          // text after the last line the file should hold
  NoUntrustedComment, // the first line is not "untrusted comment: ..."
  SignatureBase64,    // the signature's line is not base64 of 74 bytes
  SignatureAlgorithm, // neither "ED" nor "Ed"
  NoTrustedComment,   // the third line is not "trusted comment: ..."
  GlobalBase64,       // the fourth line is not base64 of 64 bytes
};

// A key file's key, or what is wrong with it.
struct KeyRead {
  std::optional<PublicKey> key;
  Malformed fault = Malformed::NoKeyLine;  // when there is no key
};
KeyRead ParsePublicKey(std::string_view text);

// Why a signed image is refused.
enum class Refusal {
  None,
  MalformedSignature,  // the signature file is not minisign's (see malformed)
  OtherKey,            // signed by a key that is not trusted
  ImageChanged,        // the signature does not verify over the image
  CommentChanged,      // the global signature does not verify: the trusted comment was changed
  NoLibrary,           // libsodium could not be started
};

struct SignatureCheck {
  Refusal refusal = Refusal::None;  // None: the image is taken
  Malformed malformed = Malformed::NoUntrustedComment;  // with MalformedSignature
  std::string keyId;           // the key that signed it (KeyIdText), once read
  std::string trustedComment;  // once read
  bool prehashed = false;      // "ED": over the image's BLAKE2b-512
};

// Checks signature (a signature file's text) over image with the keys: the
// image is taken when a key whose id the signature names verifies both the
// signature over image and the global signature over the trusted comment.
SignatureCheck VerifySignature(std::string_view image, std::string_view signature,
                               const std::vector<PublicKey>& keys);

}  // namespace tovrix::trust
