// SHA-256, taken from the platform and never computed by code of our own:
// OpenSSL's libcrypto on Linux (sha256_openssl.cpp), CNG's BCryptHash
// (bcrypt.dll, which ships with Windows) on Windows (sha256_cng.cpp).
#pragma once

#include <string>
#include <string_view>

namespace tovrix::cli {

// The digest of data as 64 lowercase hexadecimal digits; empty when the
// platform could not compute it.
std::string Sha256Hex(std::string_view data);

}  // namespace tovrix::cli
