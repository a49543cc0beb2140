// Each unit's record: the unit event's fields, the result line, the failure
// codes, the record file (--record) and what the station does when it
// cannot be opened or written.
#include <atomic>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/cli/flash.h"
#include "app/cli/output.h"
#include "app/cli/system.h"
#include "app/version.h"
#include "emulator/images.h"
#include "tests/cli/flash_run.h"
#include "tests/support/test_support.h"

namespace tovrix::cli {
namespace {

using test::SplitLines;

struct TimeCase {
  WallTime time;
  const char* text;
};

TEST(Rfc3339, GivesTheLocalTimeWithItsOffsetAndMilliseconds) {
  const std::vector<TimeCase> cases = {
      {{0, 0}, "1970-01-01T00:00:00.000+00:00"},
      {test::kUnitWallTime, test::kUnitTime},
      {{1'796'702'192'120, 60}, "2026-12-08T04:56:32.120+01:00"},
      {{1'796'702'192'120, -300}, "2026-12-07T22:56:32.120-05:00"},
      {{1'796'702'192'007, 345}, "2026-12-08T09:41:32.007+05:45"},
      {{1'796'702'192'999, -150}, "2026-12-08T01:26:32.999-02:30"},
      // Over a year's end, and before 1970.
      {{1'798'759'800'000, 60}, "2027-01-01T00:30:00.000+01:00"},
      {{-1, 0}, "1969-12-31T23:59:59.999+00:00"},
  };
  for (const TimeCase& c : cases) EXPECT_EQ(Rfc3339(c.time), c.text) << c.time.unixMs << " " << c.time.offsetMinutes;
}

// A record file in memory: its lines, and from which line on it fails.
struct MemoryRecord {
  std::vector<std::string> lines;
  int failFrom = -1;  // the first line that cannot be written (-1: none)
  int tries = 0;
};

class MemoryRecordFile final : public RecordFile {
 public:
  explicit MemoryRecordFile(MemoryRecord& record) : record_(record) {}
  std::string Append(std::string_view line) override {
    if (record_.failFrom >= 0 && record_.tries++ >= record_.failFrom) return "No space left on device";
    record_.lines.emplace_back(line);
    return {};
  }

 private:
  MemoryRecord& record_;
};

struct Recorded : test::FlashOutput {
  std::vector<std::string> units;  // standard output's unit events
};

// tovrix-flash --emulate=fast with args on the sample image, at the tests'
// wall clock, on the host "bench", with its record (if any) in memory.
Recorded Flash(std::vector<std::string> args, MemoryRecord* record = nullptr, int stopAfterUnits = -1) {
  test::TempDir dir;
  args.insert(args.begin(), "--emulate=fast");
  args.push_back(test::WriteImage(dir, images::SampleImage()));
  // Counted on the station's thread, read by its units' threads.
  std::atomic<int> ends{0};
  Recorded run;
  static_cast<test::FlashOutput&>(run) = test::RunFlash(args, [&](FlashIo& io) {
    io.wallClock = [&] {
      ++ends;
      return test::kUnitWallTime;
    };
    io.hostName = [] { return std::string("bench"); };
    if (record) {
      io.openRecord = [record](const std::string&) {
        return RecordOpened{std::make_unique<MemoryRecordFile>(*record), {}};
      };
    }
    // A station that would go on for ever stops once it has this many.
    if (stopAfterUnits > 0) io.stopRequests = [&] { return ends >= stopAfterUnits ? 1 : 0; };
  });
  for (const std::string& line : SplitLines(run.out)) {
    if (line.rfind("{\"event\":\"unit\"", 0) == 0) run.units.push_back(line);
  }
  return run;
}

// The unit event of a single update: every field.
TEST(UnitEvent, SingleUpdateCarriesEveryField) {
  MemoryRecord record;
  const Recorded run = Flash({"--json", "--station", "line-4.b", "--record", "units.jsonl"}, &record);
  ASSERT_EQ(run.status, kUpdated) << run.out << run.err;
  ASSERT_EQ(run.units.size(), 1u) << run.out;
  const std::string& unit = run.units[0];
  const std::regex whole(
      R"re(\{"event":"unit","time":"2026-12-07T13:45:02\.120\+01:00","station":"line-4\.b","count":1,)re"
      R"re("version":")re" TOVRIX_VERSION R"re(","port":"emu-1","path":"emu:0","sha256":"([0-9a-f]{64})",)re"
      R"re("result":"ok","status":0,"seconds":[0-9]+\.[0-9]{3},)re"
      R"re("phases":\{"check":([0-9]+),"erase":([0-9]+),"write":([0-9]+),"reset":([0-9]+)\}\})re");
  std::smatch fields;
  ASSERT_TRUE(std::regex_match(unit, fields, whole)) << unit;
  // The digest is the image event's.
  EXPECT_NE(run.out.find("\"sha256\":\"" + fields[1].str() + "\"}"), std::string::npos) << run.out;
  // The record holds the very line; the done event follows the unit's.
  EXPECT_EQ(record.lines, std::vector<std::string>{unit});
  EXPECT_EQ(SplitLines(run.out).back().rfind("{\"event\":\"done\",\"status\":0,", 0), 0u);
}

// Text: standard output stays the window's log; the record gets the event.
TEST(UnitEvent, SingleUpdateInTextRecordsTheEventOnly) {
  MemoryRecord record;
  const Recorded plain = Flash({});
  const Recorded run = Flash({"--record", "units.jsonl"}, &record);
  ASSERT_EQ(run.status, kUpdated);
  EXPECT_EQ(run.out, plain.out);
  ASSERT_EQ(record.lines.size(), 1u);
  EXPECT_EQ(record.lines[0].rfind(R"re({"event":"unit","time":"2026-12-07T13:45:02.120+01:00","station":"bench",)re", 0),
            0u)
      << record.lines[0];
}

struct CodeCase {
  const char* name;
  std::vector<std::string> args;  // the emulated unit's
  const char* code;               // empty: updated
  const char* phases;             // which phases were reached: "cewr"
};

class FailureCodeTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(FailureCodeTest, NamesTheKindOfFailure) {
  const CodeCase& c = GetParam();
  std::vector<std::string> args = c.args;
  args.emplace_back("--json");
  const Recorded run = Flash(args);
  ASSERT_EQ(run.units.size(), 1u) << run.out;
  const std::string& unit = run.units[0];
  std::smatch code;
  if (*c.code == '\0') {
    EXPECT_EQ(unit.find("\"code\""), std::string::npos) << unit;
    EXPECT_NE(unit.find("\"result\":\"ok\""), std::string::npos) << unit;
  } else {
    ASSERT_TRUE(std::regex_search(unit, code, std::regex(R"re("result":"failed","code":"([a-z-]+)","reason":")re")))
        << unit;
    EXPECT_EQ(code[1].str(), c.code) << unit;
  }
  // A phase not reached is null.
  std::string reached;
  for (const char* phase : {"check", "erase", "write", "reset"}) {
    const std::string pattern = std::string("\"").append(phase).append("\":[0-9]+");
    if (std::regex_search(unit, std::regex(pattern))) reached += phase[0];
  }
  EXPECT_EQ(reached, c.phases) << unit;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FailureCodeTest,
    ::testing::Values(CodeCase{"updated", {}, "", "cewr"},
                      CodeCase{"no_reply", {"--silent-query"}, "no-reply", "c"},
                      CodeCase{"not_a_unit", {"--caps", "64,64,1"}, "not-a-unit", "c"},
                      CodeCase{"query_refused", {"--query", "00"}, "query-refused", "c"},
                      CodeCase{"query_failed", {"--fail-write", "1"}, "query-failed", "c"},
                      CodeCase{"erase_failed", {"--fail-write", "2"}, "erase-failed", "ce"},
                      CodeCase{"erase_failed_after", {"--fail-write", "3"}, "erase-failed", "ce"},
                      CodeCase{"erase_no_reply", {"--erase-waits", "11"}, "erase-no-reply", "ce"},
                      CodeCase{"write_failed", {"--fail-write", "40"}, "write-failed", "cew"},
                      CodeCase{"reset_failed", {"--fail-write", "2565"}, "reset-failed", "cewr"},
                      CodeCase{"image_refused", {"--memory", "10000:20000"}, "image-refused", "c"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every code is a short word of its own.
TEST(FailureCode, WordsAreDistinct) {
  std::vector<std::string> words;
  for (int code = static_cast<int>(FailureCode::ImageRefused); code <= static_cast<int>(FailureCode::Failed); ++code) {
    const std::string word(FailureCodeWord(static_cast<FailureCode>(code)));
    EXPECT_TRUE(std::regex_match(word, std::regex("[a-z]+(-[a-z]+)*"))) << word;
    EXPECT_EQ(std::count(words.begin(), words.end(), word), 0) << word;
    words.push_back(word);
  }
  EXPECT_EQ(FailureCodeWord(FailureCode::None), "");
}

TEST(UnitEvent, StationCountsItsUnitsAndNamesTheHostByDefault) {
  MemoryRecord record;
  const Recorded run = Flash({"--all", "--units", "3", "--json", "-q", "--record", "r"}, &record);
  ASSERT_EQ(run.status, kUpdated) << run.err;
  ASSERT_EQ(run.units.size(), 3u);
  std::vector<std::string> counts;
  for (const std::string& unit : run.units) {
    EXPECT_NE(unit.find(R"re("station":"bench",)re"), std::string::npos) << unit;
    std::smatch count;
    ASSERT_TRUE(std::regex_search(unit, count, std::regex(R"re("count":([0-9]+),)re")));
    counts.push_back(count[1]);
  }
  std::sort(counts.begin(), counts.end());
  EXPECT_EQ(counts, (std::vector<std::string>{"1", "2", "3"}));
  // The record holds each unit's event as standard output gives it.
  EXPECT_EQ(record.lines, run.units);
}

// The text result line carries the same fields.
TEST(UnitEvent, ResultLineCarriesEveryField) {
  const Recorded run = Flash({"--all", "--station", "s1", "--fail-write", "40"});
  ASSERT_EQ(run.status, kFailed);
  const std::regex line(
      R"re(2026-12-07T13:45:02\.120\+01:00  s1  #1  emu-1  failed write-failed  [0-9]+\.[0-9] s  )re"
      R"re(check [0-9]+ erase [0-9]+ write [0-9]+ reset - ms  bench:0\.0  tovrix-flash )re" TOVRIX_VERSION
      R"re(  sha256 [0-9a-f]{64}  Write Failure \(no error code given\) at report 37 of 2561; the unit was )re"
      R"re(erased and must be flashed again)re");
  const std::vector<std::string> lines = SplitLines(run.out);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, line); }),
            1)
      << run.out;
}

// A record that cannot be opened ends the run before any unit: status 1
// and the reason, in a station and for a single update.
TEST(RecordFile, ThatCannotBeOpenedStopsTheRunBeforeAnyUnit) {
  test::TempDir dir;
  const std::string missing = (dir.path() / "no-such-folder" / "units.jsonl").string();
  for (const std::vector<std::string>& mode : {std::vector<std::string>{}, {"--repeat", "--all", "--units", "2"}}) {
    std::vector<std::string> args = mode;
    args.insert(args.end(), {"--record", missing, "--emulate=fast", test::WriteImage(dir, images::SampleImage())});
    const test::FlashOutput run = test::RunFlash(args);
    EXPECT_EQ(run.status, kFailed);
    EXPECT_EQ(run.out, "");
    // The reason is the system's own ("No such file or directory",
    // "Path not found." on Windows).
    const std::string said = test::Unwrapped(run.errWhole);
    const std::string head = "tovrix-flash: Cannot open the record file " + missing + ": ";
    EXPECT_EQ(said.substr(0, head.size()), head) << said;
    EXPECT_GT(said.size(), head.size() + 1) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  }
}

#if !defined(_WIN32)
// A record that can no longer be written (a full disk: /dev/full, where
// every write fails with ENOSPC) stops the station from taking more units:
// it says so, and ends with status 1; a single update so recorded fails.
TEST(RecordFile, ThatCannotBeWrittenStopsTheStation) {
  const Recorded station = Flash({"--repeat", "--record", "/dev/full"}, nullptr, 20);
  EXPECT_EQ(station.status, kFailed);
  EXPECT_EQ(SplitLines(test::Unwrapped(station.err)),
            std::vector<std::string>{"tovrix-flash: Cannot write the record file /dev/full: No space left on "
                                     "device; the station takes no more units"});
  EXPECT_EQ(SplitLines(station.out).back(), "Summary: 1 updated, 0 failed");

  const Recorded single = Flash({"--record", "/dev/full"});
  EXPECT_EQ(single.status, kFailed);
  EXPECT_EQ(SplitLines(test::Unwrapped(single.err)),
            std::vector<std::string>{"tovrix-flash: Cannot write the record file /dev/full: No space left on device"});
}
#endif

// The same with a record that fails after its first line, two ports at
// once: the station takes no more, and the units in flight finish.
TEST(RecordFile, ThatFailsLaterStopsTakingUnits) {
  MemoryRecord record;
  record.failFrom = 1;
  const Recorded run = Flash({"--repeat", "--all", "--units", "2", "--json", "-q", "--record", "r"}, &record, 40);
  EXPECT_EQ(run.status, kFailed);
  EXPECT_EQ(record.lines.size(), 1u);
  EXPECT_LE(run.units.size(), 3u) << run.out;
  EXPECT_NE(run.out.find(R"re({"event":"error","text":"Cannot write the record file r: No space left on device; )re"
                         R"re(the station takes no more units"})re"),
            std::string::npos)
      << run.out;
}

TEST(StationOption, TakesAPlainName) {
  for (const char* bad : {"", "two words", "a/b", "x\x1b", "\xc3\xa9"}) {
    std::string error;
    EXPECT_FALSE(ParseFlashOptions({"--station", bad}, error)) << bad;
    EXPECT_NE(error.find("--station takes a name"), std::string::npos) << error;
  }
  std::string error;
  const auto options = ParseFlashOptions({"--station", "bench-1.line_2", "--record", "r.jsonl"}, error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->station, "bench-1.line_2");
  EXPECT_EQ(options->record, "r.jsonl");
  EXPECT_FALSE(ParseFlashOptions({"--list", "--record", "r"}, error));
}

}  // namespace
}  // namespace tovrix::cli
