#include <openssl/evp.h>

#include "app/cli/sha256.h"

namespace tovrix::cli {

// libcrypto is linked in: the program would not have started without it.
std::optional<SystemLibraryFailure> Sha256Failure() { return std::nullopt; }

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 15];
  }
  return text;
}

}  // namespace tovrix::cli
