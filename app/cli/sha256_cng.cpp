#include "hid/windows/system_library.h"
// windows.h first: bcrypt.h takes its types from there.
#include <bcrypt.h>

#include <climits>

#include "app/cli/sha256.h"

namespace tovrix::cli {
namespace {

// CNG's functions, from bcrypt.dll of the system folder (no KnownDLL, so
// never imported: see hid/windows/system_library.h).
struct Cng {
  Cng() {
    dll.Take(OpenAlgorithmProvider, "BCryptOpenAlgorithmProvider");
    dll.Take(Hash, "BCryptHash");
    dll.Take(CloseAlgorithmProvider, "BCryptCloseAlgorithmProvider");
  }
  windows_hid::SystemLibrary dll{"bcrypt.dll"};
  decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider = nullptr;
  decltype(&::BCryptHash) Hash = nullptr;
  decltype(&::BCryptCloseAlgorithmProvider) CloseAlgorithmProvider = nullptr;
};

}  // namespace

std::optional<SystemLibraryFailure> Sha256Failure() { return Cng().dll.Failure(); }

std::string Sha256Hex(std::string_view data) {
  if (data.size() > ULONG_MAX) return {};
  const Cng cng;
  if (cng.dll.Failure()) return {};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(cng.OpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
  UCHAR digest[32];
  // BCryptHash only reads its input; its prototype lacks the const.
  auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(data.data()));
  const NTSTATUS status =
      cng.Hash(algorithm, nullptr, 0, input, static_cast<ULONG>(data.size()), digest, sizeof digest);
  cng.CloseAlgorithmProvider(algorithm, 0);
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
