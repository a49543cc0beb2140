#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: bcrypt.h takes its types from there.
#include <bcrypt.h>

#include <climits>

#include "app/cli/sha256.h"

namespace tovrix::cli {

std::string Sha256Hex(std::string_view data) {
  if (data.size() > ULONG_MAX) return {};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
  UCHAR digest[32];
  // BCryptHash only reads its input; its prototype lacks the const.
  auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(data.data()));
  const NTSTATUS status =
      BCryptHash(algorithm, nullptr, 0, input, static_cast<ULONG>(data.size()), digest, sizeof digest);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!BCRYPT_SUCCESS(status)) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const UCHAR byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace tovrix::cli
