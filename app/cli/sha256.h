// SHA-256, taken from the platform and never computed by code of our own:
// OpenSSL's libcrypto on Linux (sha256_openssl.cpp), CNG's BCryptHash
// (bcrypt.dll, which ships with Windows, loaded from the system folder
// only) on Windows (sha256_cng.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "hid/platform.h"

namespace tovrix::cli {

// The digest of data as 64 lowercase hexadecimal digits; empty when the
// platform could not compute it.
std::string Sha256Hex(std::string_view data);

// Why the platform cannot compute it on this machine (on Windows:
// bcrypt.dll does not load from the system folder, or lacks a function);
// empty when it can.
std::optional<SystemLibraryFailure> Sha256Failure();

}  // namespace tovrix::cli
