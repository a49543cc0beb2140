// Text for people on a terminal, broken into lines that fit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tovrix::cli {

// Everything for people fits this many columns.
inline constexpr std::size_t kPeopleColumns = 80;

// lead and text as lines of at most kPeopleColumns, each with its line
// end: text is broken at blanks, preferably after a colon, a semicolon, a
// comma or a field's gap of two blanks, and the lines after the first are
// indented by indent blanks. A word too long for a line keeps its line.
std::string PeopleLines(std::string_view lead, std::string_view text, std::size_t indent);

}  // namespace tovrix::cli
