// The JSON text of tovrix-flash's events.
#pragma once

#include <string>
#include <string_view>

namespace tovrix::cli {

// JSON text of a string, with its quotes. JSON is UTF-8: a byte that is not
// part of a well-formed UTF-8 sequence (text in another encoding) becomes
// U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace tovrix::cli
