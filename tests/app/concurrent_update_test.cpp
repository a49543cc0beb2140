// Two units updated at once: two sessions, each with its own shell and its
// own HidApi object, on two threads. Run under ThreadSanitizer by the tsan
// configuration, where any state the two share unguarded fails the test.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/update.h"
#include "emulator/emulated_hid.h"
#include "tests/support/test_support.h"
#include "tools/emulate/transcript.h"
#include "emulator/images.h"

namespace tovrix {
namespace {

struct UnitRun {
  std::vector<std::string> lines;
  UpdateOutcome outcome;
  std::size_t bytes = 0;
  int openHandles = -1;
  std::vector<std::string> faults;
};

TEST(ConcurrentUpdate, TwoSessionsOnTwoThreadsEachUpdateTheirOwnUnit) {
#ifdef _WIN32
  // The check is ThreadSanitizer's, on Linux; under Wine a run of this test
  // once hung at its start.
  GTEST_SKIP() << "run under ThreadSanitizer on Linux";
#endif
  test::TempDir dir;
  const std::string image = dir.Write("TOVRIXPRO.HEX", images::SampleImage());
  // Both sessions start together. A plain spin: the waits of std::latch
  // have hung under Wine with the MinGW runtime.
  std::atomic<int> arrived{0};
  auto startTogether = [&arrived] {
    arrived.fetch_add(1);
    while (arrived.load() < 2) std::this_thread::yield();
  };
  UnitRun runs[2];
  auto update = [&](UnitRun& run, uint16_t version) {
    test::RecordingShell shell;
    test::SessionRun session(shell, image, test::Setup().Version(version), emu::EmulatorEvents{});
    startTogether();
    run.outcome = session.session.RunUpdate();
    session.session.Unload();
    run.lines = shell.lines;
    run.bytes = session.hid.Unit().Memory().ByteCount();
    run.openHandles = session.hid.OpenHandles();
    run.faults = session.hid.Faults();
  };
  std::thread first(update, std::ref(runs[0]), uint16_t{0x102});
  std::thread second(update, std::ref(runs[1]), uint16_t{0x203});
  first.join();
  second.join();

  for (const UnitRun& run : runs) {
    EXPECT_FALSE(run.outcome.ended);
    EXPECT_EQ(run.openHandles, 0);
    EXPECT_TRUE(run.faults.empty());
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "log TovrixPro should now be running with new program ...");
  }
  // Each log names its own unit, and otherwise the two are the same.
  auto withoutVersion = [](std::vector<std::string> lines) {
    std::erase_if(lines, [](const std::string& l) { return l.rfind("logpart , Version=", 0) == 0; });
    return lines;
  };
  EXPECT_NE(runs[0].lines, runs[1].lines);
  EXPECT_EQ(withoutVersion(runs[0].lines), withoutVersion(runs[1].lines));
  EXPECT_EQ(runs[0].bytes, runs[1].bytes);
  EXPECT_GT(runs[0].bytes, 0u);
}

}  // namespace
}  // namespace tovrix
