// Fault sweeps: one reference update, disturbed at every point where the
// unit or the user can break in, each run compared whole with the
// undisturbed transcript.
//
// The reference image has some 200 records: one below the unit's memory,
// a run across a 64 KB boundary (a type-04 record in the middle of it), a
// break in the addresses, a record too long for one PROGRAM, and records
// above the memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace tovrix {
namespace {

using Lines = std::vector<std::string>;

// The unit's memory: words 7C00 .. 85FF, bytes F800 .. 10BFF.
const test::Setup kUnit = test::Setup().Memory(0x7C00, 0x85FF);
const std::string kQuestion = "box question Exit TovrixPro Update - Are you sure";
const std::string kWaiting = "logpart (waiting) ... ";
const Lines kAbort{"box critical Program Abort!", "exit"};
// The QUERY reply that kUnit's memory gives, bytes 1 .. 13 of the input report.
const std::vector<uint8_t> kGoodQuery{0x02, 0x38, 0x02, 0x01, 0x00, 0x7C, 0x00,
                                      0x00, 0xFF, 0x85, 0x00, 0x00, 0xFF};

std::string ReferenceImage() {
  std::string out;
  HexImageWriter writer(out);
  auto records = [&](uint32_t from, int count, std::size_t size) {
    std::vector<uint8_t> data(size);
    for (int r = 0; r < count; ++r) {
      const uint32_t address = from + static_cast<uint32_t>(r * size);
      for (std::size_t i = 0; i < size; ++i) data[i] = images::ImageByte(address + i);
      writer.Data(address, data.data(), size);
    }
  };
  records(0x00000, 1, 16);   // below the memory
  records(0x0FB00, 80, 16);  // up to the 64 KB boundary
  records(0x10000, 60, 16);  // on after the type-04 record
  records(0x10800, 39, 16);  // after a break: COMPLETE first
  records(0x10A70, 1, 64);   // two PROGRAMs, 56 and 8 bytes
  records(0x30000, 20, 16);  // above the memory
  writer.End();
  return out;
}

class FaultSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<test::TempDir>();
    const std::string image = ReferenceImage();
    imageLines_ = static_cast<int>(std::count(image.begin(), image.end(), '\n'));
    path_ = dir_->Write("TOVRIXPRO.HEX", image);
    undisturbed_ = Run(kUnit);
  }
  static void TearDownTestSuite() { dir_.reset(); }

  // The update of the reference image against the unit and user of setup.
  static test::RunResult Run(const test::Setup& setup) { return test::RunSession(path_, setup); }

  // The undisturbed transcript's first n lines, then tail.
  static Lines Prefix(std::size_t n, const Lines& tail = {}) {
    const Lines& all = undisturbed_.lines;
    Lines lines(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(n, all.size())));
    lines.insert(lines.end(), tail.begin(), tail.end());
    return lines;
  }

  // The index of the k-th send line (1-based) of the undisturbed update.
  static std::size_t SendIndex(int k) {
    const Lines& all = undisturbed_.lines;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i].rfind("send ", 0) == 0 && --k == 0) return i;
    }
    return all.size();
  }

  static std::unique_ptr<test::TempDir> dir_;
  static std::string path_;
  static int imageLines_;
  static test::RunResult undisturbed_;
};

std::unique_ptr<test::TempDir> FaultSweep::dir_;
std::string FaultSweep::path_;
int FaultSweep::imageLines_ = 0;
test::RunResult FaultSweep::undisturbed_;

// Compares whole transcripts; on a difference shows where it starts rather
// than two transcripts of hundreds of lines.
::testing::AssertionResult SameTranscript(const test::RunResult& run, const Lines& expected,
                                          int status) {
  if (run.HasFault()) return ::testing::AssertionFailure() << "the emulated platform saw misuse";
  std::size_t i = 0;
  while (i < run.lines.size() && i < expected.size() && run.lines[i] == expected[i]) ++i;
  if (i < run.lines.size() || i < expected.size()) {
    auto at = [i](const Lines& lines) {
      return i < lines.size() ? lines[i] : std::string("(nothing)");
    };
    return ::testing::AssertionFailure()
           << "line " << i + 1 << " is \"" << at(run.lines) << "\", expected \"" << at(expected)
           << "\" (" << run.lines.size() << " lines, expected " << expected.size() << ")";
  }
  if (run.status != status) {
    return ::testing::AssertionFailure() << "exit status " << run.status << ", expected " << status;
  }
  return ::testing::AssertionSuccess();
}

// Stops a sweep after a few failed cases: one fault tends to fail them all.
constexpr int kReportedFailures = 3;

// The reports the reference image must give, from its records as laid out
// above: the one-byte commands go out alone, a PROGRAM carries its data
// right-aligned and keeps the bytes of earlier PROGRAMs between its header
// and its data (the payload is never cleared).
Lines ExpectedReferenceSends() {
  Lines sends;
  std::vector<uint8_t> program(65, 0);
  auto command = [&](uint8_t code) {
    std::vector<uint8_t> report(65, 0);
    report[1] = code;
    sends.push_back(headless::TranscriptShell::SendText(report.data(), report.size()));
  };
  auto write = [&](uint32_t byteAddress, int count) {
    const uint32_t word = byteAddress / 2;
    program[1] = 0x05;
    for (int i = 0; i < 4; ++i) program[2 + i] = static_cast<uint8_t>(word >> (8 * i));
    program[6] = static_cast<uint8_t>(count);
    for (int i = 0; i < count; ++i) program[65 - count + i] = images::ImageByte(byteAddress + i);
    sends.push_back(headless::TranscriptShell::SendText(program.data(), program.size()));
  };
  command(0x02);  // QUERY
  command(0x04);  // ERASE
  command(0x02);
  for (uint32_t a = 0xFB00; a < 0x103C0; a += 16) write(a, 16);  // across the 64 KB boundary
  command(0x06);                                                  // COMPLETE at the break
  for (uint32_t a = 0x10800; a < 0x10A70; a += 16) write(a, 16);
  write(0x10A70, 56);  // the 64-byte record in two
  write(0x10AA8, 8);
  command(0x08);  // RESET
  return sends;
}

// Every sweep compares with the undisturbed run: it is checked here against
// fixed values, so that a fault shared by both runs cannot pass unseen.
TEST_F(FaultSweep, ReferenceUpdateIsTheExpectedOne) {
  const test::RunResult& run = undisturbed_;
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(run.HasFault());
  const Lines sends = run.Sends();
  const Lines expectedSends = ExpectedReferenceSends();
  ASSERT_EQ(sends.size(), expectedSends.size());  // 186
  for (std::size_t i = 0; i < sends.size(); ++i) {
    ASSERT_EQ(sends[i], expectedSends[i]) << "report " << i + 1;
  }

  const std::string caption = "caption TovrixPro Update (Olvane Inc)";
  Lines expected = test::FoundUnit();
  expected.insert(expected.end(),
                  {"logpart Checking TovrixPro ... ", "log OK (memory from $7C00 to $85FF)",
                   "logpart Erasing TovrixPro ... ", caption + " 0%", "log OK", "log ",
                   "log Writing new program to TovrixPro ... ", "log Writing data from $7D80 (line 3) ..."});
  for (int percent = 5; percent <= 90; percent += 5) {
    expected.push_back(caption + " " + std::to_string(percent) + "%");
  }
  expected.insert(expected.end(),
                  {"log Ignoring data from $18000 (line 185) ...", caption + " 95%",
                   caption + " 100%", "log Highest written address: $8538", "log ",
                   "logpart Finished! Resetting TovrixPro ... ", "log OK", "log ",
                   "log TovrixPro should now be running with new program ...", "end"});
  EXPECT_EQ(run.WithoutSends(), expected);
}

TEST_F(FaultSweep, WriteFailingAtEveryReportAbortsThere) {
  const int sends = static_cast<int>(undisturbed_.Sends().size());
  int failures = 0;
  for (int k = 1; k <= sends + 1 && failures < kReportedFailures; ++k) {
    const test::RunResult run = Run(test::Setup(kUnit).FailWrite(k));
    // Beyond the last report nothing fails.
    const auto expected = k > sends ? undisturbed_.lines
                                    : Prefix(SendIndex(k), {"log Write Failure (code=0)", kAbort[0],
                                                            kAbort[1]});
    const auto same = SameTranscript(run, expected, k > sends ? 0 : 1);
    EXPECT_TRUE(same) << "write " << k;
    failures += same ? 0 : 1;
  }
}

TEST_F(FaultSweep, EscAndCloseAtEveryPump) {
  // One pump for the erase reply, then one before each image line.
  const int pumps = 1 + imageLines_;
  int failures = 0;
  std::size_t lastAt = 0;
  for (int n = 1; n <= pumps + 1 && failures < kReportedFailures; ++n) {
    const bool reached = n <= pumps;

    // Esc answered No: the question is the only change, and where it
    // stands tells where the pump is.
    const test::RunResult no = Run(test::Setup(kUnit).Esc(n, false));
    const auto question = std::find(no.lines.begin(), no.lines.end(), kQuestion + " -> no");
    ASSERT_EQ(question != no.lines.end(), reached) << "pump " << n;
    const auto at = static_cast<std::size_t>(question - no.lines.begin());
    Lines withoutQuestion = no.lines;
    if (reached) withoutQuestion.erase(withoutQuestion.begin() + static_cast<std::ptrdiff_t>(at));
    test::RunResult stripped = no;
    stripped.lines = withoutQuestion;
    auto same = SameTranscript(stripped, undisturbed_.lines, 0);
    EXPECT_TRUE(same) << "Esc No at pump " << n;
    failures += same ? 0 : 1;
    if (!reached) {
      // The script never acts: the update runs as undisturbed.
      EXPECT_TRUE(SameTranscript(Run(test::Setup(kUnit).Esc(n, true)), undisturbed_.lines, 0));
      EXPECT_TRUE(SameTranscript(Run(test::Setup(kUnit).Close(n)), undisturbed_.lines, 0));
      break;
    }
    // The first pump waits for the erase reply: right after the QUERY that
    // follows ERASE. No later pump comes before it (lines outside the
    // memory leave nothing in the transcript).
    if (n == 1) {
      EXPECT_EQ(at, SendIndex(3) + 1);
    } else {
      EXPECT_GE(at, lastAt) << "pump " << n;
    }
    lastAt = at;

    same = SameTranscript(Run(test::Setup(kUnit).Esc(n, true)),
                          Prefix(at, {kQuestion + " -> yes", "closed", "exit"}), 1);
    EXPECT_TRUE(same) << "Esc Yes at pump " << n;
    failures += same ? 0 : 1;

    same = SameTranscript(Run(test::Setup(kUnit).Close(n)), Prefix(at, {"closed", "exit"}), 1);
    EXPECT_TRUE(same) << "window closed at pump " << n;
    failures += same ? 0 : 1;
  }
}

TEST_F(FaultSweep, EraseWaitsUpToTenSucceedAndElevenAbort) {
  // The waits come after the third report, the QUERY after ERASE.
  ASSERT_LT(SendIndex(3), undisturbed_.lines.size()) << "the reference update sent fewer reports";
  const std::size_t afterEraseQuery = SendIndex(3) + 1;
  for (int waits = 0; waits <= 12; ++waits) {
    const test::RunResult run = Run(test::Setup(kUnit).EraseWaits(waits));
    Lines expected;
    if (waits <= 10) {
      expected = undisturbed_.lines;
      expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(afterEraseQuery),
                      static_cast<std::size_t>(waits), kWaiting);
    } else {
      expected = Prefix(afterEraseQuery, Lines(11, kWaiting));
      expected.insert(expected.end(), {"log No response after ERASE!", kAbort[0], kAbort[1]});
    }
    EXPECT_TRUE(SameTranscript(run, expected, waits <= 10 ? 0 : 1)) << waits << " erase waits";
  }
}

// A unit whose QUERY reply is bytes 1 .. 13 of reply, zero after them.
test::Setup AnswersQueryWith(const std::vector<uint8_t>& reply) {
  emu::ReportData data{};
  std::copy(reply.begin(), reply.end(), data.begin());
  return test::Setup().Query(data);
}

TEST_F(FaultSweep, QueryReplyWithoutAnAnswerOrWithAWrongCheckedByte) {
  const std::size_t afterQuery = SendIndex(1) + 1;
  const std::string response = "log Invalid QUERY response - not connected to TovrixPro?";
  const std::string data = "log Invalid QUERY data - not connected to TovrixPro?";

  EXPECT_TRUE(SameTranscript(Run(test::Setup(kUnit).SilentQuery()), Prefix(afterQuery, {response, kAbort[0], kAbort[1]}), 1))
      << "no reply";
  // The right bytes given whole change nothing.
  EXPECT_TRUE(SameTranscript(Run(AnswersQueryWith(kGoodQuery)), undisturbed_.lines, 0));

  struct Field {
    int byte;  // in the input report, 1 .. 13
    const std::string& message;
  };
  for (const Field field : {Field{1, response}, Field{2, data}, Field{3, data}, Field{4, response},
                            Field{13, response}}) {
    const auto index = static_cast<std::size_t>(field.byte - 1);
    const uint8_t good = kGoodQuery[index];
    for (const uint8_t wrong : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(good + 1),
                                static_cast<uint8_t>(good - 1), static_cast<uint8_t>(good ^ 0x80),
                                static_cast<uint8_t>(good ^ 0x06)}) {
      if (wrong == good) continue;
      std::vector<uint8_t> reply = kGoodQuery;
      reply[index] = wrong;
      EXPECT_TRUE(SameTranscript(Run(AnswersQueryWith(reply)),
                                 Prefix(afterQuery, {field.message, kAbort[0], kAbort[1]}), 1))
          << "byte " << field.byte << " = " << int(wrong);
    }
  }
}

TEST_F(FaultSweep, UnitWithOtherReportLengthsOrValueCapsIsRefused) {
  const Lines& all = undisturbed_.lines;
  const auto found = std::find(all.begin(), all.end(), "log  <- TovrixPro found!");
  ASSERT_NE(found, all.end());
  const Lines expected = Prefix(static_cast<std::size_t>(found - all.begin()) + 1,
                                {"log Non-real TovrixPro detected! Program cannot continue", "end"});
  for (const HidCaps caps : {HidCaps{64, 65, 1}, HidCaps{66, 65, 1}, HidCaps{65, 64, 1},
                             HidCaps{65, 66, 1}, HidCaps{65, 65, 0}, HidCaps{65, 65, 2}}) {
    const test::Setup unit = test::Setup(kUnit).Caps(caps.InputReportByteLength, caps.OutputReportByteLength,
                                                     caps.NumberInputValueCaps);
    EXPECT_TRUE(SameTranscript(Run(unit), expected, 0))
        << caps.InputReportByteLength << "," << caps.OutputReportByteLength << "," << caps.NumberInputValueCaps;
  }
}

}  // namespace
}  // namespace tovrix
