// Packing: whole updates packed and unpacked against the emulated unit
// must give the unit the same bytes at the same addresses in the same
// order, with COMPLETE at the same places, the same log, and the same
// memory; only the number of PROGRAMs may change. And the guard on the
// packet size that the unit declares.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/update.h"
#include "emulator/emulated_hid.h"
#include "hid/hid.h"
#include "protocol/protocol.h"
#include "tests/support/test_support.h"
#include "tools/emulate/transcript.h"
#include "emulator/images.h"

namespace tovrix {
namespace {

using test::Bytes;
using test::HexLine;

// What the unit was given, one entry per data byte (its byte address and
// value) and one per other command (the negated code, 0), in order.
using Stream = std::vector<std::pair<int64_t, int>>;

struct UpdateRun {
  std::vector<std::string> log;  // the transcript without its send lines
  Stream stream;
  std::vector<int> programs;     // the data count of every PROGRAM, in order
  std::vector<int64_t> words;    // and its word address
  std::map<uint64_t, std::vector<uint8_t>> memory;
  bool ended = false;
  int declared = 0;              // the packet size in the unit's QUERY reply
};

UpdateRun Update(const std::string& image, bool pack, uint32_t start = 0x400, uint32_t end = 0x57FF) {
  test::TempDir dir;
  const std::string path = dir.Write("TOVRIXPRO.HEX", image);
  UpdateRun run;
  test::RecordingShell shell;
  emu::EmulatorEvents events;
  events.sent = [&](const uint8_t* report, std::size_t length) {
    EXPECT_EQ(length, 65u);
    if (report[1] != PROGRAM) {
      run.stream.emplace_back(-report[1], 0);
      return;
    }
    const int64_t word = report[2] | report[3] << 8 | report[4] << 16 | int64_t{report[5]} << 24;
    const int count = report[6];
    run.programs.push_back(count);
    run.words.push_back(word);
    for (int k = 0; k < count; ++k) run.stream.emplace_back(word * 2 + k, report[65 - count + k]);
  };
  events.closed = [&] { shell.Record("closed", ""); };
  events.fault = [&](const std::string& text) { ADD_FAILURE() << text; };
  test::SessionRun session(shell, path, test::Setup().Memory(start, end), events);
  session.session.boot.Pack = pack;
  run.ended = session.session.RunUpdate().ended;
  run.log = shell.lines;
  emu::TovrixUnit& unit = session.hid.Unit();
  run.memory = unit.Memory().Runs();
  run.declared = unit.QueryReply()[1];
  EXPECT_EQ(unit.ProtocolErrors(), 0);
  return run;
}

// Records of the given sizes one after another from byteAddress, each byte
// its address's image byte; with extended addresses where needed.
void Records(HexImageWriter& writer, uint32_t byteAddress, const std::vector<int>& sizes) {
  for (int size : sizes) {
    std::vector<uint8_t> data(static_cast<std::size_t>(size));
    for (int k = 0; k < size; ++k) data[k] = images::ImageByte(byteAddress + k);
    writer.Data(byteAddress, data.data(), data.size());
    byteAddress += static_cast<uint32_t>(size);
  }
}

std::vector<int> Sixteens(int n) { return std::vector<int>(static_cast<std::size_t>(n), 16); }

struct PackCase {
  const char* name;
  std::string image;
  uint32_t start = 0x400, end = 0x57FF;
  int unpackedPrograms = 0;
  int packedPrograms = 0;
  int completes = 0;
  friend void PrintTo(const PackCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<PackCase> Cases() {
  std::vector<PackCase> cases;
  // Records of the sizes from each byte address, then the end-of-file record.
  auto image = [](const std::vector<std::pair<uint32_t, std::vector<int>>>& runs) {
    std::string out;
    HexImageWriter writer(out);
    for (const auto& [address, sizes] : runs) Records(writer, address, sizes);
    writer.End();
    return out;
  };
  // Two runs: 256 bytes, then 64 after a gap (COMPLETE between).
  cases.push_back({"Gaps", image({{0x2000, Sixteens(16)}, {0x3000, Sixteens(4)}}),
                   0x400, 0x57FF, 20, 5 + 2, 1});
  // Records outside the bounds between two halves of one run: no COMPLETE,
  // the run is packed across them.
  cases.push_back({"OutOfBoundsRecordsInsideARun",
                   image({{0x2000, Sixteens(4)}, {0xC000, Sixteens(2)}, {0x2040, Sixteens(4)}}), 0x400, 0x57FF, 8, 3,
                   0});
  // Sizes that do not divide the packet: 242 bytes in all.
  cases.push_back({"OddSizedRecords", image({{0x2000, {2, 6, 10, 14, 18, 30, 50, 54, 58}}}),
                   0x400, 0x57FF, 9, 5, 0});
  // 60, 112 and 254 bytes in one run (426 bytes), 200 after a gap.
  cases.push_back({"RecordsOver58Bytes", image({{0x2000, {60, 112, 254}}, {0x4000, {200}}}),
                   0x400, 0x57FF, 2 + 2 + 5 + 4, 8 + 4, 1});
  // One run over a 64 KB boundary (a type-04 record inside it), and one
  // near the top of the address range; the end-of-file record's address
  // lies inside this memory too, so the final flush sends COMPLETE.
  cases.push_back({"ExtendedAddresses", image({{0x1FFE0, Sixteens(4)}, {0xFFFF0000, Sixteens(2)}}),
                   0, 0xFFFFFFFF, 6, 2 + 1, 2});
  // A run that starts below MemoryStart and one that ends past MemoryEnd:
  // the record that starts at MemoryEnd is sent whole, the next dropped.
  cases.push_back({"RunsThatCrossTheMemoryBounds", image({{0x7E0, Sixteens(6)}, {0xAFCE, Sixteens(5)}}),
                   0x400, 0x57FF, 8, 4, 1});
  // An end-of-file record at the run's first address: the final flush
  // closes the run with COMPLETE, after the held data. (An image without
  // the record is refused before the unit is touched.)
  {
    std::string endInside;
    HexImageWriter writer(endInside);
    Records(writer, 0x2000, Sixteens(3));
    endInside += ":00200001DF\r\n";
    cases.push_back({"EndRecordInsideTheRun", endInside, 0x400, 0x57FF, 3, 1, 1});
  }
  // Memory from 0: the end-of-file record's address 0 lies inside, so the
  // final flush sends COMPLETE.
  cases.push_back({"FinalFlushInsideTheBounds", image({{0x100, Sixteens(8)}}),
                   0, 0xFFFF, 8, 3, 1});
  cases.push_back({"SampleImage", images::SampleImage(), 0x400, 0x57FF, 2560, 586 + 147, 1});
  // A record of 3 bytes: refused before the unit is touched, either way.
  cases.push_back({"OddCountRefused",
                   HexLine(0, 0x2000, Bytes(16)) + "\r\n" + HexLine(0, 0x2010, Bytes(3)) + "\r\n",
                   0x400, 0x57FF, 0, 0, 0});
  return cases;
}

class PackTest : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackTest, TheUnitGetsTheSameBytesInFewerPrograms) {
  const PackCase& c = GetParam();
  const UpdateRun unpacked = Update(c.image, false, c.start, c.end);
  const UpdateRun packed = Update(c.image, true, c.start, c.end);

  EXPECT_EQ(packed.log, unpacked.log) << "the log, progress and end differ";
  EXPECT_EQ(packed.ended, unpacked.ended);
  EXPECT_TRUE(packed.stream == unpacked.stream)
      << "the unit got other bytes, addresses, order or commands";
  EXPECT_EQ(packed.memory, unpacked.memory);
  EXPECT_EQ(unpacked.programs.size(), static_cast<std::size_t>(c.unpackedPrograms));
  EXPECT_EQ(packed.programs.size(), static_cast<std::size_t>(c.packedPrograms));
  EXPECT_EQ(std::count(packed.stream.begin(), packed.stream.end(), std::pair<int64_t, int>{-COMPLETE, 0}),
            c.completes);

  // No packed PROGRAM exceeds the declared size, and every one that the
  // next continues is full.
  ASSERT_EQ(packed.declared, 56);
  for (std::size_t i = 0; i < packed.programs.size(); ++i) {
    EXPECT_LE(packed.programs[i], packed.declared) << i;
    EXPECT_EQ(packed.programs[i] % 2, 0) << i;
    const bool continued = i + 1 < packed.programs.size() &&
                           packed.words[i + 1] == packed.words[i] + packed.programs[i] / 2;
    if (continued) {
      EXPECT_EQ(packed.programs[i], packed.declared) << i;
    }
  }
  if (c.unpackedPrograms > 0) {
    EXPECT_FALSE(packed.ended);
    EXPECT_FALSE(packed.memory.empty());
  } else {
    EXPECT_TRUE(packed.stream.empty()) << "a refused image reached the unit";
  }
}

INSTANTIATE_TEST_SUITE_P(Images, PackTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The packet size the unit declares ---

TEST(PackedProgramSize, KeepsSensibleSizesAndGuardsAbsurdOnes) {
  struct Case {
    int declared, size;
  };
  const Case cases[] = {
      {56, 56}, {2, 2}, {40, 40}, {58, 58},  // taken as declared
      {57, 56}, {55, 54}, {3, 2},             // odd: down to a whole word
      {59, 58}, {64, 58}, {255, 58},          // more than a payload holds: 58
      {0, 0}, {1, 0}, {-1, 0},                // less than a word: no packing
  };
  for (const Case& c : cases) EXPECT_EQ(PackedProgramSize(c.declared), c.size) << c.declared;
}

TEST(PackedProgramSize, TheQueryReplyTellsIt) {
  std::array<uint8_t, 66> reply{};
  reply[1] = QUERY, reply[2] = 56, reply[3] = 2, reply[4] = 1, reply[13] = 0xFF;
  EXPECT_EQ(CheckQueryBytes(reply.data(), reply.size()).PacketSize, 56);
  reply[2] = 64;
  const QueryReplyCheck check = CheckQueryBytes(reply.data(), reply.size());
  EXPECT_EQ(check.result, QueryReplyCheck::InvalidData);  // the tool still refuses such a unit
  EXPECT_EQ(check.PacketSize, 64);
}

// The record programmer on its own, with packet sizes the tool's QUERY
// check would refuse: the guard decides what goes out.
class PackGuardTest : public ::testing::TestWithParam<int> {
 protected:
  // 7 contiguous records of 16 bytes, a gap, 2 more; the held rest sent.
  Stream Program(bool pack, int declared, std::vector<int>& counts) {
    Stream stream;
    emu::EmulatorEvents events;
    events.sent = [&](const uint8_t* report, std::size_t) {
      if (report[1] != PROGRAM) {
        stream.emplace_back(-report[1], 0);
        return;
      }
      const int64_t word = report[2] | report[3] << 8 | report[4] << 16 | int64_t{report[5]} << 24;
      counts.push_back(report[6]);
      for (int k = 0; k < report[6]; ++k) stream.emplace_back(word * 2 + k, report[65 - report[6] + k]);
    };
    emu::VirtualClock clock;
    emu::EmulatedHid api(emu::EmulatorOptions{}, clock, events);
    headless::TranscriptShell shell([](std::string_view, std::string_view) {});
    Messages messages(shell);
    HidTransport hid(api, messages);
    Bootloader boot(hid, messages);
    hid.FindTheHid();
    boot.MemoryStart = 0x400;
    boot.MemoryEnd = 0x57FF;
    boot.Pack = pack;
    boot.PacketSize = declared;
    boot.StartProgramming();
    HexRecord record;
    int line = 0;
    for (uint32_t address : {0x2000u, 0x2010u, 0x2020u, 0x2030u, 0x2040u, 0x2050u, 0x2060u, 0x3000u, 0x3010u}) {
      record.RecordAddress = static_cast<int32_t>(address);
      record.DataCount = 16;
      for (int k = 0; k < 16; ++k) record.RecordData[k] = images::ImageByte(address + k);
      boot.ProgramRecord(record, ++line);
    }
    boot.FinishProgramming();
    return stream;
  }
};

TEST_P(PackGuardTest, PacketsNeverExceedTheGuardedSize) {
  const int declared = GetParam();
  std::vector<int> plain, packed;
  const Stream expected = Program(false, declared, plain);
  const Stream stream = Program(true, declared, packed);
  EXPECT_TRUE(stream == expected);
  const int size = PackedProgramSize(declared);
  if (size == 0) {
    EXPECT_EQ(packed, plain) << "no packing: one PROGRAM per record";
    return;
  }
  // 112 bytes, then 32: full packets and a shorter last one in each run.
  std::vector<int> want;
  for (int run : {112, 32}) {
    for (; run > size; run -= size) want.push_back(size);
    want.push_back(run);
  }
  EXPECT_EQ(packed, want);
}

INSTANTIATE_TEST_SUITE_P(Declared, PackGuardTest, ::testing::Values(0, 1, 2, 3, 16, 55, 56, 58, 64, 255));

}  // namespace
}  // namespace tovrix
