// The write plan counts exactly what the update then sends: PROGRAM and
// COMPLETE reports and the data bytes in them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/image_file.h"
#include "app/write_plan.h"
#include "protocol/protocol.h"
#include "tests/support/test_support.h"
#include "emulator/images.h"

namespace tovrix {
namespace {

using test::Bytes;
using test::HexLine;

struct PlanCase {
  const char* name;
  std::string image;
  int64_t start, end;  // the unit's memory, word addresses
};

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\r\n";
  return out;
}

const std::string kEnd = ":00000001FF";

class WritePlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(WritePlanTest, CountsWhatTheUpdateSends) {
  const PlanCase& c = GetParam();
  test::TempDir dir;
  const std::string path = dir.Write("TOVRIXPRO.HEX", c.image);
  for (const bool pack : {false, true}) {
    ImageFile image;
    ASSERT_TRUE(image.Open(path));
    // The emulated unit declares packets of 56 bytes.
    const WritePlan plan = PlanWrite(image, c.start, c.end, pack, kProgramChunk);

    // The update's own reports, from its transcript.
    std::vector<std::string> args = {"--memory",
                                     Hex(static_cast<uint64_t>(c.start)) + ":" + Hex(static_cast<uint64_t>(c.end))};
    if (pack) args.push_back("--pack");
    const test::RunResult run = test::RunEmulateTool(c.image, args);
    ASSERT_EQ(run.status, 0);
    int64_t reports = 0, bytes = 0;
    for (const std::string& line : run.lines) {
      if (line.rfind("send ", 0) != 0) continue;
      const std::string code = line.substr(7, 2);
      if (code == "05") bytes += std::stoi(line.substr(17, 2), nullptr, 16);
      if (code == "05" || code == "06") ++reports;
    }
    EXPECT_EQ(plan.reports, reports) << (pack ? "packed" : "one PROGRAM per record");
    EXPECT_EQ(plan.bytes, bytes) << (pack ? "packed" : "one PROGRAM per record");

    // The image is rewound for the update that follows.
    std::string_view first;
    ASSERT_TRUE(image.ReadLine(first));
    EXPECT_EQ(std::string(first) + "\r\n", c.image.substr(0, first.size() + 2));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, WritePlanTest,
    ::testing::Values(
        PlanCase{"sample", images::SampleImage(), 0x400, 0x57FF},
        PlanCase{"sample_all_inside", images::SampleImage(), 0, 0xFFFFFF},
        PlanCase{"nothing_inside", images::SampleImage(), 0x100000, 0x200000},
        PlanCase{"long_record_in_pieces", Lines({HexLine(0, 0x800, Bytes(64)), kEnd}), 0x400, 0x57FF},
        PlanCase{"gap_and_outside_runs",
                 Lines({HexLine(0, 0x800, Bytes(16)), HexLine(0, 0x900, Bytes(16)),
                        HexLine(0, 0xC000, Bytes(16)), HexLine(0, 0x910, Bytes(8)), kEnd}),
                 0x400, 0x57FF},
        // The final flush takes the last line's address: an end-of-file
        // record inside the run closes it with COMPLETE.
        PlanCase{"end_record_inside_the_run", Lines({HexLine(0, 0x800, Bytes(16)), ":00080001F7"}), 0x400,
                 0x57FF},
        PlanCase{"memory_from_zero", Lines({HexLine(0, 0x10, Bytes(16)), kEnd}), 0, 0x57FF}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovrix
