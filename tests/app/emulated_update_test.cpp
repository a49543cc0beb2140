// A whole update of the sample image against the emulated unit, checked
// on the unit's memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/update.h"
#include "emulator/emulated_hid.h"
#include "tests/support/test_support.h"
#include "tools/emulate/transcript.h"
#include "emulator/images.h"

namespace tovrix {
namespace {

using images::ImageByte;
using images::SampleImage;

// The sample image, updated through the session: the unit holds exactly
// the image's bytes inside its memory, and nothing is left open.
TEST(EmulatedUpdate, UnitHoldsTheImageInsideItsBounds) {
  test::TempDir dir;
  const std::string path = dir.Write("TOVRIXPRO.HEX", SampleImage());
  test::RecordingShell shell;
  test::SessionRun run(shell, path);
  ASSERT_FALSE(run.session.RunUpdate().ended);
  run.session.Unload();
  emu::EmulatedHid& hid = run.hid;
  EXPECT_EQ(hid.OpenHandles(), 0);
  EXPECT_TRUE(hid.Faults().empty());

  // Inside the bounds: words 0x400..0x57FF, byte 0x800..0xAFFF.
  std::size_t expected = 0;
  for (uint64_t address = 0x800; address < 0xB000; ++address) {
    const bool inImage = address < 0x8800 || address >= 0x9000;
    if (inImage) ++expected;
    const auto byte = hid.Unit().Memory().Read(address);
    ASSERT_EQ(byte.has_value(), inImage) << std::hex << address;
    if (byte) {
      ASSERT_EQ(*byte, ImageByte(address)) << std::hex << address;
    }
  }
  EXPECT_EQ(hid.Unit().Memory().ByteCount(), expected);
  EXPECT_EQ(hid.Unit().Resets(), 1);
  EXPECT_EQ(hid.Unit().ProtocolErrors(), 0);
}

}  // namespace
}  // namespace tovrix
