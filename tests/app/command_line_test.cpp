// The window programs' command line, and the image it names: the box for a
// named image that cannot be opened, beside the default file's.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "emulator/emulated_hid.h"
#include "tools/emulate/transcript.h"
#include "tests/support/test_support.h"

namespace tovrix {
namespace {

using Action = CommandLine::Action;

struct ParseCase {
  const char* name;
  std::vector<std::string> args;
  bool desktopMode;
  Action action;
  std::optional<std::string> image;
  bool desktop;
  std::string error;
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, Parses) {
  const ParseCase& c = GetParam();
  const CommandLine line = ParseCommandLine(c.args, c.desktopMode);
  EXPECT_EQ(line.action, c.action);
  EXPECT_EQ(line.image, c.image);
  EXPECT_EQ(line.desktop, c.desktop);
  EXPECT_EQ(line.error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseTest,
    ::testing::Values(
        ParseCase{"none", {}, true, Action::Update, std::nullopt, false, ""},
        ParseCase{"image_of_any_name", {"dir/new firmware.hex"}, false, Action::Update, "dir/new firmware.hex",
                  false, ""},
        ParseCase{"windows_path", {"C:\\Users\\me\\Downloads\\NEW.HEX"}, false, Action::Update,
                  "C:\\Users\\me\\Downloads\\NEW.HEX", false, ""},
        ParseCase{"a_lone_dash_is_a_name", {"-"}, false, Action::Update, "-", false, ""},
        ParseCase{"dashes_end_the_options", {"--", "--version"}, false, Action::Update, "--version", false,
                  ""},
        ParseCase{"version", {"--version"}, false, Action::Version, std::nullopt, false, ""},
        ParseCase{"version_wins_over_the_rest", {"x.hex", "--version", "--bad"}, false, Action::Version,
                  "x.hex", false, ""},
        ParseCase{"help", {"--help"}, true, Action::Help, std::nullopt, false, ""},
        ParseCase{"short_help", {"a.hex", "-h"}, false, Action::Help, "a.hex", false, ""},
        ParseCase{"desktop", {"--desktop"}, true, Action::Update, std::nullopt, true, ""},
        ParseCase{"desktop_with_image", {"--desktop", "a.hex"}, true, Action::Update, "a.hex", true, ""},
        ParseCase{"desktop_where_not_offered", {"--desktop"}, false, Action::Usage, std::nullopt, false,
                  "unknown option --desktop"},
        ParseCase{"unknown_option", {"-x"}, true, Action::Usage, std::nullopt, false, "unknown option -x"},
        ParseCase{"two_images", {"a.hex", "b.hex"}, true, Action::Usage, "a.hex", false, "one IMAGE at most"},
        ParseCase{"empty_image", {""}, true, Action::Usage, std::nullopt, false, "IMAGE is empty"}),
    [](const auto& info) { return std::string(info.param.name); });

// --emulate goes with an image or without, on every window program.
TEST(CommandLine, EmulateRunsTheWindowAgainstTheEmulatedUnit) {
  struct Case {
    std::vector<std::string> args;
    bool desktopMode;
    bool emulate;
    std::optional<std::string> image;
  };
  const Case cases[] = {
      {{"--emulate"}, false, true, std::nullopt},
      {{"--emulate", "a.hex"}, true, true, "a.hex"},
      {{"a.hex", "--emulate"}, false, true, "a.hex"},
      {{"--", "--emulate"}, false, false, "--emulate"},
      {{"a.hex"}, true, false, "a.hex"},
  };
  for (const Case& c : cases) {
    const CommandLine line = ParseCommandLine(c.args, c.desktopMode);
    EXPECT_EQ(line.action, Action::Update) << c.args.back();
    EXPECT_EQ(line.emulate, c.emulate) << c.args.back();
    EXPECT_EQ(line.image, c.image) << c.args.back();
  }
  EXPECT_NE(UsageText(false).find("--emulate"), std::string::npos);
}

TEST(CommandLine, TheImageOfTheRun) {
  EXPECT_EQ(ParseCommandLine({}, true).Image()->path, kImageFileName);
  EXPECT_FALSE(ParseCommandLine({}, true).Image()->named);
  EXPECT_TRUE(ParseCommandLine({"a.hex"}, true).Image()->named);
  EXPECT_EQ(ParseCommandLine({"--desktop", "a.hex"}, true).Image()->path, "a.hex");
  // The file dialog asks.
  EXPECT_FALSE(ParseCommandLine({"--desktop"}, true).Image());
}

// The transcript of an update with image, up to its first box.
std::string FirstBox(const ImageSource& image, std::vector<std::string>* lines = nullptr) {
  test::RecordingShell shell;
  const UpdateOutcome outcome = test::SessionRun(shell, image, {}, emu::EmulatorEvents{}).session.RunUpdate();
  if (lines) *lines = shell.lines;
  for (const auto& line : shell.lines) {
    if (line.rfind("box critical ", 0) != 0) continue;
    return line.substr(13) + (outcome.ended ? " | ended " + std::to_string(outcome.status) : "");
  }
  return "no box";
}

TEST(CommandLine, ANamedImageThatCannotBeOpenedSaysWhyAndEndsWithStatus1) {
  test::TempDir dir;
  const std::string missing = (dir.path() / "missing.hex").string();
  const std::string folder = (dir.path() / "folder.hex").string();
  std::filesystem::create_directory(folder);
  EXPECT_EQ(FirstBox(ImageSource::Named(missing)),
            "Cannot open " + missing + ": No such file or directory | ended 1");
  EXPECT_EQ(FirstBox(ImageSource::Named(folder)), "Cannot open " + folder + ": Is a directory | ended 1");
  // Given as a default path, the default file's box, as before.
  EXPECT_EQ(FirstBox(ImageSource(missing)), "Cannot find TovrixPro.HEX file | ended 1");
}

TEST(CommandLine, ANamedImageOfAnyNameIsUsed) {
  test::TempDir dir;
  const std::string image = dir.Write("Firmware 2.0.hex", images::SampleImage());
  std::vector<std::string> lines;
  EXPECT_EQ(FirstBox(ImageSource::Named(image), &lines), "no box");
  EXPECT_EQ(lines.back(), "log TovrixPro should now be running with new program ...");
}

// The boxes name the image by the name it was shown under (the page's
// file, not the path it keeps it at), where one is given.
TEST(CommandLine, TheBoxesNameTheImageByItsShownName) {
  test::TempDir dir;
  ImageSource cut(dir.Write("TOVRIXPRO.HEX", test::HexLine(0, 0x2000, test::Bytes(16)) + "\r\n"));
  cut.shown = "firmware 2.1.hex";
  EXPECT_EQ(FirstBox(cut),
            "The image firmware 2.1.hex does not end with an end-of-file record, so it may be cut short: "
            "nothing was sent to the unit | ended 1");
  ImageSource missing = ImageSource::Named((dir.path() / "gone.hex").string());
  missing.shown = "gone.hex";
  EXPECT_EQ(FirstBox(missing), "Cannot open gone.hex: No such file or directory | ended 1");
}

// Only the default image is found whatever the case of its name; a named
// image is that name alone, where the file system tells letters' cases apart.
TEST(CommandLine, OnlyTheDefaultImageIsFoundByAnotherCase) {
  test::TempDir dir;
  dir.Write("Firmware.HEX", images::SampleImage());
  dir.Write("tovrixpro.hex", images::SampleImage());
  if (std::filesystem::exists(dir.path() / "firmware.hex")) GTEST_SKIP() << "the file system ignores case";
  const std::string named = (dir.path() / "firmware.hex").string();
  EXPECT_EQ(FirstBox(ImageSource::Named(named)), "Cannot open " + named + ": No such file or directory | ended 1");
  EXPECT_EQ(FirstBox(ImageSource::Named((dir.path() / "TOVRIXPRO.HEX").string())),
            "Cannot open " + (dir.path() / "TOVRIXPRO.HEX").string() + ": No such file or directory | ended 1");
  EXPECT_EQ(FirstBox(ImageSource((dir.path() / "TOVRIXPRO.HEX").string())), "no box");
}

}  // namespace
}  // namespace tovrix
