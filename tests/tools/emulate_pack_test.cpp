// tovrix-emulate --pack: the transcript of a packed run, and the option
// beside the others.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hid/platform.h"
#include "tests/support/test_support.h"
#include "tools/emulate/emulate.h"
#include "emulator/images.h"

namespace tovrix::headless {
namespace {

// The send lines of PROGRAM reports ("00" report ID, "05").
std::vector<std::string> Programs(const test::RunResult& run) {
  std::vector<std::string> programs;
  for (const std::string& send : run.Sends()) {
    if (send.rfind("0005", 0) == 0) programs.push_back(send);
  }
  return programs;
}

TEST(EmulatePack, SendLinesShowThePackedReportsAndEverythingElseStays) {
  const std::string image = images::SampleImage();
  for (const auto& unit : std::vector<std::vector<std::string>>{{}, {"--memory", "0:FFFFFFFF"}}) {
    std::vector<std::string> packedArgs = unit;
    packedArgs.push_back("--pack");
    const test::RunResult plain = test::RunEmulateTool(image, unit);
    const test::RunResult packed = test::RunEmulateTool(image, packedArgs);
    EXPECT_EQ(packed.status, 0);
    EXPECT_EQ(packed.WithoutSends(), plain.WithoutSends());
    const auto programs = Programs(packed);
    EXPECT_LT(programs.size() * 3, Programs(plain).size()) << "fewer than a third as many";
    for (const std::string& line : programs) {
      // Report byte 6, the data count: 56 at most.
      EXPECT_LE(std::stoi(line.substr(12, 2), nullptr, 16), 56) << line;
    }
  }
}

TEST(EmulatePack, IsNoOptionOfTheEmulatedUnit) {
  std::string error;
  const auto emulated = ParseEmulateOptions({"--pack", "--memory", "0:FFFF"}, error);
  ASSERT_TRUE(emulated) << error;
  EXPECT_TRUE(emulated->pack);
  EXPECT_FALSE(ParseEmulateOptions({}, error)->pack);
  const auto real = ParseEmulateOptions({"--real", "--pack"}, error);
  EXPECT_EQ(real.has_value(), HavePlatformHid()) << error;
  if (real) {
    EXPECT_TRUE(real->pack);
  }
}

}  // namespace
}  // namespace tovrix::headless
