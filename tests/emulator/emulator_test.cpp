#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/bench.h"
#include "emulator/emulated_hid.h"
#include "hex/hex.h"
#include "tests/support/test_support.h"

namespace tovrix::emu {
namespace {

std::vector<uint8_t> Report(std::vector<uint8_t> payload) {
  payload.insert(payload.begin(), 0);
  payload.resize(65, 0);
  return payload;
}

TEST(TovrixUnit, AnswersQueryAfterTheEraseIsOver) {
  UnitOptions options;
  options.eraseMicros = 1'200'000;
  TovrixUnit unit(options);
  const auto query = Report({0x02});
  unit.Receive(std::span(query).subspan(1), 0);
  EXPECT_EQ(unit.NextReplyAt(), 0);
  const ReportData reply = unit.TakeReply();
  EXPECT_EQ(reply[0], 0x02);
  EXPECT_EQ(reply[12], 0xFF);

  EXPECT_FALSE(unit.NextReplyAt());

  const auto erase = Report({0x04});
  unit.Receive(std::span(erase).subspan(1), 1000);
  unit.Receive(std::span(query).subspan(1), 1000);
  EXPECT_EQ(unit.NextReplyAt(), 1'201'000);
}

TEST(TovrixUnit, CanAnswerTheFirstQueryTwice) {
  UnitOptions options;
  options.repeatFirstReply = true;
  TovrixUnit unit(options);
  const auto query = Report({0x02});
  for (const int replies : {2, 1}) {
    unit.Receive(std::span(query).subspan(1), 0);
    for (int i = 0; i < replies; ++i) {
      ASSERT_EQ(unit.NextReplyAt(), 0);
      EXPECT_EQ(unit.TakeReply(), unit.QueryReply());
    }
    EXPECT_FALSE(unit.NextReplyAt());
  }
}

TEST(TovrixUnit, ProgramWritesRightAlignedDataAndCountsBadCommands) {
  TovrixUnit unit;
  std::vector<uint8_t> program(64, 0xEE);
  program[0] = 0x05;
  program[1] = 0x00, program[2] = 0x10, program[3] = 0, program[4] = 0;
  program[5] = 4;
  program[60] = 1, program[61] = 2, program[62] = 3, program[63] = 4;
  unit.Receive(program, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(unit.Memory().Read(0x2000 + i), i + 1);
  EXPECT_FALSE(unit.Memory().Read(0x2004));

  program[5] = 59;  // more than a payload holds
  unit.Receive(program, 0);
  std::vector<uint8_t> unknown(64, 0);
  unknown[0] = 0x33;
  unit.Receive(unknown, 0);
  EXPECT_EQ(unit.ProtocolErrors(), 2);
}

TEST(UnitMemory, WritesItselfAsIntelHexThatParsesBack) {
  UnitMemory memory;
  std::vector<uint8_t> data(40);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  memory.Write(0xFFF0, data.data(), data.size());  // across a 64 KB boundary
  memory.Write(0x300000, data.data(), 3);
  const std::string hex = memory.ToIntelHex();

  UnitMemory parsed;
  HexRecord record;
  for (const auto& line : test::SplitLines(hex)) {
    const std::string text = line.substr(0, line.size() - 1);  // without CR
    const HexLineResult result = ParseHexLine(text, record);
    ASSERT_EQ(result.error, HexError::None) << text;
    parsed.Write(static_cast<uint64_t>(record.ExtendedBase + record.RecordAddress),
                 record.RecordData.data(), static_cast<std::size_t>(result.count));
  }
  EXPECT_EQ(parsed.Runs(), memory.Runs());
  EXPECT_EQ(memory.Runs().size(), 2u);
}

TEST(EmulatedHid, ReportsMisuse) {
  VirtualClock clock;
  std::vector<std::string> faults;
  EmulatorEvents events;
  events.fault = [&](const std::string& text) { faults.push_back(text); };
  EmulatedHid hid({}, clock, events);
  const auto paths = hid.ListInterfaces();
  ASSERT_EQ(paths.size(), 1u);
  const HidHandle h = hid.OpenForReading(paths[0]);
  uint8_t buffer[65];
  hid.StartRead(h, buffer, sizeof buffer);
  hid.StartRead(h, buffer, sizeof buffer);
  hid.CancelRead(h);
  EXPECT_EQ(hid.WaitRead(h, 500), -1);
  hid.Close(h);
  hid.Close(h);
  const uint8_t report[65] = {};
  EXPECT_EQ(hid.WriteReport(h, report, sizeof report), 0);
  hid.Close(4242);
  EXPECT_EQ(faults.size(), 5u);
  EXPECT_EQ(hid.Open("emu:7"), kInvalidHandle);
  EXPECT_EQ(hid.Open("/dev/hidraw0"), kInvalidHandle);
}

TEST(EmulatedHid, AWaitTimesOutWithoutSleepingAndMovesTheClock) {
  VirtualClock clock;
  EmulatorOptions options;
  options.unit.eraseMicros = EraseMicrosForWaits(2);
  EmulatedHid hid(options, clock);
  const HidHandle w = hid.Open("emu:0");
  const HidHandle r = hid.OpenForReading("emu:0");
  const auto erase = Report({0x04}), query = Report({0x02});
  hid.WriteReport(w, erase.data(), erase.size());
  hid.WriteReport(w, query.data(), query.size());
  std::vector<uint8_t> buffer(66, 0);
  std::vector<int32_t> results;
  for (int i = 0; i < 3; ++i) {
    hid.StartRead(r, buffer.data(), 65);
    results.push_back(hid.WaitRead(r, 500));
    if (results.back() != kWaitReady) hid.CancelRead(r);
  }
  EXPECT_EQ(results, (std::vector<int32_t>{kWaitTimeout, kWaitTimeout, kWaitReady}));
  EXPECT_EQ(clock.Now(), 1'250'000);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], 0x02);
  EXPECT_TRUE(hid.Faults().empty());
}

// The link's clock: each report goes in the frame after the last one, or
// in the next frame after a writer that came late; N reports from the
// start move the clock by exactly N frames.
struct FrameCase {
  const char* name;
  std::vector<int64_t> lateTo;  // before each write, the clock moved on to (0: not)
  std::vector<int64_t> after;   // the clock after each write
};

class EmulatedFramesTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(EmulatedFramesTest, EachReportInTheFrameAfterTheLast) {
  const FrameCase& c = GetParam();
  VirtualClock clock;
  EmulatorOptions options;
  options.reportMicros = 1000;
  EmulatedHid hid(options, clock);
  const HidHandle w = hid.Open("emu:0");
  const auto complete = Report({0x06});
  std::vector<int64_t> after;
  for (const int64_t late : c.lateTo) {
    if (late > 0) clock.SleepUntil(late);
    ASSERT_EQ(hid.WriteReport(w, complete.data(), complete.size()), 1);
    after.push_back(clock.Now());
  }
  EXPECT_EQ(after, c.after);
  EXPECT_EQ(hid.Writes(), static_cast<int>(c.lateTo.size()));
}

// N reports written back to back from the start: the clock at 1..N frames.
FrameCase BackToBack(const char* name, int n) {
  FrameCase c{name, std::vector<int64_t>(n, 0), {}};
  for (int i = 1; i <= n; ++i) c.after.push_back(int64_t{i} * 1000);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, EmulatedFramesTest,
    ::testing::Values(FrameCase{"back_to_back", {0, 0, 0, 0}, {1000, 2000, 3000, 4000}},
                      FrameCase{"late_within_a_frame", {0, 0, 2500, 0}, {1000, 2000, 3000, 4000}},
                      FrameCase{"late_by_frames", {0, 10'200, 0}, {1000, 11'000, 12'000}},
                      FrameCase{"late_to_a_frame_edge", {0, 0, 5000, 0}, {1000, 2000, 6000, 7000}},
                      FrameCase{"late_before_the_first", {700, 0}, {1000, 2000}},
                      BackToBack("a_whole_image", 2561)),
    [](const auto& info) { return std::string(info.param.name); });

// Reads belong to the handle opened for reading: a read on the write handle
// is misuse, as the platforms refuse it.
TEST(EmulatedHid, ReadsOnlyOnTheReadingHandle) {
  VirtualClock clock;
  EmulatedHid hid({}, clock);
  const HidHandle w = hid.Open("emu:0");
  uint8_t buffer[65];
  EXPECT_EQ(hid.PrepareRead(w), 0);
  EXPECT_EQ(hid.StartRead(w, buffer, sizeof buffer), 0);
  EXPECT_EQ(hid.WaitRead(w, 500), -1);
  EXPECT_EQ(hid.CancelRead(w), 0);
  ASSERT_EQ(hid.Faults().size(), 4u);
  EXPECT_EQ(hid.Faults()[0], "PrepareRead on handle " + std::to_string(w) + ", which was not opened for reading");
  const HidHandle r = hid.OpenForReading("emu:0");
  EXPECT_EQ(hid.PrepareRead(r), 1);
  EXPECT_EQ(hid.Faults().size(), 4u);
}

// A unit on the bench that has received RESET stays listed while a handle
// on it is open, and leaves when the last one closes; one that has not
// reset stays with none open.
struct LeaveCase {
  const char* name;
  bool reset;
  std::vector<bool> listedAfterEachClose;  // the write handle first, then the reading one
};

class BenchLeaveTest : public ::testing::TestWithParam<LeaveCase> {};

TEST_P(BenchLeaveTest, AResetUnitLeavesWithItsLastHandle) {
  const LeaveCase& c = GetParam();
  BenchSettings settings;
  settings.keepHistory = true;
  EmulatedBench bench(settings);
  const auto view = bench.NewView();
  const auto paths = view->ListInterfaces();
  ASSERT_EQ(paths.size(), 1u);
  const HidHandle w = view->Open(paths[0]);
  const HidHandle r = view->OpenForReading(paths[0]);
  ASSERT_NE(w, kInvalidHandle);
  ASSERT_NE(r, kInvalidHandle);
  if (c.reset) {
    const auto reset = Report({0x08});
    ASSERT_EQ(view->WriteReport(w, reset.data(), reset.size()), 1);
  }
  std::vector<bool> listed{!view->ListInterfaces().empty()};
  for (const HidHandle h : {w, r}) {
    view->Close(h);
    listed.push_back(!view->ListInterfaces().empty());
  }
  EXPECT_EQ(listed, c.listedAfterEachClose);
  const auto history = bench.History();
  EXPECT_EQ(history.size(), c.reset ? 1u : 0u);
  if (!history.empty()) {
    EXPECT_EQ(history[0].resets, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Leaves, BenchLeaveTest,
                         ::testing::Values(LeaveCase{"reset", true, {true, true, false}},
                                           LeaveCase{"not_reset", false, {true, true, true}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovrix::emu
