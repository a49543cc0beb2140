// TerminalText: what a terminal is given of text that came from outside.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "messages/messages.h"

namespace tovrix {
namespace {

struct EscapeCase {
  const char* name;
  std::string text;
  std::string shown;
};

class TerminalTextTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(TerminalTextTest, Shows) { EXPECT_EQ(TerminalText(GetParam().text), GetParam().shown); }

INSTANTIATE_TEST_SUITE_P(
    Table, TerminalTextTest,
    ::testing::Values(
        EscapeCase{"plain", "Cannot open ./TOVRIXPRO.HEX: No such file", "Cannot open ./TOVRIXPRO.HEX: No such file"},
        EscapeCase{"utf8_kept", "Bild \xC3\xA4 \xE2\x82\xAC \xF0\x9F\x94\xA7 \xC2\xA0", "Bild \xC3\xA4 \xE2\x82\xAC \xF0\x9F\x94\xA7 \xC2\xA0"},
        EscapeCase{"title_sequence", "evil\x1B]0;X\a.hex", "evil\\x1B]0;X\\x07.hex"},
        EscapeCase{"nul_tab_newline_return", std::string("a\0b\tc\nd\re", 9), "a\\x00b\\x09c\\x0Ad\\x0De"},
        EscapeCase{"delete", "a\x7F", "a\\x7F"},
        EscapeCase{"c1_first_and_last", "\xC2\x80|\xC2\x9B[2J|\xC2\x9F", "\\xC2\\x80|\\xC2\\x9B[2J|\\xC2\\x9F"},
        EscapeCase{"lone_8bit_csi", "\x9B" "2J", "\\x9B2J"},
        EscapeCase{"invalid_bytes", "\xFF\xFE\xC0\x80", "\\xFF\\xFE\\xC0\\x80"},
        EscapeCase{"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
        EscapeCase{"above_unicode", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        EscapeCase{"cut_at_the_end", "ok\xE2\x82", "ok\\xE2\\x82"},
        EscapeCase{"lead_before_control", "\xC3\x1B", "\\xC3\\x1B"},
        EscapeCase{"windows_path_kept", "\\\\?\\hid#vid_04d8&pid_003c\\C:\\Users", "\\\\?\\hid#vid_04d8&pid_003c\\C:\\Users"},
        EscapeCase{"backslash_x", "C:\\xfer\\x1B", "C:\\x5Cxfer\\x5Cx1B"},
        EscapeCase{"backslash_before_escape", "C:\\\x1B", "C:\\\\x1B"},
        EscapeCase{"empty", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Reads a shown text back: each \xHH a byte, every other character itself.
std::string ReadBack(const std::string& shown) {
  std::string text;
  for (std::size_t at = 0; at < shown.size();) {
    if (shown.compare(at, 2, "\\x") == 0 && at + 4 <= shown.size()) {
      text += static_cast<char>(std::stoi(shown.substr(at + 2, 2), nullptr, 16));
      at += 4;
    } else {
      text += shown[at++];
    }
  }
  return text;
}

// Nothing a terminal takes as a command, and only well-formed UTF-8.
bool Harmless(const std::string& shown) {
  for (std::size_t at = 0; at < shown.size();) {
    const auto byte = static_cast<unsigned char>(shown[at]);
    const std::size_t length = Utf8Length(shown, at);
    if (length == 0 || byte < 0x20 || byte == 0x7F) return false;
    if (byte == 0xC2 && static_cast<unsigned char>(shown[at + 1]) < 0xA0) return false;
    at += length;
  }
  return true;
}

// Texts of random bytes, biased towards the ones that matter (controls,
// backslashes, "x", bytes of UTF-8 sequences): each shown text is harmless
// and reads back as the text.
TEST(TerminalText, EveryTextIsHarmlessAndReadsBack) {
  const std::string pieces[] = {"\\", "x", "1B", "\xC2", "\x9B", "\xE2\x82\xAC", "\xF0", "\x80", "a", " "};
  std::mt19937 random(29);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) {
      if (random() % 2 == 0) {
        text += static_cast<char>(random() % 256);
      } else {
        text += pieces[random() % std::size(pieces)];
      }
    }
    const std::string shown = TerminalText(text);
    ASSERT_TRUE(Harmless(shown)) << testing::PrintToString(text) << " -> " << testing::PrintToString(shown);
    ASSERT_EQ(ReadBack(shown), text) << testing::PrintToString(shown);
  }
}

}  // namespace
}  // namespace tovrix
