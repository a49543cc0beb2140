// The decorator that gives the real platform its transcript lines, checked
// against the emulated platform's own events, and the options of the run
// through the real platform.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/update.h"
#include "tools/emulate/emulate.h"
#include "emulator/images.h"
#include "hid/platform.h"
#include "tools/emulate/reporting_hid.h"
#include "tests/support/test_support.h"

namespace tovrix::headless {
namespace {

using namespace emu;
using images::SampleImage;

// Runs the session on the emulated platform and returns its transcript:
// events from the platform itself, or from a ReportingHid in front of it.
std::vector<std::string> Transcript(const EmulateOptions& options, bool throughDecorator) {
  test::RecordingShell shell(options.script);
  VirtualClock clock;
  EmulatedHid emulated(options.emulator, clock, throughDecorator ? EmulatorEvents{} : shell.UnitEvents());
  ReportingHid reporting(emulated, shell.UnitEvents());
  HidApi& api = throughDecorator ? static_cast<HidApi&>(reporting) : emulated;
  UpdateSession session(shell, api, options.image);
  shell.Attach(session);
  const UpdateOutcome outcome = session.RunUpdate();
  if (!outcome.ended) session.Unload();  // the window closed afterwards
  shell.Record(outcome.ended ? "exit" : "end", "");
  EXPECT_TRUE(emulated.Faults().empty());
  return shell.lines;
}

struct DecoratorCase {
  const char* name;
  std::vector<std::string> args;
  friend void PrintTo(const DecoratorCase& c, std::ostream* os) { *os << c.name; }
};

class ReportingHidTest : public ::testing::TestWithParam<DecoratorCase> {};

TEST_P(ReportingHidTest, GivesTheEmulatedPlatformsTranscript) {
  test::TempDir dir;
  std::vector<std::string> args = GetParam().args;
  args.push_back("--image");
  args.push_back(dir.Write("TOVRIXPRO.HEX", SampleImage()));
  std::string error;
  const auto options = ParseEmulateOptions(args, error);
  ASSERT_TRUE(options) << error;
  const auto own = Transcript(*options, false);
  const auto decorated = Transcript(*options, true);
  EXPECT_EQ(decorated, own);
  EXPECT_GT(own.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ReportingHidTest,
    ::testing::Values(DecoratorCase{"whole_update", {}},
                      DecoratorCase{"other_devices_around_the_unit",
                                    {"--before", "46D:C52B:1201,1234:5678:1", "--after", "1:2:3"}},
                      DecoratorCase{"failed_write", {"--fail-write", "7"}},
                      DecoratorCase{"closed_while_writing", {"--close", "40"}},
                      DecoratorCase{"esc_during_the_erase", {"--erase-waits", "3", "--esc", "2:yes"}},
                      DecoratorCase{"silent_after_erase", {"--erase-waits", "11"}},
                      DecoratorCase{"refused_caps", {"--caps", "64,64,1"}},
                      DecoratorCase{"no_unit", {"--no-unit", "--before", "1:2:3"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReportingHid, ReportsMisuseAndPassesResultsThrough) {
  VirtualClock clock;
  EmulatorOptions emulatorOptions;
  emulatorOptions.failWrite = 2;
  EmulatedHid emulated(emulatorOptions, clock);
  std::vector<std::string> faults, sends;
  int closed = 0;
  EmulatorEvents events;
  events.fault = [&](const std::string& text) { faults.push_back(text); };
  events.sent = [&](const uint8_t* report, std::size_t length) {
    sends.push_back(TranscriptShell::SendText(report, length));
  };
  events.closed = [&] { ++closed; };
  ReportingHid hid(emulated, events);

  const HidHandle w = hid.Open("emu:0");
  const HidHandle r = hid.OpenForReading("emu:0");
  EXPECT_EQ(hid.Open("emu:9"), kInvalidHandle);
  EXPECT_EQ(hid.OpenHandles(), 2u);
  HidAttributes attributes;
  ASSERT_EQ(hid.GetAttributes(w, attributes), 1);

  uint8_t report[65] = {};
  report[1] = 0x02;
  EXPECT_EQ(hid.WriteReport(w, report, sizeof report), 1);
  EXPECT_EQ(hid.WriteReport(w, report, sizeof report), 0);  // the failing write: no send line
  EXPECT_EQ(sends.size(), 1u);

  EXPECT_EQ(hid.Close(w), 1);
  EXPECT_EQ(closed, 0);  // the reading handle is still open
  EXPECT_EQ(hid.Close(r), 1);
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(faults.empty());

  EXPECT_EQ(hid.Close(r), 0);
  EXPECT_EQ(hid.WriteReport(w, report, sizeof report), 0);
  uint8_t buffer[65];
  hid.StartRead(4242, buffer, sizeof buffer);
  EXPECT_EQ(faults.size(), 3u);
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(hid.OpenHandles(), 0u);
}

TEST(RealRunOptions, RefusesEveryOptionOfTheEmulatedUnit) {
  const std::vector<std::vector<std::string>> unitOptions{
      {"--memory", "400:57FF"}, {"--version", "102"}, {"--caps", "65,65,1"},
      {"--query", "02"},        {"--silent-query"},   {"--erase-waits", "2"},
      {"--fail-write", "3"},    {"--before", "1:2:3"}, {"--after", "1:2:3"},
      {"--no-unit"}};
  for (const auto& unitOption : unitOptions) {
    for (const bool realFirst : {true, false}) {
      std::vector<std::string> args = unitOption;
      args.insert(realFirst ? args.begin() : args.end(), "--real");
      std::string error;
      EXPECT_FALSE(ParseEmulateOptions(args, error)) << unitOption[0];
      EXPECT_NE(error.find(unitOption[0]), std::string::npos) << error;
    }
  }
}

TEST(RealRunOptions, KeepsTheUsersOptions) {
  std::string error;
  const auto options =
      ParseEmulateOptions({"--real", "--image", "x.hex", "--esc", "4:no", "--close", "9"}, error);
  if (!HavePlatformHid()) {
    EXPECT_FALSE(options);
    EXPECT_NE(error.find("no HID platform"), std::string::npos);
    return;
  }
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(options->real);
  EXPECT_EQ(options->image, "x.hex");
  EXPECT_EQ(options->script.size(), 2u);
}


TEST(EmulateOptions, RefusesBadOptions) {
  const std::vector<std::vector<std::string>> bad{
      {"--memory", "400"}, {"--memory", "400:1FFFFFFFF"}, {"--version", "10000"},
      {"--caps", "65,65"}, {"--caps", "a,65,1"}, {"--query", "0"}, {"--query", std::string(130, '0')},
      {"--erase-waits", "-1"}, {"--fail-write", "0"}, {"--before", "4D8:3C"}, {"--esc", "3:maybe"},
      {"--esc", "0:yes"}, {"--close", "x"}, {"--image"}, {"--frobnicate"},
      {"--memory", "0:10", "--query", "02"}};
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(ParseEmulateOptions(args, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
  std::string error;
  const auto good = ParseEmulateOptions(
      {"--memory", "0:ffffffff", "--esc", "3:no", "--esc", "3:yes", "--close", "9", "--erase-waits", "12"},
      error);
  ASSERT_TRUE(good) << error;
  EXPECT_EQ(good->emulator.unit.MemoryEnd, 0xFFFFFFFFu);
  EXPECT_EQ(good->script.count(3), 2u);
  EXPECT_EQ(good->emulator.unit.eraseMicros, emu::kNever);
}

}  // namespace
}  // namespace tovrix::headless
