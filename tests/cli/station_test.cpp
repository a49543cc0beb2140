// tovrix-flash's station runs (--all, --repeat) and --pack, against the
// emulated bench: units on ports, each update on a thread of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/cli/flash.h"
#include "app/cli/output.h"
#include "app/cli/sha256.h"
#include "app/cli/units.h"
#include "emulator/bench.h"
#include "hid/pass_through.h"
#include "protocol/protocol.h"
#include "tests/cli/flash_run.h"
#include "tests/support/test_support.h"
#include "emulator/images.h"

namespace tovrix::cli {
namespace {

using test::SplitLines;
using test::Unwrapped;
using Memory = std::map<uint64_t, std::vector<uint8_t>>;

struct BenchRun : test::FlashOutput {
  std::vector<emu::BenchRecord> history;  // the units that left, in order
  // The lines of port's unit, without "[port] ".
  std::vector<std::string> Lines(const std::string& port, const std::string& text) const {
    std::vector<std::string> lines;
    const std::string tag = "[" + port + "] ";
    for (const std::string& line : SplitLines(text)) {
      if (line.rfind(tag, 0) == 0) lines.push_back(line.substr(tag.size()));
    }
    return lines;
  }
  // The unit ends, text or JSON, with their digests, the tool's version,
  // the seconds and the phases left out.
  std::vector<std::string> Results() const {
    std::vector<std::string> results;
    for (const std::string& line : SplitLines(out)) {
      if (line.rfind(test::kUnitTime, 0) == 0 || line.rfind("{\"event\":\"unit\"", 0) == 0) {
        std::string result = std::regex_replace(line, std::regex(R"("sha256":"[0-9a-f]{64}")"), R"("sha256":"SHA")");
        result = std::regex_replace(result, std::regex(R"("version":"[^"]*")"), R"("version":"V")");
        result = std::regex_replace(result, std::regex(R"("seconds":[0-9.]+,"phases":\{[^}]*\}\}$)"),
                                    R"("seconds":S,"phases":P})");
        result = std::regex_replace(
            result, std::regex("  [0-9]+\\.[0-9] s  check [-0-9]+ erase [-0-9]+ write [-0-9]+ reset [-0-9]+ ms  "),
            "  S  ");
        results.push_back(std::regex_replace(result, std::regex("  tovrix-flash [0-9.]+  sha256 [0-9a-f]{64}"), ""));
      }
    }
    return results;
  }
};

struct Line {
  emu::BenchSettings bench;
  int stopAfterResults = 0;  // the stop request comes with that many results; 0: never
  int stopAfterTicks = 0;    // ... or once the clock was read that often
  int interruptAfterTicks = 0;  // a second stop request once the clock was read that often
  // The units' PROGRAM reports wait, once the stop request is there, until
  // the station has read it twice (it has told of it after the first):
  // they are all still being written then.
  bool holdUntilStopSeen = false;
  bool terminal = false;
  bool hubPorts = false;     // the bench's first two ports named 1-1.2 and 1-1, as behind a hub
  // An update that ends slowly: once it has closed its unit, it takes as
  // long as the station's next four waits to end.
  bool slowEnd = false;
  // Called with the image's path each time the clock is read (tick: the count so far).
  std::function<void(const std::string& path, int64_t tick)> onTick = {};
  int64_t imageSize = -1;  // the image file made this long (zeros added), when set
};

// What has happened on the bench: reports written to its units, and
// results. A station that waits this many times in a row with neither
// moving waits for what will never come (a unit between two updates keeps
// it waiting a few times: a unit leaves or comes every 250 ms at most): the
// run is stopped, and the test fails saying what it waited for.
constexpr int kIdleWaits = 5000;

struct Activity {
  std::atomic<int> waits{0};  // the station's
  std::atomic<int64_t> writes{0};
  std::atomic<int> results{0};
  std::atomic<bool> stuck{false};
  std::atomic<bool> stopAsked{false};  // a stop request is there
  std::atomic<int> stopSeen{0};        // ... and the station's thread read it so often
};

// A view of the bench for the program: counts the reports written, names
// the ports and ends slowly as the Line says.
class BenchView final : public PassThroughHid {
 public:
  BenchView(std::unique_ptr<HidApi> view, Activity& activity, const Line& setup)
      : PassThroughHid(*view), view_(std::move(view)), activity_(activity), hubPorts_(setup.hubPorts),
        slowEnd_(setup.slowEnd), holdUntilStopSeen_(setup.holdUntilStopSeen) {}
  std::vector<HidInterfaceInfo> DescribeInterfaces() override {
    std::vector<HidInterfaceInfo> interfaces = inner_.DescribeInterfaces();
    for (HidInterfaceInfo& info : interfaces) {
      if (hubPorts_ && info.port == "emu-1") info.port = "1-1.2";
      else if (hubPorts_ && info.port == "emu-2") info.port = "1-1";
    }
    return interfaces;
  }
  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override {
    ++activity_.writes;
    wrote_ = true;
    while (holdUntilStopSeen_ && length > 1 && report[1] == PROGRAM && activity_.stopAsked &&
           activity_.stopSeen < 2 && !activity_.stuck) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return inner_.WriteReport(handle, report, length);
  }
  HidHandle Open(const std::string& path) override { return Opened(inner_.Open(path)); }
  HidHandle OpenForReading(const std::string& path) override { return Opened(inner_.OpenForReading(path)); }
  int32_t Close(HidHandle handle) override {
    const int32_t closed = inner_.Close(handle);
    open_ -= closed;
    if (slowEnd_ && wrote_ && open_ == 0) {
      const int until = activity_.waits + 4;
      while (activity_.waits < until && !activity_.stuck) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return closed;
  }

 private:
  HidHandle Opened(HidHandle handle) {
    if (handle != kInvalidHandle) ++open_;
    return handle;
  }

  std::unique_ptr<HidApi> view_;
  Activity& activity_;
  bool hubPorts_;
  bool slowEnd_;
  bool holdUntilStopSeen_;
  bool wrote_ = false;
  int open_ = 0;
};

class IdleGuard final : public InterfaceWatch {
 public:
  IdleGuard(std::unique_ptr<InterfaceWatch> watch, Activity& activity)
      : watch_(std::move(watch)), activity_(activity) {}
  bool Wait(int timeoutMs) override {
    ++activity_.waits;
    const std::pair<int64_t, int> now{activity_.writes, activity_.results};
    idle_ = now == last_ ? idle_ + 1 : 0;
    last_ = now;
    if (idle_ >= kIdleWaits) activity_.stuck = true;
    return watch_->Wait(timeoutMs);
  }

 private:
  std::unique_ptr<InterfaceWatch> watch_;
  Activity& activity_;
  std::pair<int64_t, int> last_{-1, -1};
  int idle_ = 0;
};

BenchRun Flash(std::vector<std::string> args, const Line& setup, const std::string& image = images::SampleImage()) {
  test::TempDir dir;
  const std::string path = test::WriteImage(dir, image, "TOVRIXPRO.HEX", setup.imageSize);
  args.push_back(path);
  emu::EmulatedBench bench(setup.bench);
  std::atomic<int64_t> ticks{0};
  Activity activity;
  const std::thread::id station = std::this_thread::get_id();
  BenchRun run;
  static_cast<test::FlashOutput&>(run) = test::RunFlash(args, [&](FlashIo& io) {
    io.errIsTerminal = setup.terminal;
    io.nowMs = [&] {
      const int64_t tick = ++ticks;
      if (setup.onTick) setup.onTick(path, tick);
      return tick;
    };
    io.wallClock = [&] {
      ++activity.results;
      return test::kUnitWallTime;
    };
    io.hostName = [] { return std::string("bench"); };
    io.stopRequests = [&, station] {
      int stops = (setup.stopAfterResults > 0 && activity.results >= setup.stopAfterResults) ||
                  (setup.stopAfterTicks > 0 && ticks >= setup.stopAfterTicks);
      if (activity.stuck || (setup.interruptAfterTicks > 0 && ticks >= setup.interruptAfterTicks)) stops = 2;
      if (stops > 0) {
        activity.stopAsked = true;
        if (std::this_thread::get_id() == station) ++activity.stopSeen;
      }
      return stops;
    };
    io.makeHid = [&] { return std::make_unique<BenchView>(bench.NewView(), activity, setup); };
    io.makeWatch = [&] { return std::make_unique<IdleGuard>(bench.NewWatch(), activity); };
  });
  run.history = bench.History();
  if (activity.stuck) {
    ADD_FAILURE() << "stopped after " << kIdleWaits << " waits in a row with nothing written and no result, "
                  << "waiting for "
                  << (setup.stopAfterResults > 0
                          ? std::to_string(setup.stopAfterResults) + " results (there were " +
                                std::to_string(activity.results) + ")"
                          : std::string("the station to end"))
                  << "; units gone: " << run.history.size();
  }
  return run;
}

emu::BenchSettings Ports(int ports, std::function<emu::UnitPlan(int, int)> plan = {}) {
  emu::BenchSettings bench;
  bench.ports = ports;
  bench.plan = std::move(plan);
  bench.keepHistory = true;
  return bench;
}

// A fresh unit micros after one left, up to plugs a port (-1: no end).
emu::BenchSettings Replugging(int ports, int plugs, int64_t micros = 500'000,
                              std::function<emu::UnitPlan(int, int)> plan = {}) {
  emu::BenchSettings bench = Ports(ports, std::move(plan));
  bench.replugMicros = micros;
  bench.plugsPerPort = plugs;
  return bench;
}

// One unit updated alone, as a plain run: its log and the memory it leaves.
const BenchRun& Alone() {
  static const BenchRun run = Flash({}, Line{Ports(1)});
  return run;
}

Memory Written() { return Alone().history.at(0).memory; }

TEST(Station, AloneIsThePlainUpdate) {
  ASSERT_EQ(Alone().status, kUpdated);
  ASSERT_EQ(Alone().history.size(), 1u);
  EXPECT_FALSE(Written().empty());
}

TEST(Station, AllUpdatesEveryUnitWithTheWindowsLogOnEachPort) {
  const BenchRun run = Flash({"--all"}, Line{Ports(3)});
  EXPECT_EQ(run.status, kUpdated);
  EXPECT_EQ(run.err, "");
  for (const std::string port : {"emu-1", "emu-2", "emu-3"}) {
    EXPECT_EQ(run.Lines(port, run.out), SplitLines(Alone().out)) << port;
  }
  std::vector<std::string> results = run.Results();
  std::sort(results.begin(), results.end());
  EXPECT_EQ(results, (std::vector<std::string>{"2026-12-07T13:45:02.120+01:00  bench  #1  emu-1  ok  S  bench:0.0",
                                               "2026-12-07T13:45:02.120+01:00  bench  #2  emu-2  ok  S  bench:1.0",
                                               "2026-12-07T13:45:02.120+01:00  bench  #3  emu-3  ok  S  bench:2.0"}));
  EXPECT_EQ(SplitLines(run.out).back(), "Summary: 3 updated, 0 failed");
  ASSERT_EQ(run.history.size(), 3u);
  for (const emu::BenchRecord& unit : run.history) {
    EXPECT_EQ(unit.memory, Written()) << unit.port;
    EXPECT_EQ(unit.resets, 1);
  }
}

struct AllCase {
  const char* name;
  std::vector<std::string> args;
  emu::BenchSettings bench;
  int status;
  std::vector<std::string> errors;  // standard error
  std::string summary;              // the last line of standard output
};

emu::UnitPlan FailingSecond(int port, int) {
  emu::UnitPlan plan;
  if (port == 1) plan.unit.failWrite = 40;
  return plan;
}

emu::BenchSettings Empty() {
  emu::BenchSettings bench = Ports(2);
  bench.pluggedAtStart = false;
  return bench;
}

class AllTest : public ::testing::TestWithParam<AllCase> {};

TEST_P(AllTest, EndsAsTheUnitsDid) {
  const AllCase& c = GetParam();
  const BenchRun run = Flash(c.args, Line{c.bench});
  EXPECT_EQ(run.status, c.status);
  // Each text on one line (standard error breaks them within 80 columns).
  EXPECT_EQ(SplitLines(Unwrapped(run.err)), c.errors);
  EXPECT_EQ(SplitLines(run.out).empty() ? "" : SplitLines(run.out).back(), c.summary);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AllTest,
    ::testing::Values(
        AllCase{"one_fails", {"--all"}, Ports(3, FailingSecond), kFailed,
                {"tovrix-flash: [emu-2] Write Failure (no error code given) at report 37 of 2561; the unit was "
                 "erased and must be flashed again",
                 "tovrix-flash: [emu-2] Program Abort!"},
                "Summary: 2 updated, 1 failed: emu-2"},
        AllCase{"no_unit", {"--all"}, Empty(), kNoUnit, {"tovrix-flash: Cannot find TovrixPro!"}, ""},
        AllCase{"no_unit_in_the_wait", {"--all", "--wait=0.1"}, Empty(), kNoUnit,
                {"tovrix-flash: no TovrixPro was plugged in within 0.1 s", "tovrix-flash: Cannot find TovrixPro!"},
                ""},
        AllCase{"one_port_chosen", {"--all", "--port", "emu-2", "-q"}, Ports(3), kUpdated, {},
                "Summary: 1 updated, 0 failed"}),
    [](const auto& info) { return std::string(info.param.name); });

// The image is looked at once, before any unit is taken: a bad line, or
// an image cut short (the sample's first 100 lines, without its end-of-file
// record).
TEST(Station, ABadImageTouchesNoUnit) {
  const std::string cut = test::FirstLines(images::SampleImage(), 100);
  const struct {
    std::string image;
    std::string error;
  } cases[] = {
      {":10080000000102030405060708090A0B0C0D0E0F00\r\n", "tovrix-flash: Invalid checksum on line 1"},
      {cut, "tovrix-flash: The image"},
  };
  for (const auto& c : cases) {
    for (const std::vector<std::string>& station : {std::vector<std::string>{"--all"}, {"--repeat", "--all"}}) {
      const BenchRun run = Flash(station, Line{Ports(2)}, c.image);
      EXPECT_EQ(run.status, kFailed) << c.error;
      EXPECT_TRUE(run.history.empty()) << c.error;
      EXPECT_EQ(run.Results().size(), 0u) << c.error;
      const auto err = SplitLines(run.err);
      ASSERT_FALSE(err.empty());
      EXPECT_EQ(err[0].rfind(c.error, 0), 0u) << err[0];
    }
  }
}

// --repeat: three plug-ins on one port, the second pulled out during the
// write; each is updated once (also while a unit that left is still listed
// without its port), the cut one is reported with the way to recover, and
// the next plug-in of that unit is updated.
TEST(Station, RepeatTakesEachPlugInOnceAndACutUnitAgain) {
  emu::BenchSettings bench = Replugging(1, -1, 1'000'000, [](int, int plug) {
    emu::UnitPlan plan;
    if (plug == 1) plan.unplugAfterWrites = 300;
    return plan;
  });
  bench.lingerListings = 3;  // each unit that leaves is listed a while longer, without its port
  const BenchRun run = Flash({"--repeat", "--json", "-q"}, Line{bench, 3});
  EXPECT_EQ(run.status, kFailed);
  EXPECT_EQ(run.Results(), (std::vector<std::string>{
      R"({"event":"unit","time":"2026-12-07T13:45:02.120+01:00","station":"bench","count":1,"version":"V","port":"emu-1","path":"bench:0.0","sha256":"SHA","result":"ok","status":0,"seconds":S,"phases":P})",
      R"({"event":"unit","time":"2026-12-07T13:45:02.120+01:00","station":"bench","count":2,"version":"V","port":"emu-1","path":"bench:0.1","sha256":"SHA","result":"failed","code":"gone","reason":"Write Failure (no error code given) at report 297 of 2561; the unit was erased and must be flashed again; plug it in again to retry","status":1,"seconds":S,"phases":P})",
      R"({"event":"unit","time":"2026-12-07T13:45:02.120+01:00","station":"bench","count":3,"version":"V","port":"emu-1","path":"bench:0.2","sha256":"SHA","result":"ok","status":0,"seconds":S,"phases":P})"}));
  const auto lines = SplitLines(run.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], R"({"event":"summary","updated":2,"failed":1,"failed_ports":["emu-1"]})");
  EXPECT_EQ(lines.back().rfind(R"({"event":"done","status":1,)", 0), 0u) << lines.back();
  ASSERT_GE(run.history.size(), 3u);
  EXPECT_EQ(run.history[0].memory, Written());
  EXPECT_TRUE(run.history[1].unplugged);
  EXPECT_EQ(run.history[2].memory, Written());
}

// The station keeps counts and the ports where units failed, a port once
// however often its units fail; the bench, unless asked, keeps nothing of
// the units that left.
TEST(Station, APortWhoseUnitsFailAgainIsNamedOnce) {
  emu::BenchSettings bench = Replugging(1, -1, 1'000'000, [](int, int plug) {
    emu::UnitPlan plan;
    if (plug < 2) plan.unplugAfterWrites = 300;
    return plan;
  });
  bench.keepHistory = false;
  const BenchRun run = Flash({"--repeat", "-q"}, Line{bench, 3});
  EXPECT_EQ(run.status, kFailed);
  EXPECT_EQ(SplitLines(run.out).back(), "Summary: 1 updated, 2 failed: emu-1");
  EXPECT_TRUE(run.history.empty());
}

// Without --all the station takes one unit at a time: each unit's log is
// whole before the next one's starts. With --all it takes every port, and
// keeps taking the units that come there.
TEST(Station, RepeatAloneTakesOneUnitAtATime) {
  const BenchRun run = Flash({"--repeat"}, Line{Ports(2), 2});
  EXPECT_EQ(run.status, kUpdated);
  const auto lines = SplitLines(run.out);
  const auto firstOf2 = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.rfind("[emu-2]", 0) == 0; });
  const auto lastOf1 = std::find_if(lines.rbegin(), lines.rend(), [](const auto& l) { return l.rfind("[emu-1]", 0) == 0; });
  ASSERT_NE(firstOf2, lines.end());
  EXPECT_LT(lastOf1.base() - lines.begin(), firstOf2 - lines.begin());
  EXPECT_EQ(lines.back(), "Summary: 2 updated, 0 failed");
}

TEST(Station, RepeatAllKeepsEveryPortBusy) {
  const BenchRun run = Flash({"--repeat", "--all", "-q"}, Line{Replugging(2, 3), 6});
  EXPECT_EQ(run.status, kUpdated);
  int onFirst = 0;
  for (const std::string& result : run.Results()) onFirst += result.find("  emu-1  ok  ") != std::string::npos;
  EXPECT_EQ(onFirst, 3);
  EXPECT_EQ(SplitLines(run.out).back(), "Summary: 6 updated, 0 failed");
}

// A unit leaves its port while its update is still ending, and the next
// unit comes there before that update has ended: the next one is taken.
TEST(Station, RepeatTakesTheNextUnitWhenTheLastOneLeftBeforeItsUpdateEnded) {
  Line line{Replugging(1, 2), 2};  // the next unit two of the station's waits later
  line.slowEnd = true;
  const BenchRun run = Flash({"--repeat", "-q"}, line);
  EXPECT_EQ(run.status, kUpdated);
  EXPECT_EQ(run.history.size(), 2u);
  EXPECT_EQ(SplitLines(run.out).back(), "Summary: 2 updated, 0 failed");
}

// A station stopped while two units are written. Once: it takes no more
// units, says so, and the two finish (their memory holds the image).
// Twice: the second request stops both after the report in flight, each
// closed and saying what was done. The statuses tell the two apart.
struct StationStopCase {
  const char* name;
  std::vector<std::string> args;
  int interruptAfterTicks;  // 0: stopped once
  int status;
  std::vector<std::string> errors;  // standard error, each text on one line
  std::string summary;  // a regular expression
  bool written;  // every unit's memory holds the image
};

void PrintTo(const StationStopCase& c, std::ostream* out) { *out << c.name; }

class StationStopTest : public ::testing::TestWithParam<StationStopCase> {};

TEST_P(StationStopTest, UnitsInFlight) {
  const StationStopCase& c = GetParam();
  // --repeat: a unit comes back to a port two waits after one left.
  Line line{Replugging(3, -1), 0, 400};
  line.interruptAfterTicks = c.interruptAfterTicks;
  line.holdUntilStopSeen = true;
  const BenchRun run = Flash(c.args, line);
  EXPECT_EQ(run.status, c.status);
  for (const std::string& l : SplitLines(run.err)) EXPECT_LE(l.size(), kPeopleColumns) << l;
  std::vector<std::string> errors = SplitLines(Unwrapped(run.err));
  for (std::string& e : errors) e = std::regex_replace(e, std::regex("after [0-9]+ of"), "after N of");
  std::sort(errors.begin() + (errors.empty() ? 0 : 1), errors.end());
  EXPECT_EQ(errors, c.errors);
  EXPECT_TRUE(std::regex_match(SplitLines(run.out).back(), std::regex(c.summary))) << SplitLines(run.out).back();
  for (const emu::BenchRecord& unit : run.history) EXPECT_EQ(unit.memory == Written(), c.written) << unit.port;
}

const std::string kInterruptedUnit =
    "] Interrupted after N of 2561 reports; the unit was erased and must be flashed again";

INSTANTIATE_TEST_SUITE_P(
    Table, StationStopTest,
    ::testing::Values(
        StationStopCase{"all_once", {"--all"}, 0, kUpdated,
                 {"tovrix-flash: stopping: 3 units finishing, Ctrl-C again to interrupt them"},
                 "Summary: 3 updated, 0 failed", true},
        StationStopCase{"repeat_all_once", {"--repeat", "--all", "-q"}, 0, kUpdated,
                 {"tovrix-flash: stopping: 3 units finishing, Ctrl-C again to interrupt them"},
                 "Summary: 3 updated, 0 failed", true},
        StationStopCase{"all_twice", {"--all", "-q"}, 800, kInterrupted,
                 {"tovrix-flash: stopping: 3 units finishing, Ctrl-C again to interrupt them",
                  "tovrix-flash: [emu-1" + kInterruptedUnit, "tovrix-flash: [emu-2" + kInterruptedUnit,
                  "tovrix-flash: [emu-3" + kInterruptedUnit},
                 "Summary: 0 updated, 3 failed: (emu-[123](, |$)){3}", false},
        StationStopCase{"repeat_twice", {"--repeat", "--all", "-q"}, 800, kInterrupted,
                 {"tovrix-flash: stopping: 3 units finishing, Ctrl-C again to interrupt them",
                  "tovrix-flash: [emu-1" + kInterruptedUnit, "tovrix-flash: [emu-2" + kInterruptedUnit,
                  "tovrix-flash: [emu-3" + kInterruptedUnit},
                 "Summary: 0 updated, 3 failed: (emu-[123](, |$)){3}", false}),
    [](const auto& info) { return std::string(info.param.name); });

// Behind a hub a unit on port 1-1 and one on 1-1.2: --port 1-1 takes the
// unit on 1-1 alone, in the choice and in every kind of run.
TEST(Choice, APortOrPathIsNotTheBeginningOfAnother) {
  const HidAttributes unit{0x04D8, 0x003C, 0x0102};
  std::vector<ListedInterface> listed(3);
  listed[0].info = {"/dev/hidraw10", "1-1.2", true, unit};
  listed[1].info = {"/dev/hidraw1", "1-1", true, unit};
  listed[2].info = {"/dev/hidraw11", "1-10", true, unit};
  for (ListedInterface& entry : listed) entry.unit = true;
  for (const ListedInterface& entry : listed) {
    for (const bool byPath : {false, true}) {
      const auto chosen = Candidates(listed, byPath ? entry.info.path : "", byPath ? "" : entry.info.port);
      ASSERT_EQ(chosen.size(), 1u) << entry.info.path;
      EXPECT_EQ(chosen[0].info.path, entry.info.path);
    }
  }
}

struct HubCase {
  const char* name;
  std::vector<std::string> args;
  int stopAfterResults;
};

void PrintTo(const HubCase& c, std::ostream* out) { *out << c.name; }

class HubTest : public ::testing::TestWithParam<HubCase> {};

TEST_P(HubTest, PortTakesThatPortOnly) {
  const HubCase& c = GetParam();
  std::vector<std::string> args = c.args;
  args.insert(args.end(), {"--port", "1-1", "-q"});
  Line line{Ports(2), c.stopAfterResults};
  line.hubPorts = true;
  const BenchRun run = Flash(args, line);
  EXPECT_EQ(run.status, kUpdated) << run.err;
  ASSERT_EQ(run.history.size(), 1u);
  EXPECT_EQ(run.history[0].port, 1);  // 1-1
  EXPECT_EQ(run.history[0].memory, Written());
}

INSTANTIATE_TEST_SUITE_P(Runs, HubTest,
                         ::testing::Values(HubCase{"update", {}, 0}, HubCase{"all", {"--all"}, 0},
                                           HubCase{"repeat", {"--repeat"}, 1},
                                           HubCase{"repeat_all", {"--repeat", "--all"}, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// --pack: the same memory as one PROGRAM per record, in fewer PROGRAMs, and
// the same log.
TEST(Station, PackLeavesTheSameMemoryWithFewerPrograms) {
  const BenchRun run = Flash({"--pack"}, Line{Ports(1)});
  EXPECT_EQ(run.status, kUpdated);
  EXPECT_EQ(run.out, Alone().out);
  ASSERT_EQ(run.history.size(), 1u);
  EXPECT_EQ(run.history[0].memory, Written());
  EXPECT_LT(run.history[0].programs * 3, Alone().history[0].programs);
}

// The station reads its image once, at its start: the file cut short or
// replaced after that, as the first unit starts (before its ERASE) or
// inside the writes, changes nothing that any unit gets, and every unit's
// result carries the digest of that image.
TEST(Station, EveryUnitGetsTheImageReadAtTheStart) {
  for (const int64_t at : {3, 300}) {
    for (const bool cut : {false, true}) {
      Line line{Replugging(2, 2), 4};
      line.onTick = [&](const std::string& path, int64_t tick) {
        if (tick != at) return;
        if (cut) std::filesystem::resize_file(path, images::SampleImage().find('\n', 9000) + 7);
        else std::ofstream(path, std::ios::binary) << ":02080000AA55F7\r\n:00000001FF\r\n";
      };
      const BenchRun run = Flash({"--repeat", "--all", "--json", "-q"}, line);
      EXPECT_EQ(run.status, kUpdated) << at;
      ASSERT_EQ(run.history.size(), 4u) << at;
      for (const emu::BenchRecord& unit : run.history) EXPECT_EQ(unit.memory, Written()) << at;
      const std::string digest = "\"sha256\":\"" + Sha256Hex(images::SampleImage()) + "\"";
      int stated = 0;
      for (const std::string& result : SplitLines(run.out)) stated += result.find(digest) != std::string::npos;
      EXPECT_EQ(stated, 5) << at;  // the image event and each unit's
    }
  }
}

TEST(Station, AnImageOverTheLimitTouchesNoUnit) {
  Line line{Ports(2)};
  line.imageSize = kMaxImageBytes + 1;
  const BenchRun run = Flash({"--all"}, line);
  EXPECT_EQ(run.status, kFailed);
  EXPECT_TRUE(run.history.empty());
  EXPECT_EQ(run.imageLine, "");
  // Broken within 80 columns: the lines after the first indented.
  EXPECT_NE(Unwrapped(run.err).find("is too large: 67108865 bytes, more than the limit of 67108864 bytes (64 MiB)"),
            std::string::npos)
      << run.err;
}

// The progress line of a station shows every unit being written.
TEST(Station, ProgressLineShowsEveryUnit) {
  std::ostringstream out, err;
  ReportSettings settings;
  settings.errIsTerminal = true;
  int64_t now = 0;
  settings.nowMs = [&] { return now += 1000; };
  settings.terminal = NewTerminal();
  settings.port = "1-1";
  const auto first = MakeReport(settings, out, err);
  settings.port = "1-2";
  const auto second = MakeReport(settings, out, err);
  first->Advance(Progress{10, 100, 1, 10, 0});
  second->Advance(Progress{50, 100, 5, 10, 0});
  first->Log("Writing data from $0400");
  EXPECT_EQ(out.str(), "[1-1] Writing data from $0400\n");
  first->EndProgress();
  second->Advance(Progress{60, 100, 6, 10, 0});
  EXPECT_EQ(err.str(), "\r[1-1] 10%\r[1-1] 10%  [1-2] 50%\r" + std::string(20, ' ') + "\r\r[1-2] 60%");
}

}  // namespace
}  // namespace tovrix::cli
