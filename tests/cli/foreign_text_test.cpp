// Text that tovrix-flash did not write (the image's path, the unit's path
// and port, the system's reason why a unit cannot be opened, an argument)
// holding every control character: standard output, standard error, the
// progress line and the station's board show them escaped, never raw; the
// JSON events keep their own escapes.
#include <atomic>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/flash.h"
#include "app/cli/output.h"
#include "emulator/emulated_hid.h"
#include "hid/pass_through.h"
#include "messages/messages.h"
#include "tests/cli/flash_run.h"
#include "tests/support/test_support.h"
#include "emulator/images.h"

namespace tovrix::cli {
namespace {

// Every control character: C0 but NUL (which no path holds), DEL, C1 in
// UTF-8, bytes of no UTF-8 sequence, and a backslash before an "x".
std::string EveryControl() {
  std::string text;
  for (int byte = 1; byte < 0x20; ++byte) text += static_cast<char>(byte);
  text += '\x7F';
  for (int byte = 0x80; byte < 0xA0; ++byte) text += std::string{'\xC2', static_cast<char>(byte)};
  return text + "\x80\xFE\xFF\\x1B";
}

// A name for a path: the controls, without the slash and with no blank
// (so that no line break falls inside it).
std::string Name(const std::string& word) { return word + "-" + EveryControl() + "-end"; }

// The emulated unit under a path and port of outside names; given a
// reason, it cannot be opened, and the platform says why.
class ForeignPlatform final : public test::EmulatedPassThrough {
 public:
  ForeignPlatform(std::string path, std::string port, std::string reason)
      : path_(std::move(path)), port_(std::move(port)), reason_(std::move(reason)) {}
  std::vector<std::string> ListInterfaces() override {
    std::vector<std::string> paths = inner_.ListInterfaces();
    for (std::string& path : paths) path = Outside(path);
    return paths;
  }
  std::vector<HidInterfaceInfo> DescribeInterfaces() override {
    std::vector<HidInterfaceInfo> interfaces = inner_.DescribeInterfaces();
    for (HidInterfaceInfo& info : interfaces) {
      if (info.path == kInside) info.port = port_;
      info.path = Outside(info.path);
    }
    return interfaces;
  }
  HidHandle Open(const std::string& path) override { return Locked(path) ? kInvalidHandle : inner_.Open(Inside(path)); }
  HidHandle OpenForReading(const std::string& path) override {
    return Locked(path) ? kInvalidHandle : inner_.OpenForReading(Inside(path));
  }
  std::optional<OpenFailure> OpenFailureOf(const std::string& path) override {
    if (Locked(path)) return OpenFailure{OpenFailure::Kind::Denied, path, reason_, {}};
    return inner_.OpenFailureOf(Inside(path));
  }

 private:
  static constexpr const char* kInside = "emu:0";
  std::string Outside(const std::string& path) const { return path == kInside ? path_ : path; }
  std::string Inside(const std::string& path) const { return path == path_ ? kInside : path; }
  bool Locked(const std::string& path) const { return path == path_ && !reason_.empty(); }

  std::string path_, port_, reason_;
};

// Standard error without the board's own moves ("\r", ESC [ N A, ESC [ K,
// ESC [ J) and line ends: what is left came from the texts.
std::string WithoutMoves(const std::string& err) {
  return std::regex_replace(err, std::regex("\r|\n|\x1B\\[[0-9]*[AKJ]"), "");
}

// The first byte that a terminal could take as a command, or that is not
// part of well-formed UTF-8, as "at N: 0xHH"; empty when there is none.
std::string FirstRaw(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = Utf8Length(text, at);
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
    if (length == 0 || c1 || (byte < 0x20 && byte != '\n') || byte == 0x7F) {
      const auto shown = c1 ? static_cast<unsigned char>(text[at + 1]) : byte;
      return "at " + std::to_string(at) + ": " + Hex(shown);
    }
    at += length;
  }
  return "";
}

// A watch that waits no time: the clock moves on by the wait instead.
class NoWait final : public InterfaceWatch {
 public:
  explicit NoWait(std::atomic<int64_t>& now) : now_(now) {}
  bool Wait(int timeoutMs) override {
    now_ += timeoutMs;
    return true;
  }

 private:
  std::atomic<int64_t>& now_;
};

struct ForeignCase {
  const char* name;
  std::vector<std::string> args;
  bool imageThere;          // the image file is written
  std::string reason;       // the unit cannot be opened, for this reason
  bool errIsTerminal;       // with the progress line
  bool board;               // ... and room for the station's board
  int status;
  std::vector<std::string> outShows, errShows;  // texts whose escaped forms the streams hold
};

const std::string kImage = Name("image") + ".hex";
const std::string kUnit = Name("unit");
const std::string kPort = Name("port");
const std::string kReason = "Permission " + Name("denied");
const std::string kArgument = "--" + Name("option");

std::vector<ForeignCase> ForeignCases() {
  return {
      {"missing_image", {}, false, "", false, false, kFailed, {}, {kImage}},
      {"image_line_and_log", {}, true, "", true, false, kUpdated, {}, {kImage}},
      {"unit_cannot_open", {}, true, kReason, false, false, kNoUnit, {kUnit, kReason}, {}},
      {"list", {"--list"}, true, kReason, false, false, kUpdated, {kUnit, kPort, kReason}, {}},
      {"station_progress_line", {"--all"}, true, "", true, false, kUpdated, {kPort}, {kPort}},
      {"station_board", {"--all"}, true, kReason, true, true, kFailed, {kPort, kReason}, {}},
      {"bad_option", {kArgument}, true, "", false, false, kBadUsage, {}, {kArgument}},
  };
}

void PrintTo(const ForeignCase& c, std::ostream* os) { *os << c.name; }

class ForeignTextTest : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(ForeignTextTest, ReachesTheStreamsEscaped) {
  const ForeignCase& c = GetParam();
  test::TempDir dir;
#if defined(_WIN32)
  // Windows names no file with a control character, nor with bytes that are
  // not UTF-8: its own messages name such a path in another form.
  if (!c.errShows.empty() && c.errShows.front() == kImage) GTEST_SKIP();
  const std::string name = c.imageThere ? "TOVRIXPRO.HEX" : kImage;
#else
  const std::string& name = kImage;
#endif
  const std::string image = (dir.path() / name).string();
  if (c.imageThere) dir.Write(name, images::SampleImage());
  std::vector<std::string> args = c.args;
  args.push_back(image);
  // Read by a station's units on their own threads too.
  std::atomic<int64_t> now{0};
  const test::FlashOutput run = test::RunFlash(args, [&](FlashIo& io) {
    io.nowMs = [&] { return now += 50; };
    io.makeWatch = [&] { return std::make_unique<NoWait>(now); };
    io.errIsTerminal = c.errIsTerminal;
    if (c.board) io.errSize = [] { return TerminalSize{80, 24}; };
    io.makeHid = [&] { return std::make_unique<ForeignPlatform>(kUnit, kPort, c.reason); };
  });
  const std::string& err = run.errWhole;
  EXPECT_EQ(run.status, c.status) << err;

  EXPECT_EQ(FirstRaw(run.out), "") << run.out;
  EXPECT_EQ(FirstRaw(WithoutMoves(err)), "") << err;
  for (const std::string& text : c.outShows) EXPECT_NE(run.out.find(TerminalText(text)), std::string::npos) << run.out;
  const std::string errText = c.errShows.empty() ? "" : WithoutMoves(err);
  for (const std::string& text : c.errShows) EXPECT_NE(errText.find(TerminalText(text)), std::string::npos) << err;
  if (c.board) {
    EXPECT_NE(err.find("\x1B[J"), std::string::npos) << "no board drawn";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ForeignTextTest, ::testing::ValuesIn(ForeignCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The JSON events carry the same texts with JSON's escapes, as before.
TEST(ForeignText, JsonKeepsItsEscapes) {
  const test::FlashOutput run = test::RunFlash({"--list", "--json"}, [](FlashIo& io) {
    io.makeHid = [] { return std::make_unique<ForeignPlatform>(kUnit, kPort, kReason); };
  });
  EXPECT_EQ(run.status, kUpdated);
  for (const std::string& text : {kUnit, kPort, kReason}) {
    EXPECT_NE(run.out.find(JsonString(text)), std::string::npos) << run.out;
  }
  EXPECT_EQ(run.errWhole, "");
}

}  // namespace
}  // namespace tovrix::cli
