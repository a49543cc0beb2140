// Whole updates through the emulated unit, compared as transcripts.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace tovrix {
namespace {

using test::Bytes;
using test::HexLine;
using test::RunImage;
using Lines = std::vector<std::string>;

const std::string kEof = ":00000001FF";
const std::string kData = HexLine(0, 0x2000, Bytes(16));
const std::string kMore = HexLine(0, 0x2010, Bytes(16));

// The send line of a report: ID 0, then the payload bytes, zero-filled.
std::string Send(std::vector<uint8_t> payload) {
  payload.insert(payload.begin(), 0);
  payload.resize(65, 0);
  return "send " + headless::TranscriptShell::SendText(payload.data(), payload.size());
}

std::string Program(uint32_t word, const std::vector<uint8_t>& data,
                    std::vector<uint8_t> stale = {}) {
  std::vector<uint8_t> payload(64, 0);
  payload[0] = 0x05;
  for (int i = 0; i < 4; ++i) payload[1 + i] = static_cast<uint8_t>(word >> (8 * i));
  payload[5] = static_cast<uint8_t>(data.size());
  std::copy(stale.begin(), stale.end(), payload.begin() + 6 + (58 - data.size() - stale.size()));
  std::copy(data.begin(), data.end(), payload.end() - static_cast<std::ptrdiff_t>(data.size()));
  return Send(payload);
}

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string Image(const Lines& lines, const char* end = "\r\n") {
  std::string image;
  for (const auto& line : lines) image += line + end;
  return image;
}

TEST(Update, SmallImageGivesTheWholeTranscript) {
  const auto first = Bytes(16, 1), second = Bytes(8, 0x40);
  const test::RunResult run = RunImage(Image({HexLine(0, 0x2000, first), HexLine(0, 0x2010, second), kEof}));
  const Lines expected = Join({
      test::FoundUnit(),
      {"logpart Checking TovrixPro ... ", Send({0x02}), "log OK (memory from $400 to $57FF)",
       "logpart Erasing TovrixPro ... ", Send({0x04}), "caption TovrixPro Update (Olvane Inc) 0%",
       Send({0x02}), "log OK", "log ", "log Writing new program to TovrixPro ... ",
       "log Writing data from $1000 (line 1) ...", Program(0x1000, first),
       "caption TovrixPro Update (Olvane Inc) 53%",
       Program(0x1008, second, std::vector<uint8_t>(first.begin(), first.begin() + 8)),
       "caption TovrixPro Update (Olvane Inc) 86%", "caption TovrixPro Update (Olvane Inc) 100%",
       "log Highest written address: $1008", "log Ignoring data from $0 (line 3) ...", "log ",
       "logpart Finished! Resetting TovrixPro ... ", Send({0x08}), "log OK", "log ",
       "log TovrixPro should now be running with new program ...", "end"},
  });
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.status, 0);
}

TEST(Update, UnitNotFound) {
  const test::RunResult run = RunImage(
      Image({kEof}), test::Setup().NoUnit().Before({{0x46D, 0xC52B, 0x1201}}).After({{0x4D8, 0x3D, 1}}));
  const Lines expected = Join({test::SearchStart(), test::FoundDevice("46D", "C52B", "1201", false),
                              test::FoundDevice("4D8", "3D", "1", false),
                              {"log ", "log ", "log Cannot find TovrixPro!", "log =================",
                               "log Please close program, connect TovrixPro in UPdate mode, and re-run program",
                               "log Press and hold UP button on TovrixPro, when connecting USB cable",
                               "log Wait for display to flash quickly, then release UP button",
                               "log THEN run this program again", "end"}});
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.status, 0);
}

TEST(Update, DevicesAfterTheUnitAreNotExamined) {
  const test::RunResult run = RunImage(Image({kEof}), test::Setup().Before({{1, 2, 3}}).After({{0x4D8, 0x3C, 0x200}}));
  const Lines head(run.lines.begin(), run.lines.begin() + 12);
  EXPECT_EQ(head.back(), "log  <- TovrixPro found!");
  EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), "logpart Found USB device:"), 2);
}

// Wrong report lengths or value capabilities, failing writes, a unit that
// does not answer and the erase waits are swept case by case in
// fault_sweep_test.cpp.

// A bad image is refused before the unit is touched: not even the search
// runs.
TEST(Update, ABadImageNeverReachesTheUnit) {
  const std::string good = HexLine(0, 0x2000, Bytes(16)) + "\r\n";
  const struct {
    const char* name;
    std::string image, box;
  } cases[] = {
      {"empty_line_after_end", good + kEof + "\r\n\r\n", "Invalid HEX on line 3"},
      {"corrupt_middle", good + good + ":1020000000\r\n" + good, "Unexpected end of line 3"},
      {"bad_digit", good + ":1G\r\n", "Invalid HEX digit in line 2"},
      {"bad_checksum", good + ":00000001FE\r\n", "Invalid checksum on line 2"},
      {"unknown_type", ":020000021000EC\r\n", "Unknown HEX record type 2 on line 1"},
      {"odd_count", HexLine(0, 0x2000, Bytes(3)) + "\r\n", "Odd address or count at line 1"},
      {"odd_address_outside_bounds", HexLine(0, 0xC001, Bytes(2)) + "\r\n", "Odd address or count at line 1"},
      {"odd_final_flush", good + ":00000101FE\r\n", "Odd address or count at line 2"},
      {"binary", std::string("\x7F" "ELF\x02\x01\x01\0\0\0", 10), "Invalid HEX on line 1"},
      {"leading_blank", " " + kEof, "Invalid HEX on line 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const test::RunResult run = RunImage(c.image);
    EXPECT_EQ(run.lines, (Lines{"box critical " + c.box, "box critical Program Abort!", "exit"}));
    EXPECT_EQ(run.status, 1);
  }
}

// Records without data are never programmed, so the address field of one
// in the middle of the image may be odd: the update runs exactly as with an
// even one. (Only the last line's address reaches the final flush.)
TEST(Update, RecordsWithoutDataMayHaveOddAddressesInTheMiddle) {
  struct Case {
    const char* odd;
    const char* even;  // the same record at an even address, as long
  };
  const Case cases[] = {{":020001040000F9", ":020000040000FA"},  // extended address
                        {":00000101FE", ":00000001FF"},          // end of file
                        {":00000100FF", ":0000000000"}};         // data record of no bytes
  for (const Case& c : cases) {
    const auto image = [&](const char* record) { return Image({kData, record, kMore, kEof}); };
    const test::RunResult run = RunImage(image(c.odd));
    EXPECT_EQ(run.status, 0) << c.odd;
    ASSERT_FALSE(run.lines.empty()) << c.odd;
    EXPECT_EQ(run.lines.back(), "end") << c.odd;
    EXPECT_EQ(run.Sends().size(), 6u) << c.odd;  // QUERY, ERASE, QUERY, 2 PROGRAMs, RESET
    EXPECT_EQ(run.lines, RunImage(image(c.even)).lines) << c.odd;
  }
}

TEST(Update, MissingImageShowsItsBoxOnly) {
  test::TempDir dir;
  const std::string path = (dir.path() / "TOVRIXPRO.HEX").string();
  const test::RunResult missing = test::RunSession(path);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.lines, (Lines{"box critical Cannot find TovrixPro.HEX file", "exit"}));

  std::filesystem::create_directory(path);
  const test::RunResult folder = test::RunSession(path);
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(folder.lines, missing.lines);
}

// The default image is found whatever the case of its name, as on
// Windows; with several spellings none is guessed at.
TEST(Update, DefaultImageInAnyCaseButNotAmongSeveral) {
  test::TempDir dir;
  const std::string image = Image({HexLine(0, 0x2000, Bytes(16, 1)), kEof});
  dir.Write("TovrixPro.hex", image);
  const std::string path = (dir.path() / "TOVRIXPRO.HEX").string();
  const test::RunResult one = test::RunSession(path);
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.lines.back(), "end");
  EXPECT_EQ(one.lines, RunImage(image).lines);

#if !defined(_WIN32)  // there, one file holds every spelling of its name
  dir.Write("tovrixpro.HEX", image);
  EXPECT_EQ(test::RunSession(path).lines, (Lines{"box critical Cannot find TovrixPro.HEX file", "exit"}));
#endif
}

std::vector<std::string> Captions(const test::RunResult& run) {
  std::vector<std::string> captions;
  for (const auto& line : run.lines) {
    if (line.rfind("caption TovrixPro Update (Olvane Inc) ", 0) == 0) captions.push_back(line.substr(38));
  }
  return captions;
}

TEST(Update, ProgressRoundsHalvesToEvenAndNeedsMoreThanFive) {
  // 1000 bytes: 23 lines of 43 (the first with data for the unit) and one of 11.
  const std::string padded = kEof + std::string(30, ' ') + "\r\n";
  std::string image = HexLine(0, 0x2000, Bytes(14)) + "  \r\n";
  for (int i = 1; i < 23; ++i) image += padded;
  image += kEof;
  ASSERT_EQ(image.size(), 1000u);
  EXPECT_EQ(Captions(RunImage(image)),
            (Lines{"0%", "9%", "17%", "22%", "30%", "39%", "47%", "52%", "60%", "65%", "73%", "78%",
                   "86%", "95%", "100%"}));
}

TEST(Update, ProgressKeepsTheLastValueShown) {
  const std::string line = kEof + std::string(7, ' ') + "\r\n";  // 20 bytes
  std::string fifty = HexLine(0, 0x2000, Bytes(2)) + "   \r\n";   // with data for the unit
  for (int i = 1; i < 50; ++i) fifty += line;
  const auto captions = Captions(RunImage(fifty));
  ASSERT_EQ(captions.size(), 17u);
  EXPECT_EQ(captions[1], "6%");
  EXPECT_EQ(captions.back(), "96%");

  // Past the last line the position is one beyond the length: 101 shows
  // as 100.
  const std::string two = HexLine(0, 0x2000, Bytes(2)) + "\r\n" + kEof + std::string(70, ' ') + "\r\n";
  ASSERT_EQ(two.size(), 100u);
  EXPECT_EQ(Captions(RunImage(two)), (Lines{"0%", "18%", "100%"}));
}

// No caption above 100%, whatever the size: images of 2 to 60 lines, the
// last one short or long.
TEST(Update, ProgressNeverShowsMoreThanAHundred) {
  for (int lines = 2; lines <= 60; ++lines) {
    for (const std::size_t pad : {std::size_t{0}, std::size_t{40}}) {
      std::string image;
      for (int i = 1; i < lines; ++i) image += HexLine(0, static_cast<uint16_t>(0x2000 + 16 * i), Bytes(16)) + "\r\n";
      image += kEof + std::string(pad, ' ');
      const Lines captions = Captions(RunImage(image));
      ASSERT_FALSE(captions.empty()) << lines;
      for (const std::string& caption : captions) EXPECT_LE(std::stoi(caption), 100) << lines << " lines, pad " << pad;
    }
  }
}

// An image with nothing to write into the unit's memory is refused once
// the unit has told its memory, before ERASE: the unit keeps its firmware.
TEST(Update, ImageWithoutDataInsideTheMemoryIsRefusedBeforeErase) {
  const struct {
    const char* name;
    std::string image;
  } cases[] = {
      {"empty", ""},
      {"end_record_only", Image({kEof})},
      {"all_outside", Image({HexLine(0, 0x0100, Bytes(16)), HexLine(4, 0, {0, 1}), HexLine(0, 0, Bytes(16)), kEof})},
  };
  for (const auto& c : cases) {
    const test::RunResult run = RunImage(c.image);
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_EQ(run.Tail(3), (Lines{"log OK (memory from $400 to $57FF)",
                                  "box critical The image has no data inside the unit's memory ($400 to $57FF): "
                                  "nothing was erased",
                                  "exit"}))
        << c.name;
    EXPECT_EQ(run.Sends(), Lines{Send({0x02}).substr(5)}) << c.name;  // QUERY alone
  }
}

TEST(Update, RecordAtWordZeroCountsAsNoData) {
  const test::RunResult run = RunImage(Image({HexLine(0, 0, Bytes(16)), kEof}), test::Setup().Memory(0, 0x57FF));
  const Lines lines = run.WithoutSends();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "log WARNING: No data written!"), lines.end());
  // The flush repeats word 0, where the run did not end: COMPLETE.
  const auto sends = run.Sends();
  ASSERT_GE(sends.size(), 2u);
  EXPECT_EQ(sends[sends.size() - 2], Send({0x06}).substr(5));
}

// An image whose last record is not the end-of-file record may have been
// cut short (a download stopped at a line end): refused before the unit is
// looked for. Records after an end-of-file record are written as before
// when the image ends with one again.
TEST(Update, ImageMustEndWithTheEndRecord) {
  const struct {
    const char* name;
    std::string image;
    bool refused;  // the box instead of the update
  } cases[] = {
      {"data_last", Image({kData, kMore}), true},
      {"data_last_without_line_end", Image({kData}) + kMore, true},
      {"extended_address_last", Image({kData, HexLine(4, 0, {0, 0})}), true},
      {"data_after_the_end", Image({kData, kEof, kMore}), true},
      {"end_inside_and_at_the_end", Image({kData, kEof, kMore, kEof}), false},
      {"end_without_line_end", Image({kData}) + kEof, false},
      {"end_followed_by_text", Image({kData, kEof + "  ; end"}), false},
      {"sample_cut_at_100_lines", test::FirstLines(images::SampleImage(), 100), true},
  };
  // The box names the image as it was given (here the whole path).
  const std::string box = "TOVRIXPRO.HEX does not end with an end-of-file record, so it may be cut short: "
                          "nothing was sent to the unit";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const test::RunResult run = RunImage(c.image);
    EXPECT_EQ(run.status, c.refused ? 1 : 0);
    if (!c.refused) {
      EXPECT_EQ(run.lines.back(), "end");
      continue;
    }
    ASSERT_EQ(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[0].rfind("box critical The image ", 0), 0u) << run.lines[0];
    EXPECT_TRUE(run.lines[0].ends_with(box)) << run.lines[0];
    EXPECT_EQ(run.lines[1], "exit");
  }
}

// The program's exit status, as the window ends it: at once (an abort, a
// refusal, Esc or the close during the update), or closed after the update
// returned (ExitStatus). 0 only when the unit was updated.
TEST(Update, ExitStatusIsZeroOnlyWhenTheUnitWasUpdated) {
  struct Case {
    const char* name;
    std::string image;
    test::Setup setup;
    bool ended;
    int status;
  };
  const std::string good = Image({kData, kMore, kEof});
  const Case cases[] = {
      {"updated", good, {}, false, 0},
      {"no_unit", good, test::Setup().NoUnit(), false, 1},
      {"not_the_unit", good, test::Setup().Caps(63, 63, 1), false, 1},
      {"esc_yes_while_writing", good, test::Setup().Esc(3, true), true, 1},
      {"closed_while_writing", good, test::Setup().Close(3), true, 1},
      {"closed_in_erase_wait", good, test::Setup().EraseWaits(1).Close(1), true, 1},
      {"no_data", Image({kEof}), {}, true, 1},
      {"cut_short", Image({kData}), {}, true, 1},
      {"bad_line", Image({kData, ":1G", kEof}), {}, true, 1},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::RecordingShell shell(c.setup.user);
    test::SessionRun run(shell, dir.Write("TOVRIXPRO.HEX", c.image), c.setup);
    const UpdateOutcome outcome = run.Run();
    EXPECT_EQ(outcome.ended, c.ended) << c.name;
    EXPECT_EQ(outcome.ended ? outcome.status : run.session.ExitStatus(), c.status) << c.name;
    if (outcome.ended) continue;
    // Esc once the update has returned ends the program with the same
    // status (a unit still open asks first: the shell answers Yes).
    const KeyOutcome key = run.session.KeyPress(kEscape);
    EXPECT_TRUE(key.end) << c.name;
    EXPECT_EQ(key.status, c.status) << c.name;
  }
}

// The records of a run of data go out however the end record comes.
TEST(Update, DataAfterAnEndRecordIsWritten) {
  const test::RunResult run = RunImage(Image({kData, kEof, kMore, kEof}));
  EXPECT_EQ(run.Sends().size(), 6u);  // QUERY, ERASE, QUERY, 2 PROGRAMs, RESET
}

TEST(Update, LineEndsOfOtherSystemsGiveTheSameReports) {
  const Lines lines{HexLine(4, 0, {0, 0}), kData, kMore,
                    HexLine(0, 0x3000, Bytes(64)), kEof};
  const test::RunResult crlf = RunImage(Image(lines));
  for (const char* end : {"\n", "\r"}) {
    const test::RunResult other = RunImage(Image(lines, end));
    EXPECT_EQ(other.Sends(), crlf.Sends()) << int(end[0]);
    EXPECT_EQ(other.lines.back(), "end");
  }
}

TEST(Update, SampleImageWritesEveryByteInsideTheBounds) {
  const std::string image = images::SampleImage();
  const test::RunResult run = RunImage(image);
  ASSERT_EQ(run.lines.back(), "end");
  const Lines lines = run.WithoutSends();
  const Lines expected{"log Writing data from $400 (line 3) ...",
                       "log Ignoring data from $5800 (line 2563) ...",
                       "log Highest written address: $57F8"};
  for (const auto& line : expected) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  // One COMPLETE, at the gap.
  EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), Send({0x06})), 1);
}

const std::string kQuestion = "box question Exit TovrixPro Update - Are you sure";
const std::string kWaiting = "logpart (waiting) ... ";

// Pumps: one per failed erase wait plus the one that gets the reply, then
// one per image line.
TEST(Update, EndsTheProgramAtThePump) {
  const struct {
    const char* name;
    test::Setup setup;
    Lines tail;  // the transcript's last lines
  } cases[] = {
      {"esc_yes_in_erase_wait", test::Setup().EraseWaits(3).Esc(2, true),
       {Send({0x04}), "caption TovrixPro Update (Olvane Inc) 0%", Send({0x02}), kWaiting, kQuestion + " -> yes",
        "closed", "exit"}},
      {"esc_yes_while_writing", test::Setup().Esc(3, true),
       {"caption TovrixPro Update (Olvane Inc) 45%", kQuestion + " -> yes", "closed", "exit"}},
      {"close_while_writing", test::Setup().Close(3), {"caption TovrixPro Update (Olvane Inc) 45%", "closed", "exit"}},
      {"close_in_erase_wait", test::Setup().EraseWaits(1).Close(1), {Send({0x02}), "closed", "exit"}},
      {"esc_no_then_close", test::Setup().Esc(2, false).Close(2),
       {"log Writing new program to TovrixPro ... ", kQuestion + " -> no", "closed", "exit"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const test::RunResult run = RunImage(Image({kData, kMore, kEof}), c.setup);
    EXPECT_EQ(run.Tail(c.tail.size()), c.tail);
    EXPECT_FALSE(run.HasFault());
    EXPECT_EQ(run.status, 1);
  }
}

TEST(Update, EscAnsweredNoChangesNothingButTheQuestion) {
  const std::string image = Image({HexLine(0, 0x2000, Bytes(16)), HexLine(0, 0x2040, Bytes(16)), kEof});
  const test::RunResult undisturbed = RunImage(image, test::Setup().EraseWaits(2));
  for (int pump = 1; pump <= 6; ++pump) {
    const test::RunResult run = RunImage(image, test::Setup().EraseWaits(2).Esc(pump, false));
    Lines without;
    for (const auto& line : run.lines) {
      if (line != kQuestion + " -> no") without.push_back(line);
    }
    EXPECT_EQ(without, undisturbed.lines) << "pump " << pump;
    EXPECT_EQ(run.lines.size(), undisturbed.lines.size() + 1) << "pump " << pump;
  }
}

TEST(Update, TheLastPumpComesBeforeTheLastLine) {
  // One pump for the erase, one per line: four in all.
  const std::string image =
      Image({kData, kMore, kEof});
  EXPECT_EQ(RunImage(image, test::Setup().Close(4)).lines.back(), "exit");
  EXPECT_EQ(RunImage(image, test::Setup().Close(5)).lines.back(), "end");
}


// The image file changed under the update once it was checked: replaced by
// another image, cut short at a line end or inside a line, or deleted, as
// QUERY goes out (before ERASE) or at the 5th pump (between two lines of
// the write). The update sends what it checked: the transcript, the unit's
// memory with it, is that of the file left alone.
class ChangingShell : public test::RecordingShell {
 public:
  std::function<void()> atPump;
  int pump = 0;
  void PumpEvents() override {
    if (++pumps_ == pump && atPump) atPump();
    RecordingShell::PumpEvents();
  }

 private:
  int pumps_ = 0;
};

TEST(Update, AChangedFileLeavesTheUnitTheCheckedImage) {
  const std::string image = images::SampleImage();
  const test::RunResult alone = RunImage(image);
  ASSERT_EQ(alone.lines.back(), "end");
  const std::string quarter = image.substr(0, image.find('\n', image.size() / 4) + 1);
  const std::vector<std::pair<const char*, std::function<void(const test::TempDir&)>>> changes = {
      {"replaced", [](const test::TempDir& dir) {
         dir.Write("TOVRIXPRO.HEX", Image({HexLine(0, 0x2000, Bytes(16, 0x77)), kEof}));
       }},
      {"cut_at_a_line_end", [&](const test::TempDir& dir) { dir.Write("TOVRIXPRO.HEX", quarter); }},
      {"cut_inside_a_line",
       [&](const test::TempDir& dir) { dir.Write("TOVRIXPRO.HEX", image.substr(0, quarter.size() + 8)); }},
      {"deleted", [](const test::TempDir& dir) { std::filesystem::remove(dir.path() / "TOVRIXPRO.HEX"); }},
  };
  for (const auto& [name, changeFile] : changes) {
    for (const bool duringWrite : {false, true}) {
      SCOPED_TRACE(std::string(name) + (duringWrite ? " during the write" : " before ERASE"));
      test::TempDir dir;
      const std::string path = dir.Write("TOVRIXPRO.HEX", image);
      ChangingShell shell;
      bool changed = false;
      auto change = [&] {
        if (!changed) changeFile(dir);
        changed = true;
      };
      emu::EmulatorEvents events = shell.UnitEvents();
      events.sent = [&, sent = events.sent](const uint8_t* report, std::size_t length) {
        if (!duringWrite) change();
        sent(report, length);
      };
      if (duringWrite) {
        shell.pump = 5;
        shell.atPump = change;
      }
      test::SessionRun run(shell, path, {}, events);
      run.Run();
      EXPECT_TRUE(changed);
      EXPECT_EQ(shell.lines, alone.lines);
      EXPECT_EQ(run.hid.Unit().Memory().ByteCount(), 40960u);
    }
  }
}

// An image over the limit is refused with a box that names its size and
// the limit, before the unit is looked for.
TEST(Update, AnImageOverTheLimitTouchesNoUnit) {
  test::TempDir dir;
  const std::string path = dir.Write("TOVRIXPRO.HEX", "");
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(kMaxImageBytes + 1));
  const test::RunResult run = test::RunSession(path);
  EXPECT_EQ(run.lines, (Lines{"box critical The image " + path +
                                  " is too large: 67108865 bytes, more than the limit of 67108864 bytes (64 MiB)",
                              "exit"}));
}

}  // namespace
}  // namespace tovrix
