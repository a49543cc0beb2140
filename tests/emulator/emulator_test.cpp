#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace tovrix::emu
