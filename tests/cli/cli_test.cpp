// tovrix-flash against the emulated unit: its options, its output in each
// form, every exit status, the refusal before ERASE, the wait for a unit,
// and stop requests at several points.
#include <gtest/gtest.h>

#include <atomic>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "app/cli/flash.h"
#include "app/cli/output.h"
#include "app/cli/sha256.h"
#include "app/cli/units.h"
#include "app/image_file.h"
#include "app/write_plan.h"
#include "emulator/unit.h"
#include "protocol/protocol.h"
#include "hid/platform.h"
#include "tests/cli/flash_run.h"
#include "tests/support/test_support.h"
#include "tools/emulate/emulate.h"
#include "emulator/images.h"

namespace tovrix::cli {
namespace {

using test::SplitLines;
using test::Unwrapped;

// How a test sets up the program's surroundings.
struct Surroundings {
  bool errIsTerminal = false;
  int stopAtCheck = 0;  // the stop request shows from this check on (1-based); 0: never
  std::function<std::unique_ptr<HidApi>()> makeHid;
  int* waits = nullptr;  // counts the waits of the interface watch
  // Called as the unit is sent its report number n (1-based), with the image's path.
  std::function<void(const std::string& path, int n)> onSend = {};
  int64_t imageSize = -1;  // the image file made this long (zeros added), when set
  // What the system cannot give the run, when set.
  std::function<std::optional<SystemLibraryFailure>(const FlashOptions&)> systemFailure;
  std::string imageName = "TOVRIXPRO.HEX";  // the image file's name in its folder
  // Given: the program runs in the image's folder with this IMAGE argument
  // (empty: none) instead of the image's whole path.
  std::optional<std::string> imageArg;
};

// Runs a test's code in another current directory.
class InFolder {
 public:
  explicit InFolder(const std::filesystem::path& folder) : before_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~InFolder() { std::filesystem::current_path(before_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  std::filesystem::path before_;
};

struct FlashRun : test::FlashOutput {
  std::string image;  // the image's path
  std::vector<std::string> unit;  // what the emulated platform saw: "send XX" (command), "closed", "fault ..."
  std::string reports;  // every report sent to the unit, byte for byte
  int Closes() const { return static_cast<int>(std::count(unit.begin(), unit.end(), "closed")); }
  bool Sent(const std::string& code) const {
    return std::find(unit.begin(), unit.end(), "send " + code) != unit.end();
  }
  // The unit closed at most once, nothing sent or used after that, no misuse.
  void ExpectSoundUse() const {
    EXPECT_LE(Closes(), 1);
    if (Closes() == 1) {
      EXPECT_EQ(unit.back(), "closed");
    }
    for (const std::string& event : unit) EXPECT_EQ(event.rfind("fault", 0), std::string::npos) << event;
  }
};

// A watch whose waits move the clock (which moves 1 ms each time it is
// read, also by a station's units on their own threads) as long as asked.
class FakeWatch : public InterfaceWatch {
 public:
  FakeWatch(std::atomic<int64_t>& now, int& waits) : now_(now), waits_(waits) {}
  bool Wait(int timeoutMs) override {
    now_ += timeoutMs;
    ++waits_;
    return true;
  }

 private:
  std::atomic<int64_t>& now_;
  int& waits_;
};

FlashRun Flash(std::vector<std::string> args, const std::string& image, const Surroundings& setup = {}) {
  test::TempDir dir;
  const std::string path = image.empty() ? (dir.path() / "missing.hex").string()
                                         : test::WriteImage(dir, image, setup.imageName, setup.imageSize);
  std::optional<InFolder> inFolder;
  if (setup.imageArg) {
    inFolder.emplace(dir.path());
    if (!setup.imageArg->empty()) args.push_back(*setup.imageArg);
  } else {
    args.push_back(path);
  }
  FlashRun run;
  run.image = path;
  std::atomic<int64_t> now{0};
  int checks = 0;
  int ownWaits = 0;
  int& waits = setup.waits ? *setup.waits : ownWaits;
  static_cast<test::FlashOutput&>(run) = test::RunFlash(args, [&](FlashIo& io) {
    io.errIsTerminal = setup.errIsTerminal;
    io.nowMs = [&] { return ++now; };
    io.stopRequests = [&] { return setup.stopAtCheck > 0 && ++checks >= setup.stopAtCheck; };
    io.makeWatch = [&] { return std::make_unique<FakeWatch>(now, waits); };
    if (setup.makeHid) io.makeHid = setup.makeHid;
    if (setup.systemFailure) io.systemFailure = setup.systemFailure;
    io.emulatorEvents.sent = [&](const uint8_t* report, std::size_t length) {
      run.reports.append(reinterpret_cast<const char*>(report), length);
      if (setup.onSend) setup.onSend(path, static_cast<int>(run.unit.size()) + 1);
      run.unit.push_back("send " + headless::TranscriptShell::SendText(report + 1, 1));
    };
    io.emulatorEvents.closed = [&] { run.unit.push_back("closed"); };
    io.emulatorEvents.fault = [&](const std::string& text) { run.unit.push_back("fault " + text); };
  });
  return run;
}

// The window's log for the same unit and image: tovrix-emulate's transcript
// with the fragments joined to their lines.
std::string WindowLog(std::vector<std::string> unitArgs, const std::string& image) {
  const std::string log = test::ScreenLog(test::RunEmulateTool(image, std::move(unitArgs)).lines);
  return log.empty() || log.back() == '\n' ? log : log + "\n";
}

std::string Sample() { return images::SampleImage(); }

std::size_t Widest(const std::string& text) {
  std::size_t widest = 0;
  for (const std::string& line : SplitLines(text)) widest = std::max(widest, line.size());
  return widest;
}

// --- Options -------------------------------------------------------------

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  const char* error;  // part of the error; null: parses
  std::function<void(const FlashOptions&)> check;
};

TEST(Options, Parse) {
  const OptionCase cases[] = {
        OptionCase{"defaults", {}, nullptr, [](const FlashOptions& o) {
                     EXPECT_EQ(o.image, "TOVRIXPRO.HEX");
                     EXPECT_FALSE(o.wait);
                     EXPECT_EQ(o.emulation, Emulation::None);
                   }},
        OptionCase{"image_after_options_end", {"--", "--odd.hex"}, nullptr,
                   [](const FlashOptions& o) { EXPECT_EQ(o.image, "--odd.hex"); }},
        OptionCase{"two_images", {"a.hex", "b.hex"}, "one image only", {}},
        OptionCase{"wait_value_apart", {"--wait", "2", "fw.hex"}, "one image only: fw.hex; did you mean --wait=2?", {}},
        OptionCase{"wait_value_apart_after_the_image", {"fw.hex", "--wait", "2.5"},
                   "one image only: 2.5; did you mean --wait=2.5?", {}},
        OptionCase{"wait_for_ever", {"--wait"}, nullptr,
                   [](const FlashOptions& o) { EXPECT_TRUE(o.wait && o.waitMs == -1); }},
        OptionCase{"wait_seconds", {"--wait=2.5"}, nullptr,
                   [](const FlashOptions& o) { EXPECT_EQ(o.waitMs, 2500); }},
        OptionCase{"wait_bad", {"--wait=1.2345"}, "--wait=SECONDS", {}},
        OptionCase{"wait_negative", {"--wait=-1"}, "--wait=SECONDS", {}},
        OptionCase{"device_equals", {"--device=/dev/hidraw3"}, nullptr,
                   [](const FlashOptions& o) { EXPECT_EQ(o.device, "/dev/hidraw3"); }},
        OptionCase{"device_and_port", {"--device", "/dev/hidraw1", "--port", "1-1"}, "give one", {}},
        OptionCase{"port_without_value", {"--port"}, "needs a value", {}},
        OptionCase{"unit_option_without_emulate", {"--memory", "400:57FF"}, "needs --emulate", {}},
        OptionCase{"emulated_unit", {"--emulate=fast", "--memory=0:FF", "--unit-version", "103", "--no-unit"},
                   nullptr, [](const FlashOptions& o) {
                     EXPECT_EQ(o.emulation, Emulation::Fast);
                     EXPECT_EQ(o.emulator.unit.MemoryEnd, 0xFFu);
                     EXPECT_EQ(o.emulator.unitVersion, 0x103);
                     EXPECT_FALSE(o.emulator.unitPresent);
                     EXPECT_FALSE(o.version);
                     EXPECT_EQ(o.emulator.unit.eraseMicros, emu::EraseMicrosForWaits(0));  // tovrix-emulate's
                     EXPECT_EQ(o.emulator.reportMicros, 0);
                   }},
        OptionCase{"real_time_unit", {"--emulate"}, nullptr, [](const FlashOptions& o) {
                     EXPECT_EQ(o.emulator.unit.eraseMicros, 1'200'000);
                     EXPECT_EQ(o.emulator.reportMicros, 1000);
                   }},
        OptionCase{"erase_waits_set_the_erase", {"--emulate", "--erase-waits", "3"}, nullptr,
                   [](const FlashOptions& o) {
                     EXPECT_EQ(o.emulation, Emulation::RealTime);
                     EXPECT_EQ(o.emulator.unit.eraseMicros, emu::EraseMicrosForWaits(3));
                   }},
        OptionCase{"program_version", {"--version"}, nullptr,
                   [](const FlashOptions& o) { EXPECT_TRUE(o.version); }},
        OptionCase{"program_version_with_emulate", {"--emulate", "--version"}, nullptr,
                   [](const FlashOptions& o) { EXPECT_TRUE(o.version); }},
        OptionCase{"unit_version_bad", {"--emulate", "--unit-version", "10000"},
                   "--unit-version takes a hex number", {}},
        OptionCase{"unit_version_without_emulate", {"--unit-version", "103"}, "needs --emulate", {}},
        OptionCase{"version_with_a_value", {"--emulate", "--version=103"}, "unknown option", {}},
        OptionCase{"bad_unit_value", {"--emulate", "--caps", "65"}, "--caps takes", {}},
        OptionCase{"emulate_slow", {"--emulate=slow"}, "=fast", {}},
        OptionCase{"station", {"--repeat", "--all", "--pack", "--emulate=fast", "--units", "3"}, nullptr,
                   [](const FlashOptions& o) { EXPECT_TRUE(o.repeat && o.all && o.pack && o.units == 3); }},
        OptionCase{"list_in_a_station", {"--list", "--all"}, "not with --all or --repeat", {}},
        OptionCase{"units_without_a_station", {"--emulate", "--units", "2"}, "--units sets up", {}},
        OptionCase{"units_out_of_range", {"--emulate", "--all", "--units", "17"}, "1 to 16", {}},
        OptionCase{"flag_with_value", {"--list=1"}, "unknown option", {}},
        OptionCase{"unknown", {"--bogus"}, "unknown option", {}},
  };
  for (const OptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    const auto options = ParseFlashOptions(c.args, error);
    if (c.error) {
      EXPECT_FALSE(options);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    } else {
      EXPECT_TRUE(options) << error;
      if (options && c.check) c.check(*options);
    }
  }
}

// --- Runs: statuses and output --------------------------------------------

struct RunCase {
  const char* name;
  std::vector<std::string> args;  // after --emulate=fast
  std::string image;              // empty: a file that is not there
  int status;
  std::vector<std::string> errors;  // standard error's lines, without "tovrix-flash: "
  bool windowLog;                   // standard output is the window's log exactly
};

std::string Odd() { return test::HexLine(0, 0x801, test::Bytes(2)) + "\r\n:00000001FF\r\n"; }

const std::vector<RunCase>& RunCases() {
  static const std::vector<RunCase> cases = {
      {"updated", {}, Sample(), kUpdated, {}, true},
      {"other_devices_around", {"--before", "1:2:3", "--after", "46D:C52B:1"}, Sample(), kUpdated, {}, true},
      {"image_missing", {}, "", kFailed, {"Cannot open {IMAGE}: No such file or directory"}, true},
      {"bad_checksum", {}, ":10080000000102030405060708090A0B0C0D0E0F00\r\n", kFailed,
       {"Invalid checksum on line 1", "Program Abort!"}, true},
      {"odd_record", {}, Odd(), kFailed, {"Odd address or count at line 1", "Program Abort!"}, true},
      {"no_unit", {"--no-unit", "--before", "1:2:3"}, Sample(), kNoUnit, {"Cannot find TovrixPro!"}, true},
      {"not_the_unit", {"--caps", "64,64,1"}, Sample(), kFailed,
       {"Non-real TovrixPro detected! Program cannot continue"}, true},
      {"bad_query_reply", {"--silent-query"}, Sample(), kFailed,
       {"Invalid QUERY response - not connected to TovrixPro?", "Program Abort!"}, true},
      // Standard output keeps the log's "Write Failure (code=0)"; standard
      // error says where the write failed and what that means for the unit.
      {"write_failure", {"--fail-write", "40"}, Sample(), kFailed,
       {"Write Failure (no error code given) at report 37 of 2561; the unit was erased and must be flashed again",
        "Program Abort!"}, true},
      {"write_failure_at_query", {"--fail-write", "1"}, Sample(), kFailed,
       {"Write Failure (no error code given) at QUERY, before ERASE; the unit was not changed", "Program Abort!"},
       true},
      {"write_failure_at_erase", {"--fail-write", "2"}, Sample(), kFailed,
       {"Write Failure (no error code given) at ERASE; the unit may have been erased and must be flashed again",
        "Program Abort!"}, true},
      {"write_failure_after_erase", {"--fail-write", "3"}, Sample(), kFailed,
       {"Write Failure (no error code given) at the QUERY after ERASE, before the first of 2561 reports; the unit "
        "was erased and must be flashed again", "Program Abort!"}, true},
      {"write_failure_at_reset", {"--fail-write", "2565"}, Sample(), kFailed,
       {"Write Failure (no error code given) at RESET, after all 2561 reports; the unit was erased and must be "
        "flashed again", "Program Abort!"}, true},
      {"no_reply_after_erase", {"--erase-waits", "11"}, Sample(), kFailed,
       {"No response after ERASE!", "Program Abort!"}, true},
      {"refused_before_erase", {"--memory", "10000:20000"}, Sample(), kFailed,
       {"The image has no data inside the unit's memory ($10000 to $20000): nothing was erased"}, false},
      {"end_record_only", {}, ":00000001FF\r\n", kFailed,
       {"The image has no data inside the unit's memory ($400 to $57FF): nothing was erased"}, true},
      {"cut_short", {}, test::FirstLines(Sample(), 100), kFailed,
       {"The image {IMAGE} does not end with an end-of-file record, so it may be cut short: nothing was "
        "sent to the unit"},
       true},
      {"a_record_at_the_last_word_is_inside", {"--memory", "0:400"},
       ":02080000AA55F7\r\n:00000001FF\r\n", kUpdated, {}, true},
      {"several_units", {"--before", "4D8:3C:102"}, Sample(), kSeveralUnits,
       {"Several TovrixPro units are attached: choose one with --device PATH or --port PORT",
        "  emu:0  port emu-1  VID=04D8 PID=003C Version=0102  TovrixPro in update mode",
        "  emu:1  port emu-2  VID=04D8 PID=003C Version=0102  TovrixPro in update mode"},
       false},
      {"several_units_one_chosen_by_path", {"--before", "4D8:3C:102", "--device", "emu:1"}, Sample(),
       kUpdated, {}, false},
      {"several_units_one_chosen_by_port", {"--before", "4D8:3C:102", "--port", "emu-2"}, Sample(),
       kUpdated, {}, false},
      {"nothing_on_that_port", {"--port", "emu-9"}, Sample(), kNoUnit, {"Cannot find TovrixPro!"}, false},
      {"wait_ends_without_a_unit", {"--no-unit", "--wait=0.5"}, Sample(), kNoUnit,
       {"no TovrixPro was plugged in within 0.5 s", "Cannot find TovrixPro!"}, true},
      {"bad_usage", {"--wait=soon"}, Sample(), kBadUsage,
       {"--wait=SECONDS takes a number of seconds, such as 30 or 2.5", "Try 'tovrix-flash --help'."}, false},
  };
  return cases;
}

// --emulate=fast, the form's option when given, then the case's arguments.
std::vector<std::string> CaseArgs(const RunCase& c, const char* form = nullptr) {
  std::vector<std::string> args = {"--emulate=fast"};
  if (form) args.push_back(form);
  args.insert(args.end(), c.args.begin(), c.args.end());
  return args;
}

// The case's error lines with the image's path in them.
std::vector<std::string> CaseErrors(const RunCase& c, const std::string& image) {
  std::vector<std::string> errors = c.errors;
  for (std::string& e : errors) {
    if (const auto at = e.find("{IMAGE}"); at != std::string::npos) e.replace(at, 7, image);
  }
  return errors;
}

class RunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTest, PlainOutput) {
  const RunCase& c = GetParam();
  const FlashRun run = Flash(CaseArgs(c), c.image);
  EXPECT_EQ(run.status, c.status);
  std::vector<std::string> errors;
  for (std::string line : SplitLines(Unwrapped(run.err))) {
    if (line.rfind("tovrix-flash: ", 0) == 0) line = line.substr(14);
    errors.push_back(line);
  }
  // For people: within 80 columns, but for the image's path, which has no blank to break at.
  for (const std::string& line : SplitLines(run.err)) {
    if (line.find(run.image) == std::string::npos) {
      EXPECT_LE(line.size(), kPeopleColumns) << line;
    }
  }
  EXPECT_EQ(errors, CaseErrors(c, run.image));
  // The image is stated once it was read, before anything else.
  EXPECT_EQ(run.imageLine, c.image.empty() || c.status == kBadUsage
                               ? ""
                               : "Image " + run.image + ": " + std::to_string(c.image.size()) +
                                     " bytes, SHA-256 " + Sha256Hex(c.image));
  if (c.windowLog) {
    // tovrix-emulate's unit with the same options: --emulate=fast is that unit.
    std::vector<std::string> unitArgs = c.args;
    for (auto it = unitArgs.begin(); it != unitArgs.end();) {
      it = it->rfind("--wait", 0) == 0 ? unitArgs.erase(it) : it + 1;
    }
    // Without an image the window shows only its box.
    EXPECT_EQ(run.out, c.image.empty() ? "" : WindowLog(unitArgs, c.image));
  }
  // The unit: erased only when written, nothing after its close, no misuse.
  const std::set<std::string> erasedAndFailed = {"write_failure", "write_failure_after_erase",
                                                 "write_failure_at_reset", "no_reply_after_erase"};
  EXPECT_EQ(run.Sent("04"), c.status == kUpdated || erasedAndFailed.count(c.name) > 0);
  run.ExpectSoundUse();
}

// JSON Lines: every line one object with its event; errors are events;
// "done" comes last with the exit status.
TEST_P(RunTest, JsonOutput) {
  const RunCase& c = GetParam();
  const FlashRun run = Flash(CaseArgs(c, "--json"), c.image);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.err, "");
  const auto lines = SplitLines(run.out);
  ASSERT_FALSE(lines.empty());
  std::size_t errors = 0, logs = 0;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.rfind("{\"event\":\"", 0), 0u) << line;
    ASSERT_EQ(line.back(), '}') << line;
    if (line.rfind("{\"event\":\"error\"", 0) == 0) ++errors;
    if (line.rfind("{\"event\":\"log\"", 0) == 0) ++logs;
  }
  EXPECT_EQ(lines.back().rfind("{\"event\":\"done\",\"status\":" + std::to_string(c.status) + ",\"seconds\":", 0),
            0u)
      << lines.back();
  std::size_t expectedErrors = 0;
  for (const std::string& e : c.errors) expectedErrors += e.rfind("  ", 0) != 0 && e.rfind("Try", 0) != 0;
  EXPECT_EQ(errors, expectedErrors);
  // The same lines as the plain output, one event each.
  EXPECT_EQ(logs, SplitLines(Flash(CaseArgs(c), c.image).out).size());
}

// --quiet: nothing on standard output; standard error holds the errors
// alone (not the image's line), and nothing at all on success.
TEST_P(RunTest, QuietOutput) {
  const RunCase& c = GetParam();
  const FlashRun run = Flash(CaseArgs(c, "--quiet"), c.image);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.imageLine, "");
  std::string expected;
  for (const std::string& e : CaseErrors(c, run.image)) {
    expected += (e.rfind("  ", 0) == 0 || e.rfind("Try", 0) == 0 ? "" : "tovrix-flash: ") + e + "\n";
  }
  EXPECT_EQ(Unwrapped(run.err), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, RunTest, ::testing::ValuesIn(RunCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Json, HoldsTheUnitAndTheProgressToTheEnd) {
  const FlashRun run = Flash({"--emulate=fast", "--json"}, Sample());
  ASSERT_EQ(run.status, kUpdated);
  const auto lines = SplitLines(run.out);
  EXPECT_EQ(lines[0], R"({"event":"image","path":)" + JsonString(run.image) + R"(,"bytes":)" +
                          std::to_string(Sample().size()) + R"(,"sha256":")" + Sha256Hex(Sample()) + "\"}");
  EXPECT_EQ(lines[1].rfind(R"({"event":"log",)", 0), 0u);
  EXPECT_EQ(lines[2], R"({"event":"device","path":"emu:0","port":"emu-1","vid":"04D8","pid":"003C","version":"0102"})");
  EXPECT_EQ(run.imageLine, "");
  std::vector<std::string> progress;
  for (const auto& line : lines) {
    if (line.rfind(R"({"event":"progress")", 0) == 0) progress.push_back(line);
  }
  ASSERT_EQ(progress.size(), 101u);  // each percent once
  EXPECT_EQ(progress.back(),
            R"({"event":"progress","percent":100,"bytes":40960,"total":40960,"reports":2561,"total_reports":2561})");
  EXPECT_EQ(JsonString("a\"b\\c\n\x01"), R"("a\"b\\c\n\u0001")");
}

// A write that failed is an error event with its text and its values; a
// platform without codes gives a null code, not a 0.
TEST(Json, AWriteFailureCarriesItsReportAndCode) {
  const FlashRun run = Flash({"--emulate=fast", "--json", "--fail-write", "40"}, Sample());
  EXPECT_EQ(run.status, kFailed);
  const auto lines = SplitLines(run.out);
  EXPECT_NE(std::find(lines.begin(), lines.end(), R"j({"event":"log","text":"Write Failure (code=0)"})j"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      R"({"event":"error","text":"Write Failure (no error code given) at report 37 of 2561; )"
                      R"(the unit was erased and must be flashed again","report":37,"total_reports":2561,"code":null})"),
            lines.end())
      << run.out;
}

// What the runs above cannot show (the emulated unit gives no codes): a
// platform's code, and the board's short form.
TEST(WriteFailure, NamesTheCodeOrItsAbsence) {
  using At = WriteFailure::At;
  struct Case {
    At at;
    std::optional<int32_t> code;
    const char* text;
    const char* brief;
  };
  const Case cases[] = {
      {At::Write, -19, "Write Failure (code=-19) at report 40 of 2561; the unit was erased and must be flashed again",
       "report 40 of 2561 failed (code=-19): erased, flash again"},
      {At::Write, std::nullopt,
       "Write Failure (no error code given) at report 40 of 2561; the unit was erased and must be flashed again",
       "report 40 of 2561 failed (no code): erased, flash again"},
      {At::Query, 5, "Write Failure (code=5) at QUERY, before ERASE; the unit was not changed",
       "QUERY failed (code=5): not changed"},
  };
  for (const Case& c : cases) {
    const WriteFailure failure{c.at, 40, 2561, c.code};
    EXPECT_EQ(WriteFailureText(failure), c.text);
    EXPECT_EQ(WriteFailureBrief(failure), c.brief);
  }
}

// The JSON string at the start of json as a strict parser reads it: UTF-8
// well formed throughout, no raw control character, only the escapes JSON
// defines, surrogates in pairs. Its code points, or nothing; end is set past
// the closing quote.
std::optional<std::u32string> ParseJsonString(std::string_view json, std::size_t& end) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(json[i]); };
  const auto hex4 = [&](std::size_t from, char32_t& value) {  // four hex digits, no sign
    if (json.size() < from + 4) return false;
    const char* first = json.data() + from;
    uint32_t digits = 0;
    if (std::from_chars(first, first + 4, digits, 16).ptr != first + 4) return false;
    value = digits;
    return true;
  };
  if (json.empty() || json[0] != '"') return std::nullopt;
  std::u32string text;
  for (std::size_t i = 1; i < json.size();) {
    const unsigned char c = byte(i);
    if (c == '"') {
      end = i + 1;
      return text;
    }
    if (c < 0x20) return std::nullopt;
    if (c == '\\') {
      if (i + 1 >= json.size()) return std::nullopt;
      const std::size_t simple = std::string_view("\"\\/bfnrt").find(json[i + 1]);
      if (simple != std::string_view::npos) {
        text += U"\"\\/\b\f\n\r\t"[simple];
        i += 2;
        continue;
      }
      char32_t unit = 0, low = 0;
      if (json[i + 1] != 'u' || !hex4(i + 2, unit) || (unit >= 0xDC00 && unit <= 0xDFFF)) return std::nullopt;
      i += 6;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (json.substr(i, 2) != "\\u" || !hex4(i + 2, low) || low < 0xDC00 || low > 0xDFFF) return std::nullopt;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 6;
      }
      text += unit;
      continue;
    }
    const std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (length == 0 || json.size() < i + length) return std::nullopt;
    char32_t point = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
      point = point << 6 | (byte(i + k) & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return std::nullopt;
    text += point;
    i += length;
  }
  return std::nullopt;
}

// Every byte between two letters, and UTF-8 well formed and not: what a
// strict parser reads is the text, with U+FFFD for each byte that is not
// part of a well-formed sequence (a path in another encoding).
TEST(Json, EveryByteComesOutAsAStrictParserReadsIt) {
  struct Case {
    std::string text;
    std::u32string meant;
  };
  std::vector<Case> cases;
  for (int b = 0; b < 256; ++b) {
    cases.push_back({std::string("a") + static_cast<char>(b) + "b",
                     std::u32string(U"a") + (b < 0x80 ? static_cast<char32_t>(b) : U'\uFFFD') + U"b"});
  }
  const std::u32string bad2(2, U'\uFFFD'), bad3(3, U'\uFFFD'), bad4(4, U'\uFFFD');
  cases.insert(cases.end(), {
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", U"\u00E9t\u00E9 \u20AC \U0001F600"},
      {"\xC0\xAF", bad2},           // an overlong '/'
      {"\xED\xA0\x80", bad3},       // a surrogate
      {"\xF4\x90\x80\x80", bad4},   // above U+10FFFF
      {"x\xE2\x82", U"x" + bad2},   // cut short at the end
      {"C:\\Bilder\\\xE9t\xE9.hex", U"C:\\Bilder\\\uFFFDt\uFFFD.hex"},  // Latin-1
  });
  for (const Case& c : cases) {
    const std::string json = JsonString(c.text);
    std::size_t end = 0;
    const auto parsed = ParseJsonString(json, end);
    ASSERT_TRUE(parsed) << json;
    EXPECT_EQ(end, json.size()) << json;
    EXPECT_TRUE(*parsed == c.meant) << json;
  }

  // A whole run: the error event about an image of such a name.
  const std::string name = "no-such-\x01\x1F\x7F\xE9\"\\.hex";
  const test::FlashOutput run = test::RunFlash({"--emulate=fast", "--json", name});
  EXPECT_EQ(run.status, kFailed);
  const std::string line = SplitLines(run.out).at(0);
  const std::string head = R"({"event":"error","text":)";
  ASSERT_EQ(line.rfind(head, 0), 0u) << line;
  std::size_t end = 0;
  const auto text = ParseJsonString(std::string_view(line).substr(head.size()), end);
  ASSERT_TRUE(text) << line;
  EXPECT_EQ(line.substr(head.size() + end), "}");
  EXPECT_EQ(text->rfind(U"Cannot open no-such-\x01\x1F\x7F\uFFFD\"\\.hex: ", 0), 0u) << line;
}

// Every progress event of a run (of each unit in a station) carries the
// write plan's totals, while its bytes and reports grow to them and its
// percent follows the bytes.
// args: after --emulate=fast --json.
void ExpectProgressOfThePlan(const char* name, std::vector<std::string> args, bool pack, std::size_t units) {
  SCOPED_TRACE(name);
  args.insert(args.begin(), {"--emulate=fast", "--json"});
  const FlashRun run = Flash(args, Sample());
  ASSERT_EQ(run.status, kUpdated) << run.out;
  ImageFile image;
  test::TempDir dir;
  ASSERT_TRUE(image.Open(dir.Write("TOVRIXPRO.HEX", Sample())));
  const emu::UnitOptions unit;
  const WritePlan plan = PlanWrite(image, unit.MemoryStart, unit.MemoryEnd, pack, kProgramChunk);

  const std::regex event(R"re(\{"event":"progress",(?:"port":"([^"]*)",)?"percent":(\d+),"bytes":(\d+),)re"
                         R"re("total":(\d+),"reports":(\d+),"total_reports":(\d+)\})re");
  std::map<std::string, std::vector<std::vector<int64_t>>> byPort;  // percent, bytes, total, reports, total_reports
  for (const std::string& line : SplitLines(run.out)) {
    if (line.rfind(R"({"event":"progress")", 0) != 0) continue;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, event)) << line;
    std::vector<int64_t> fields;
    for (std::size_t i = 2; i <= 6; ++i) fields.push_back(std::stoll(m[i].str()));
    byPort[m[1].str()].push_back(fields);
  }
  ASSERT_EQ(byPort.size(), units);
  for (const auto& [port, events] : byPort) {
    SCOPED_TRACE(port);
    std::vector<int64_t> before = {-1, -1, plan.bytes, -1, plan.reports};
    for (const std::vector<int64_t>& e : events) {
      EXPECT_EQ(e[2], plan.bytes);
      EXPECT_EQ(e[4], plan.reports);
      EXPECT_GT(e[0], before[0]);
      EXPECT_GE(e[1], before[1]);
      EXPECT_GT(e[3], before[3]);
      EXPECT_EQ(e[0], e[1] * 100 / plan.bytes);
      before = e;
    }
    EXPECT_EQ(events.back(), (std::vector<int64_t>{100, plan.bytes, plan.bytes, plan.reports, plan.reports}));
  }
}

TEST(Progress, TotalsAreThePlansAndTheCountsGrowToThem) {
  ExpectProgressOfThePlan("one program per record", {}, false, 1);
  ExpectProgressOfThePlan("packed", {"--pack"}, true, 1);
  ExpectProgressOfThePlan("station", {"--all", "--units", "2", "--pack"}, true, 2);
}

// On a terminal: the progress line on standard error, at most 10 draws a
// second (the test's clock moves 1 ms per reading), wiped before the next
// line; standard output stays the log.
TEST(Terminal, ProgressLineIsPacedAndWiped) {
  Surroundings setup;
  setup.errIsTerminal = true;
  const FlashRun run = Flash({"--emulate=fast"}, Sample(), setup);
  ASSERT_EQ(run.status, kUpdated);
  EXPECT_EQ(run.out, WindowLog({}, Sample()));
  const auto draws = std::count(run.err.begin(), run.err.end(), '%');
  EXPECT_GT(draws, 5);
  EXPECT_LT(draws, 2561 / 100 * 2 + 3);  // reports and clock readings: at most one draw per 100 ms
  EXPECT_NE(run.err.find("  0%  16 of 40960 bytes  1 of 2561 reports  0:00 elapsed  "), std::string::npos);
  // Wiped at the end: nothing but blanks after the last carriage return.
  const auto last = run.err.find_last_of('\r');
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(run.err.find_first_not_of(' ', run.err.rfind('\r', last - 1) + 1), last);
}

// Texts for people broken into lines within 80 columns, where a reader
// would break them. The width itself: a line of exactly 80 columns stays
// whole, 81 breaks; a word as wide as a whole indented line goes onto one
// of its own.
TEST(PeopleLines, BreakAfterMarksAndGapsAndKeepLongWordsWhole) {
  const std::string path = "/home/operator/firmware/releases/2026-12/tovrixpro-release-candidate.hex";
  const std::string lead = "tovrix-flash: ", indent(14, ' ');  // 14 columns
  auto w = [](char c, std::size_t n) { return std::string(n, c); };
  const struct {
    std::string lead, text;
    std::size_t indent;
    std::string lines;
  } cases[] = {
      {lead, "Cannot find TovrixPro!", 14, "tovrix-flash: Cannot find TovrixPro!\n"},
      {lead, "Interrupted after 812 of 2561 reports; the unit was erased and must be flashed again", 14,
       "tovrix-flash: Interrupted after 812 of 2561 reports;\n"
       "              the unit was erased and must be flashed again\n"},
      {lead, "Cannot open " + path + ": No such file or directory", 14,
       "tovrix-flash: Cannot open " + path + ":\n              No such file or directory\n"},
      {"  ", "/dev/hidraw12  port 3-1.2.4  VID=04D8 PID=003C Version=0102  TovrixPro in update mode", 4,
       "  /dev/hidraw12  port 3-1.2.4  VID=04D8 PID=003C Version=0102\n    TovrixPro in update mode\n"},
      {"tovrix-flash: [emu-12] ", w('a', 30) + " " + w('b', 30) + " " + w('c', 30), 23,
       "tovrix-flash: [emu-12] " + w('a', 30) + "\n" + w(' ', 23) + w('b', 30) + "\n" + w(' ', 23) + w('c', 30) +
           "\n"},
      {lead, w('a', 40) + " " + w('b', 25), 14, lead + w('a', 40) + " " + w('b', 25) + "\n"},
      {lead, w('a', 40) + " " + w('b', 26), 14, lead + w('a', 40) + "\n" + indent + w('b', 26) + "\n"},
      {lead, w('a', 60) + " " + w('b', 64) + " c", 14, lead + w('a', 60) + "\n" + indent + w('b', 64) + " c\n"},
      {lead, w('a', 60) + " " + w('b', 65) + " c", 14,
       lead + w('a', 60) + "\n" + indent + w('b', 65) + "\n" + indent + "c\n"},
      {lead, "x " + w('y', 66), 14, lead + "x\n" + indent + w('y', 66) + "\n"},
      {lead, "x " + w('y', 67), 14, lead + "x " + w('y', 67) + "\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PeopleLines(c.lead, c.text, c.indent), c.lines) << c.text.size() << " columns of text: " << c.text;
  }
}

// The wait that ran out, in the seconds it was given: the fraction as
// written, leading zeros kept, trailing ones dropped.
TEST(Wait, RanOutSaysTheSecondsGiven) {
  const std::pair<const char*, const char*> cases[] = {
      {"0.05", "0.05"}, {"0.005", "0.005"}, {"0.5", "0.5"},   {"2.5", "2.5"},    {"1.01", "1.01"},
      {"30", "30"},     {"30.000", "30"},   {"0.100", "0.1"}, {"1.250", "1.25"}, {"10.001", "10.001"},
  };
  for (const auto& [given, said] : cases) {
    std::string error;
    const auto options = ParseFlashOptions({std::string("--wait=") + given}, error);
    ASSERT_TRUE(options) << given << ": " << error;
    EXPECT_EQ(WaitRanOutText(options->waitMs), std::string("no TovrixPro was plugged in within ") + said + " s")
        << given;
  }
}

// Only the default image is found whatever the case of its name: in a
// folder holding only tovrixpro.hex, the run with no IMAGE takes it; a named
// image is that name alone.
TEST(DefaultImage, FoundInAnyCaseButANamedImageIsNot) {
  struct Case {
    const char* file;
    const char* arg;  // empty: no IMAGE argument
    int status;
    std::string err;  // without "tovrix-flash: "; the image's line aside
  };
  const Case cases[] = {
      {"tovrixpro.hex", "", kUpdated, ""},
      {"TovrixPro.Hex", "", kUpdated, ""},
      {"Firmware.HEX", "firmware.hex", kFailed, "Cannot open firmware.hex: No such file or directory"},
      {"firmware.hex", "FIRMWARE.HEX", kFailed, "Cannot open FIRMWARE.HEX: No such file or directory"},
      {"Firmware.HEX", "Firmware.HEX", kUpdated, ""},
  };
#if defined(_WIN32)
  // There one file holds every spelling of its name: each run opens the
  // spelling it names, or the default one.
  const bool everySpelling = true;
#else
  const bool everySpelling = false;
#endif
  for (const Case& c : cases) {
    Surroundings setup;
    setup.imageName = c.file;
    setup.imageArg = c.arg;
    const FlashRun run = Flash({"--emulate=fast"}, Sample(), setup);
    const int status = everySpelling ? kUpdated : c.status;
    const std::string err = everySpelling ? "" : c.err;
    const std::string name = !everySpelling ? c.file : *c.arg ? c.arg : "TOVRIXPRO.HEX";
    EXPECT_EQ(run.status, status) << c.file << " / " << c.arg;
    EXPECT_EQ(Unwrapped(run.err), err.empty() ? "" : "tovrix-flash: " + err + "\n") << c.file;
    if (status == kUpdated) {
      EXPECT_EQ(run.imageLine.rfind("Image " + name + ": ", 0), 0u) << run.imageLine;
    }
  }
}

TEST(Progress, TextAndPercent) {
  Progress p{20480, 40960, 1280, 2561, 1500};
  EXPECT_EQ(ProgressText(p), " 50%  20480 of 40960 bytes  1280 of 2561 reports  0:01 elapsed  0:01 left");
  EXPECT_EQ(ProgressText(Progress{0, 0, 0, 2, 0}), "  0%  0 of 0 bytes  0 of 2 reports  0:00 elapsed  ? left");
  EXPECT_EQ((Progress{0, 0, 0, 0, 0}).Percent(), 100);
  EXPECT_NE(ProgressText(Progress{1, 2, 1, 2, 3'723'000}).find("  1:02:03 elapsed  1:02:03 left"),
            std::string::npos);
}

// --- Stop requests ------------------------------------------------------------

// Stopped, the unit is closed once and nothing is sent or used after that.
TEST(Stop, ClosesTheUnitOnceAndSaysWhatWasDone) {
  const struct {
    const char* name;
    int check;            // the stop request shows from this check on
    const char* message;  // the start of the message on standard error
    int closes;           // the unit's handles closed
    bool erased;
  } cases[] = {
      {"before_the_search", 1, "Interrupted before a unit was found; nothing was changed", 0, false},
      {"before_erase", 2, "Interrupted before ERASE; the unit was not changed", 1, false},
      {"waiting_for_the_erase", 3,
       "Interrupted after 0 of 2561 reports; the unit was erased and must be flashed again", 1, true},
      {"writing", 600, "Interrupted after 59", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Surroundings setup;
    setup.stopAtCheck = c.check;
    const FlashRun run = Flash({"--emulate=fast"}, Sample(), setup);
    EXPECT_EQ(run.status, kInterrupted);
    EXPECT_EQ(Unwrapped(run.err).rfind(std::string("tovrix-flash: ") + c.message, 0), 0u) << run.err;
    EXPECT_LE(Widest(run.err), kPeopleColumns) << run.err;
    EXPECT_EQ(run.Closes(), c.closes);
    EXPECT_EQ(run.Sent("04"), c.erased);
    run.ExpectSoundUse();
    EXPECT_EQ(run.out.find("TovrixPro should now be running"), std::string::npos);
  }
}

// --- Waiting for a unit -----------------------------------------------------

// The emulated platform, with the unit plugged in only after the program
// has waited `after` times.
class LatePlatform : public test::EmulatedPassThrough {
 public:
  LatePlatform(const int& waits, int after) : waits_(waits), after_(after) {}
  std::vector<std::string> ListInterfaces() override {
    return waits_ >= after_ ? inner_.ListInterfaces() : std::vector<std::string>{};
  }
  std::vector<HidInterfaceInfo> DescribeInterfaces() override {
    return waits_ >= after_ ? inner_.DescribeInterfaces() : std::vector<HidInterfaceInfo>{};
  }

 private:
  const int& waits_;
  int after_;
};

TEST(Wait, WaitsForTheUnit) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int pluggedAfter;  // waits
    int stopAtCheck;
    int status;
    int waits;  // the watch's waits the run took
  } cases[] = {
      {"plugged_in_later", {"--wait"}, 3, 0, kUpdated, 3},
      {"plugged_in_at_the_port", {"--wait", "--port", "emu-1"}, 2, 0, kUpdated, 2},
      {"there_at_once", {"--wait=1"}, 0, 0, kUpdated, 0},
      {"time_out", {"--wait=1"}, 1000, 0, kNoUnit, 4},  // 1 s in slices of 250 ms
      {"stopped_while_waiting", {"--wait"}, 1000, 5, kInterrupted, 4},
      {"without_wait_no_waits", {}, 3, 0, kNoUnit, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int waits = 0;
    Surroundings setup;
    setup.stopAtCheck = c.stopAtCheck;
    setup.waits = &waits;
    setup.makeHid = [&] { return std::make_unique<LatePlatform>(waits, c.pluggedAfter); };
    const FlashRun run = Flash(c.args, Sample(), setup);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(waits, c.waits);
    if (c.status == kUpdated) {
      EXPECT_EQ(run.out, WindowLog({}, Sample()));
    }
  }
}

// --- Listing ------------------------------------------------------------------

// A platform with a unit that cannot be opened and an interface it cannot
// identify without opening.
class ListingPlatform : public LatePlatform {
 public:
  ListingPlatform() : LatePlatform(zero_, 0) {}
  std::vector<HidInterfaceInfo> DescribeInterfaces() override {
    auto interfaces = LatePlatform::DescribeInterfaces();
    interfaces.push_back({"locked", "3-1.2", true, {0x04D8, 0x003C, 0x0102}});
    interfaces.push_back({"busy", "3-1.3", true, {0x04D8, 0x003C, 0x0102}});
    interfaces.push_back({"emu:0", "", false, {}});  // the unit again, identified by opening it
    return interfaces;
  }
  HidHandle Open(const std::string& path) override {
    return path == "locked" || path == "busy" ? kInvalidHandle : LatePlatform::Open(path);
  }
  std::optional<OpenFailure> OpenFailureOf(const std::string& path) override {
    // The claim's system text is no reason the listing shows.
    if (path == "busy") return OpenFailure{OpenFailure::Kind::Claimed, path, "Resource temporarily unavailable", {}};
    return OpenFailure{OpenFailure::Kind::Denied, path, "Permission denied", {}};
  }

 private:
  int zero_ = 0;
};

TEST(List, EveryInterfaceWithItsPortAndWhatItIs) {
  Surroundings setup;
  setup.makeHid = [] { return std::make_unique<ListingPlatform>(); };
  const FlashRun run = Flash({"--list"}, Sample(), setup);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(SplitLines(run.out),
            (std::vector<std::string>{
                "emu:0  port emu-1  VID=04D8 PID=003C Version=0102  TovrixPro in update mode",
                "locked  port 3-1.2  VID=04D8 PID=003C Version=0102  TovrixPro in update mode, cannot be opened: "
                "Permission denied (fix: " + OpenFix() + ")",
                "busy  port 3-1.3  VID=04D8 PID=003C Version=0102  TovrixPro in update mode, cannot be opened: "
                "another update is using it (fix: let the other update end first)",
                "emu:0  port -  VID=04D8 PID=003C Version=0102  TovrixPro in update mode"}));

  const FlashRun json = Flash({"--list", "--json"}, Sample(), setup);
  EXPECT_NE(json.out.find(R"({"event":"device","path":"locked","port":"3-1.2","vid":"04D8","pid":"003C",)"
                          R"("version":"0102","unit":true,"opens":false,"problem":"Permission denied","fix":)"),
            std::string::npos)
      << json.out;

  const FlashRun others = Flash({"--emulate=fast", "--list", "--no-unit", "--before", "46D:C52B:1201"}, Sample());
  EXPECT_EQ(others.out, "emu:0  port emu-1  VID=046D PID=C52B Version=1201  other device\n");
}

// With no HID interface at all, --list says so to people, and ends as a
// list does.
TEST(List, NothingToListIsSaid) {
  Surroundings setup;
  setup.makeHid = [] { return std::make_unique<NoDevicesHidApi>(); };
  const FlashRun plain = Flash({"--list"}, Sample(), setup);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, "");
  EXPECT_EQ(plain.err, "tovrix-flash: no HID interface is attached\n");
  const FlashRun json = Flash({"--list", "--json"}, Sample(), setup);
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.out.rfind("{\"event\":\"done\",\"status\":0,", 0), 0u) << json.out;
}

// The image file changed once it was read: replaced, cut short at a line
// end or inside a line, or deleted, as the first report (QUERY, before
// ERASE) or the 100th (inside the write) goes out. The unit is sent what
// was checked, byte for byte, and the program states that image.
TEST(OneRead, TheUnitGetsTheCheckedImage) {
  const FlashRun alone = Flash({"--emulate=fast"}, Sample());
  ASSERT_EQ(alone.status, kUpdated);
  const std::vector<std::function<void(const std::string&)>> changes = {
      [](const std::string& path) { std::ofstream(path, std::ios::binary) << Odd(); },
      [](const std::string& path) { std::filesystem::resize_file(path, Sample().find('\n', 9000) + 1); },
      [](const std::string& path) { std::filesystem::resize_file(path, Sample().find('\n', 9000) + 7); },
      [](const std::string& path) { std::filesystem::remove(path); },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    for (const int at : {1, 100}) {
      Surroundings setup;
      setup.onSend = [&](const std::string& path, int n) {
        if (n == at) changes[i](path);
      };
      const FlashRun run = Flash({"--emulate=fast"}, Sample(), setup);
      EXPECT_EQ(run.status, kUpdated) << i << " at " << at;
      EXPECT_EQ(run.out, alone.out) << i << " at " << at;
      EXPECT_TRUE(run.reports == alone.reports) << i << " at " << at;
      EXPECT_EQ(run.imageLine, "Image " + run.image + ": " + std::to_string(Sample().size()) + " bytes, SHA-256 " +
                                   Sha256Hex(Sample()));
    }
  }
}

TEST(OneRead, AnImageOverTheLimitTouchesNoUnit) {
  Surroundings setup;
  setup.imageSize = kMaxImageBytes + 1;
  const FlashRun run = Flash({"--emulate=fast"}, Sample(), setup);
  EXPECT_EQ(run.status, kFailed);
  EXPECT_EQ(Unwrapped(run.err), "tovrix-flash: The image " + run.image +
                         " is too large: 67108865 bytes, more than the limit of 67108864 bytes (64 MiB)\n");
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.unit.empty());
}

// The platform's SHA-256 on the NIST examples (FIPS 180-2, appendix B).
TEST(Sha256, NistVectors) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [message, digest] : vectors) EXPECT_EQ(Sha256Hex(message), digest) << message.size();
}

// A library of the system that cannot serve the run (on Windows: hid.dll,
// bcrypt.dll) ends it as a failure, said in the run's form, before the
// image is read or any unit is looked for; --help and --version need none.
struct LibraryFailureCase {
  std::vector<std::string> args;
  SystemLibraryFailure failure;
  std::string out, err;
};

TEST(SystemLibrary, AFailureEndsTheRunBeforeItStarts) {
  const SystemLibraryFailure notLoaded{SystemLibraryFailure::Kind::NotLoaded, "hid.dll", "",
                                       "The specified module could not be found."};
  const SystemLibraryFailure missing{SystemLibraryFailure::Kind::FunctionMissing, "bcrypt.dll", "BCryptHash", ""};
  const std::vector<LibraryFailureCase> cases = {
      {{}, notLoaded, "",
       "tovrix-flash: hid.dll cannot be loaded from the system folder:\n"
       "              The specified module could not be found.\n"},
      {{"--emulate=fast", "--json"}, missing,
       "{\"event\":\"error\",\"text\":\"bcrypt.dll of the system folder has no function BCryptHash\"}\n"
       "{\"event\":\"done\",\"status\":1,\"seconds\":0.000}\n",
       ""},
  };
  for (const LibraryFailureCase& c : cases) {
    int hids = 0;
    Surroundings setup;
    setup.makeHid = [&] {
      ++hids;
      return std::make_unique<NoDevicesHidApi>();
    };
    std::vector<FlashOptions> asked;
    setup.systemFailure = [&](const FlashOptions& options) {
      asked.push_back(options);
      return std::optional<SystemLibraryFailure>(c.failure);
    };
    const FlashRun run = Flash(c.args, Sample(), setup);
    EXPECT_EQ(run.status, kFailed);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.imageLine, "");
    EXPECT_EQ(hids, 0);
    EXPECT_TRUE(run.unit.empty());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].emulation == Emulation::None, c.args.empty());
  }
  for (const char* arg : {"--help", "--version"}) {
    Surroundings setup;
    setup.systemFailure = [&](const FlashOptions&) -> std::optional<SystemLibraryFailure> {
      ADD_FAILURE() << arg << " asked for the system's libraries";
      return notLoaded;
    };
    EXPECT_EQ(Flash({arg}, Sample(), setup).status, 0) << arg;
  }
}

TEST(Help, UsageAndVersion) {
  const FlashRun help = Flash({"--help"}, Sample());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, UsageText());
  EXPECT_LE(Widest(help.out), kPeopleColumns) << help.out;
  const FlashRun version = Flash({"--version"}, Sample());
  EXPECT_EQ(version.out.rfind("tovrix-flash ", 0), 0u);
  EXPECT_NE(version.out.find('.'), std::string::npos);
}

}  // namespace
}  // namespace tovrix::cli
