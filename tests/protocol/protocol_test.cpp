#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "emulator/emulated_hid.h"
#include "hid/hid.h"
#include "protocol/protocol.h"
#include "tests/support/test_support.h"

namespace tovrix {
namespace {

std::array<uint8_t, 66> GoodReply() {
  std::array<uint8_t, 66> r{};
  r[1] = 0x02;
  r[2] = 56;
  r[3] = 2;
  r[4] = 1;
  r[5] = 0x00;  // MemoryStart 0x400
  r[6] = 0x04;
  r[9] = 0xFF;  // MemoryEnd 0x57FF
  r[10] = 0x57;
  r[13] = 0xFF;
  return r;
}

struct QueryCase {
  int offset;
  uint8_t value;
  QueryReplyCheck::Result result;
};

class CheckQueryBytesTest : public ::testing::TestWithParam<QueryCase> {};

TEST_P(CheckQueryBytesTest, ChecksTheIdentificationBytes) {
  auto reply = GoodReply();
  reply[GetParam().offset] = GetParam().value;
  EXPECT_EQ(CheckQueryBytes(reply.data(), reply.size()).result, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, CheckQueryBytesTest,
    ::testing::Values(QueryCase{0, 0x55, QueryReplyCheck::Ok},  // the report ID is not examined
                      QueryCase{14, 0x55, QueryReplyCheck::Ok},
                      QueryCase{1, 0x00, QueryReplyCheck::InvalidResponse},
                      QueryCase{1, 0x03, QueryReplyCheck::InvalidResponse},
                      QueryCase{4, 0x02, QueryReplyCheck::InvalidResponse},
                      QueryCase{13, 0x00, QueryReplyCheck::InvalidResponse},
                      QueryCase{2, 64, QueryReplyCheck::InvalidData},
                      QueryCase{3, 1, QueryReplyCheck::InvalidData}));

TEST(CheckQueryBytes, ReadsTheBoundsAsUnsigned32BitValues) {
  auto reply = GoodReply();
  reply[5] = 0x78, reply[6] = 0x56, reply[7] = 0x34, reply[8] = 0x92;
  reply[9] = 0xFF, reply[10] = 0xFF, reply[11] = 0xFF, reply[12] = 0xFF;
  const QueryReplyCheck check = CheckQueryBytes(reply.data(), reply.size());
  EXPECT_EQ(check.MemoryStart, 0x92345678);
  EXPECT_EQ(check.MemoryEnd, 0xFFFFFFFF);
}

TEST(CheckQueryBytes, AShortReplyIsInvalid) {
  const auto reply = GoodReply();
  EXPECT_EQ(CheckQueryBytes(reply.data(), 13).result, QueryReplyCheck::InvalidResponse);
}

TEST(IsOddRecord, TestsAddressAndCount) {
  HexRecord r;
  r.RecordAddress = 0x2000;
  r.DataCount = 16;
  EXPECT_FALSE(IsOddRecord(r));
  r.DataCount = 3;
  EXPECT_TRUE(IsOddRecord(r));
  r.DataCount = 16;
  r.RecordAddress = 0x2001;
  EXPECT_TRUE(IsOddRecord(r));
  r.RecordAddress = 0x2000;
  r.ExtendedBase = 0xFFFF0000;
  EXPECT_FALSE(IsOddRecord(r));
}

// The programmer against an opened emulated unit, bounds 0x400 to 0x57FF.
class ProgramRecordTest : public ::testing::Test {
 protected:
  ProgramRecordTest()
      : api_(emu::EmulatorOptions{}, clock_, Events()),
        messages_(shell_),
        hid_(api_, messages_),
        boot_(hid_, messages_) {
    hid_.FindTheHid();
    lines.clear();
    boot_.MemoryStart = 0x400;
    boot_.MemoryEnd = 0x57FF;
    boot_.StartProgramming();
  }

  emu::EmulatorEvents Events() {
    emu::EmulatorEvents events;
    events.sent = [this](const uint8_t* report, std::size_t length) {
      sent.emplace_back(report, report + length);
      lines.push_back("send");
    };
    return events;
  }

  // Programs count bytes at byteAddress as line `line`.
  void Program(int64_t byteAddress, int count, int32_t line, uint8_t first = 1) {
    record_.RecordAddress = static_cast<int32_t>(byteAddress & 0xFFFF);
    record_.ExtendedBase = byteAddress - record_.RecordAddress;
    for (int i = 0; i < count; ++i) record_.RecordData[i] = static_cast<uint8_t>(first + i);
    record_.DataCount = static_cast<int16_t>(count);
    boot_.ProgramRecord(record_, line);
  }

  test::RecordingShell shell_;
  std::vector<std::string>& lines = shell_.lines;
  std::vector<std::vector<uint8_t>> sent;
  emu::VirtualClock clock_;
  emu::EmulatedHid api_;
  Messages messages_;
  HidTransport hid_;
  Bootloader boot_;
  HexRecord record_;
};

TEST_F(ProgramRecordTest, FollowsTheRunsOfTheImage) {
  Program(0x0000, 16, 1);  // below the bounds, before anything was written: silent
  EXPECT_TRUE(lines.empty());

  Program(0x2000, 16, 2);
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<uint8_t> header{0x00, 0x05, 0x00, 0x10, 0x00, 0x00, 0x10};
  EXPECT_TRUE(std::equal(header.begin(), header.end(), sent[0].begin()));
  for (int offset = 6; offset <= 47; ++offset) EXPECT_EQ(sent[0][1 + offset], 0) << offset;
  for (int k = 0; k < 16; ++k) EXPECT_EQ(sent[0][1 + 48 + k], 1 + k);
  EXPECT_EQ(boot_.NextAddress, 0x1008);
  EXPECT_EQ(boot_.HighestAddress, 0x1000);

  Program(0x2010, 16, 3);  // continues: no COMPLETE
  Program(0x2040, 16, 4);  // a break: COMPLETE first
  Program(0xC000, 16, 5);  // above the bounds
  Program(0xC010, 16, 6);  // still above: no further line
  Program(0x2050, 16, 7);  // inside again, continuing the run before the gap: no COMPLETE

  const std::vector<std::string> expected{
      "log Writing data from $1000 (line 2) ...", "send", "send", "send", "send",
      "log Ignoring data from $6000 (line 5) ...", "log Writing data from $1028 (line 7) ...",
      "send"};
  EXPECT_EQ(lines, expected);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[2][1], COMPLETE);
  EXPECT_EQ(api_.Unit().Completes(), 1);
  EXPECT_EQ(boot_.NextAddress, 0x1030);
}

TEST_F(ProgramRecordTest, ShortRecordsLeaveTheStaleGapOfEarlierOnes) {
  Program(0x2000, 16, 1, 0x10);
  Program(0x2010, 8, 2, 0xA0);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1][1 + 5], 8);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(sent[1][1 + 48 + k], 0x10 + k) << "stale byte " << k;
  for (int k = 0; k < 8; ++k) EXPECT_EQ(sent[1][1 + 56 + k], 0xA0 + k);
}

TEST_F(ProgramRecordTest, OneByteCommandsSendOnlyTheirCode) {
  Program(0x2000, 16, 1);
  boot_.SendCommand(RESET);
  ASSERT_EQ(sent.size(), 2u);
  std::vector<uint8_t> reset(65, 0);
  reset[1] = RESET;
  EXPECT_EQ(sent[1], reset);
}

TEST_F(ProgramRecordTest, RecordAtTheEndOfMemoryIsSentWhole) {
  Program(0x57FF * 2, 16, 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(api_.Unit().Memory().ByteCount(), 16u);
  Program(0x5800 * 2, 16, 2);
  EXPECT_EQ(sent.size(), 1u);
}

// The reports the programmer sends, read back: the command and the data
// count of each PROGRAM.
TEST_F(ProgramRecordTest, ItsReportsReadBackAsTheirCommands) {
  Program(0x2000, 16, 1);
  Program(0x2040, 8, 2);  // a break: COMPLETE, then PROGRAM
  Program(0x2048, 70, 3);  // longer than one PROGRAM: 56 and 14
  boot_.SendCommand(RESET);
  std::vector<std::pair<int, int>> read;
  for (const auto& report : sent) {
    const std::optional<SentCommand> command = ReadOutputReport(report.data(), report.size());
    ASSERT_TRUE(command);
    read.emplace_back(command->code, command->dataBytes);
  }
  const std::vector<std::pair<int, int>> expected{
      {PROGRAM, 16}, {COMPLETE, 0}, {PROGRAM, 8}, {PROGRAM, 56}, {PROGRAM, 14}, {RESET, 0}};
  EXPECT_EQ(read, expected);
}

TEST(ReadOutputReport, CountsDataOnlyInProgramAndNeedsAWholeHeader) {
  std::vector<uint8_t> report(65, 0);
  report[1] = COMPLETE;
  report[6] = 16;  // a count byte in a report that is no PROGRAM
  EXPECT_EQ(ReadOutputReport(report.data(), report.size())->dataBytes, 0);
  report[1] = PROGRAM;
  EXPECT_EQ(ReadOutputReport(report.data(), 7)->dataBytes, 16);
  EXPECT_FALSE(ReadOutputReport(report.data(), 6));
  EXPECT_FALSE(ReadOutputReport(report.data(), 0));
}

struct SplitCase {
  int count;
  std::vector<int> pieces;
};

class ProgramSplitTest : public ProgramRecordTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(ProgramSplitTest, LongRecordsGoOutIn56BytePieces) {
  const SplitCase& c = GetParam();
  Program(0x2000, c.count, 1, 0);
  ASSERT_EQ(sent.size(), c.pieces.size());
  int64_t word = 0x1000;
  for (std::size_t i = 0; i < c.pieces.size(); ++i) {
    const auto& report = sent[i];
    const int64_t address = report[2] | report[3] << 8 | report[4] << 16 | report[5] << 24;
    EXPECT_EQ(address, word) << i;
    EXPECT_EQ(report[6], c.pieces[i]) << i;
    word += c.pieces[i] / 2;
  }
  // The unit holds the record exactly, and the state treats it as one.
  for (int k = 0; k < c.count; ++k) {
    EXPECT_EQ(api_.Unit().Memory().Read(0x2000 + k), static_cast<uint8_t>(k)) << k;
  }
  EXPECT_EQ(api_.Unit().Memory().ByteCount(), static_cast<std::size_t>(c.count));
  EXPECT_EQ(boot_.NextAddress, 0x1000 + c.count / 2);
  EXPECT_EQ(boot_.HighestAddress, 0x1000);
  EXPECT_EQ(api_.Unit().ProtocolErrors(), 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, ProgramSplitTest,
                         ::testing::Values(SplitCase{58, {58}}, SplitCase{60, {56, 4}},
                                           SplitCase{112, {56, 56}},
                                           SplitCase{254, {56, 56, 56, 56, 30}}));

TEST_F(ProgramRecordTest, AddressesBeyond31BitsDoNotWrap) {
  boot_.MemoryStart = 0;
  boot_.MemoryEnd = 0xFFFFFFFF;
  Program(int64_t{0xFFFF0000}, 16, 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(lines.front(), "log Writing data from $7FFF8000 (line 1) ...");
  EXPECT_EQ(boot_.NextAddress, 0x7FFF8008);
}

}  // namespace
}  // namespace tovrix
