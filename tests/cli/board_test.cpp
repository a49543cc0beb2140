// The station's board: its lines in each form, how it is drawn over
// itself, and a station of four emulated units, one of which fails, on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/board.h"
#include "app/cli/flash.h"
#include "app/cli/output.h"
#include "emulator/bench.h"
#include "tests/cli/flash_run.h"
#include "tests/support/test_support.h"
#include "emulator/images.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace tovrix::cli {
namespace {

using Lines = std::vector<std::string>;

// Four ports: one waiting, one writing, one done, one failed. The first
// unit was taken at 0 ms; two are done.
Board FourPorts() {
  Board board;
  board.Station("bench1");
  board.Taken("1-1.1", 0);
  board.Taken("1-1.2", 1000);
  board.Taken("1-1.3", 2000);
  board.Writing("1-1.2", 45);
  board.Finished("1-1.1", true, 14.2, "");
  board.Finished("1-1.3", false, 3.0, "report 37 of 2561 failed (no code): erased, flash again");
  board.Waiting("1-1.10");
  return board;
}

struct RenderCase {
  const char* name;
  std::function<Board()> board;
  TerminalSize size;
  Lines lines;
};

class BoardRenderTest : public ::testing::TestWithParam<RenderCase> {};

TEST_P(BoardRenderTest, Lines) {
  const RenderCase& c = GetParam();
  const Lines lines = c.board().Render(c.size, 60'000);
  EXPECT_EQ(lines, c.lines);
  for (const std::string& line : lines) EXPECT_LT(line.size(), static_cast<std::size_t>(c.size.columns)) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, BoardRenderTest,
    ::testing::Values(
        RenderCase{"empty_station_waits", [] { return Board(); }, {80, 24},
                   {"Station: 0 taken, 0 updated, 0 failed", "waiting for a TovrixPro in update mode (Ctrl-C to stop) ..."}},
        RenderCase{"every_state", FourPorts, {80, 24},
                   {"Station bench1: 3 taken, 1 updated, 1 failed, 120 units per hour", "  1-1.1   ok 14.2 s",
                    "  1-1.2   writing 45%", "  1-1.3   FAILED: report 37 of 2561 failed (no code): erased, flash again",
                    "  1-1.10  waiting"}},
        RenderCase{"a_long_reason_is_cut", FourPorts, {50, 24},
                   {"Station bench1: 3 taken, 1 updated, 1 failed, ...", "  1-1.1   ok 14.2 s",
                    "  1-1.2   writing 45%", "  1-1.3   FAILED: report 37 of 2561 failed (no...",
                    "  1-1.10  waiting"}},
        RenderCase{"narrow_is_compact", FourPorts, {30, 24},
                   {"#3: 1 ok, 1 failed, 120/h", "1-1.1 ok", "1-1.2 45%", "1-1.3 FAILED", "1-1.10 waiting"}},
        RenderCase{"low_is_one_line", FourPorts, {80, 5},
                   {"#3: 1 ok, 1 failed, 120/h  1-1.1 ok  1-1.2 45%  1-1.3 FAILED  1-1.10 waiting"}},
        RenderCase{"all_done_waits_for_the_next", [] {
                     Board board;
                     board.Taken("emu-1", 0);
                     board.Finished("emu-1", true, 4.25, "");
                     return board;
                   }, {80, 24},
                   {"Station: 1 taken, 1 updated, 0 failed, 60 units per hour", "  emu-1  ok 4.2 s",
                    "waiting for a TovrixPro in update mode (Ctrl-C to stop) ..."}},
        RenderCase{"the_next_unit_takes_the_port_over", [] {
                     Board board = FourPorts();
                     board.Waiting("1-1.3");
                     board.Taken("1-1.1", 50'000);
                     board.End();
                     return board;
                   }, {80, 24},
                   {"Station bench1: 4 taken, 1 updated, 1 failed, 120 units per hour", "  1-1.1   writing 0%", "  1-1.2   writing 45%",
                    "  1-1.3   waiting", "  1-1.10  waiting"}},
        // A station stopped: no more units taken, the units still being
        // written counted down; after a second request, interrupted.
        RenderCase{"stopped_its_units_finish", [] {
                     Board board = FourPorts();
                     board.Taken("1-1.10", 50'000);
                     board.Stopping(false);
                     return board;
                   }, {80, 24},
                   {"Station bench1: 4 taken, 1 updated, 1 failed, 120 units per hour", "  1-1.1   ok 14.2 s", "  1-1.2   writing 45%",
                    "  1-1.3   FAILED: report 37 of 2561 failed (no code): erased, flash again", "  1-1.10  writing 0%",
                    "stopping: 2 units finishing, Ctrl-C again to interrupt them"}},
        RenderCase{"stopped_one_unit_left", [] {
                     Board board = FourPorts();
                     board.Stopping(false);
                     return board;
                   }, {30, 24},
                   {"#3: 1 ok, 1 failed, 120/h", "1-1.1 ok", "1-1.2 45%", "1-1.3 FAILED", "1-1.10 waiting",
                    "stopping: 1 finishing"}},
        RenderCase{"stopped_twice_interrupts", [] {
                     Board board = FourPorts();
                     board.Stopping(false);
                     board.Stopping(true);
                     return board;
                   }, {100, 5},
                   {"#3: 1 ok, 1 failed, 120/h  1-1.1 ok  1-1.2 45%  1-1.3 FAILED  1-1.10 waiting  interrupting 1"}},
        // The record can no longer be written: the station takes no more.
        RenderCase{"the_record_failed", [] {
                     Board board = FourPorts();
                     board.RecordFailed("Cannot write the record file r: No space left on device");
                     return board;
                   }, {80, 24},
                   {"Station bench1: 3 taken, 1 updated, 1 failed, 120 units per hour", "  1-1.1   ok 14.2 s",
                    "  1-1.2   writing 45%", "  1-1.3   FAILED: report 37 of 2561 failed (no code): erased, flash again",
                    "  1-1.10  waiting",
                    "RECORD FAILED: Cannot write the record file r: No space left on device"}},
        RenderCase{"the_record_failed_compact", [] {
                     Board board = FourPorts();
                     board.RecordFailed("Cannot write the record file r: No space left on device");
                     return board;
                   }, {30, 24},
                   {"#3: 1 ok, 1 failed, 120/h", "1-1.1 ok", "1-1.2 45%", "1-1.3 FAILED", "1-1.10 waiting",
                    "RECORD FAILED"}}),

    [](const auto& info) { return std::string(info.param.name); });

TEST(BoardScreen, DrawsOverItsLastLinesAndErasesThem) {
  BoardScreen screen;
  EXPECT_EQ(screen.Erase(), "");
  EXPECT_EQ(screen.Draw({"a", "b"}), "\ra\x1b[K\nb\x1b[K\n\x1b[J");
  EXPECT_EQ(screen.Draw({"c"}), "\r\x1b[2Ac\x1b[K\n\x1b[J");
  EXPECT_TRUE(screen.Shown());
  EXPECT_EQ(screen.Erase(), "\r\x1b[1A\x1b[J");
  EXPECT_FALSE(screen.Shown());
}

#if !defined(_WIN32)

// What a terminal shows after text: the characters, carriage return, line
// feed (scrolling at the bottom) and the board's escape sequences (cursor
// up, erase to the end of the line, erase to the end of the screen).
class Screen {
 public:
  Screen(int columns, int rows) : columns_(columns), rows_(rows, std::string()) {}

  void Feed(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
        std::size_t end = i + 2;
        int n = 0;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) n = n * 10 + (text[end++] - '0');
        ASSERT_LT(end, text.size());
        const char code = text[end];
        if (code == 'A') {
          row_ = std::max(0, row_ - std::max(n, 1));
        } else if (code == 'K') {
          rows_[row_].resize(std::min<std::size_t>(rows_[row_].size(), column_));
        } else if (code == 'J') {
          rows_[row_].resize(std::min<std::size_t>(rows_[row_].size(), column_));
          for (std::size_t r = row_ + 1; r < rows_.size(); ++r) rows_[r].clear();
        } else {
          ADD_FAILURE() << "escape sequence " << code;
        }
        ++draws_[code];
        i = end;
      } else if (c == '\r') {
        column_ = 0;
      } else if (c == '\n') {
        if (++row_ == static_cast<int>(rows_.size())) {
          rows_.erase(rows_.begin());
          rows_.emplace_back();
          --row_;
        }
      } else {
        ASSERT_LT(column_, columns_) << "a line wrapped";
        std::string& line = rows_[row_];
        if (line.size() <= static_cast<std::size_t>(column_)) line.resize(column_ + 1, ' ');
        line[column_++] = c;
      }
    }
  }
  // The lines that are not empty, from the top.
  Lines Shown() const {
    Lines shown;
    for (const std::string& line : rows_) {
      if (!line.empty()) shown.push_back(line);
    }
    return shown;
  }
  int Count(char code) const { return draws_.count(code) ? draws_.at(code) : 0; }

 private:
  int columns_;
  std::vector<std::string> rows_;
  int row_ = 0;
  int column_ = 0;
  std::map<char, int> draws_;
};

// An output stream onto a file descriptor.
class FdBuffer : public std::streambuf {
 public:
  explicit FdBuffer(int fd) : fd_(fd) {}

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return 0;
    const char byte = static_cast<char>(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* data, std::streamsize n) override {
    std::streamsize done = 0;
    while (done < n) {
      const ssize_t wrote = ::write(fd_, data + done, static_cast<std::size_t>(n - done));
      if (wrote <= 0) return done;
      done += wrote;
    }
    return done;
  }

 private:
  int fd_;
};

// A pseudo-terminal of 80 x 24: what is written to its slave side is
// collected until Close.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    if (slave_ < 0 || ::ioctl(master_, TIOCSWINSZ, &size) != 0) return;
    reader_ = std::thread([this] {
      char buffer[4096];
      for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;) {
        shown_.append(buffer, static_cast<std::size_t>(n));
      }
    });
  }
  ~Pty() { Close(); }
  bool Ready() const { return reader_.joinable(); }
  int Slave() const { return slave_; }
  TerminalSize Size() const {
    winsize now{};
    ::ioctl(slave_, TIOCGWINSZ, &now);
    return TerminalSize{now.ws_col, now.ws_row};
  }
  // Everything the terminal was sent.
  const std::string& Close() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) ::close(master_);
    master_ = -1;
    return shown_;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::thread reader_;
  std::string shown_;
};

// A station of four units (the second one's write fails) with --all, its
// standard error a pseudo-terminal of 80 x 24 and its standard output a
// file: the board is drawn in place, paced, and stays with every port's
// end and the totals; the record is as without a terminal.
TEST(BoardOnATerminal, FourUnitsOneFails) {
  Pty pty;
  ASSERT_TRUE(pty.Ready());
  const int slave = pty.Slave();

  emu::BenchSettings settings;
  settings.ports = 4;
  settings.plan = [](int port, int) {
    emu::UnitPlan plan;
    if (port == 1) plan.unit.failWrite = 1200;
    return plan;
  };
  const auto run = [&](bool terminal) {
    emu::EmulatedBench bench(settings);
    test::TempDir dir;
    FdBuffer buffer(slave);
    std::ostream err(&buffer);
    std::atomic<int64_t> ticks{0};
    const std::string image = dir.Write("TOVRIXPRO.HEX", images::SampleImage());
    const test::FlashOutput flash = test::RunFlash({"--all", image}, [&](FlashIo& io) {
      if (terminal) {
        io.err = &err;
        io.errIsTerminal = true;
        io.errSize = [&] { return pty.Size(); };
      }
      io.nowMs = [&] { return ++ticks; };
      io.wallClock = [] { return test::kUnitWallTime; };
      io.hostName = [] { return std::string("bench"); };
      io.makeHid = [&] { return bench.NewView(); };
      io.makeWatch = [&] { return bench.NewWatch(); };
    });
    EXPECT_EQ(flash.status, kFailed);
    return std::make_pair(flash.out, ticks.load());
  };
  const auto [record, ticks] = run(true);
  const std::string shown = pty.Close();

  // What the terminal was sent, for a look at it (cat FILE in a terminal).
  if (const char* capture = std::getenv("TOVRIX_BOARD_CAPTURE")) std::ofstream(capture, std::ios::binary) << shown;
  // The image's line comes first, whole (its digest passes 80 columns).
  const test::ImageLineSplit terminal = test::SplitImageLine(shown);
  ASSERT_NE(terminal.imageLine, "") << shown;
  Screen screen(80, 24);
  screen.Feed(terminal.rest);
  Lines lines = screen.Shown();
  ASSERT_GE(lines.size(), 5u) << shown;
  // The failure's own lines above the board, then the board.
  EXPECT_EQ(Lines(lines.begin(), lines.end() - 5),
            (Lines{"tovrix-flash: [emu-2] Write Failure (no error code given) at report 1197 of",
                   "                      2561; the unit was erased and must be flashed again",
                   "tovrix-flash: [emu-2] Program Abort!"}));
  lines.erase(lines.begin(), lines.end() - 5);
  for (std::string& line : lines) line = std::regex_replace(line, std::regex("[0-9]+\\.[0-9] s|[0-9]+ units"), "N");
  EXPECT_EQ(lines, (Lines{"Station bench: 4 taken, 3 updated, 1 failed, N per hour", "  emu-1  ok N",
                          "  emu-2  FAILED: report 1197 of 2561 failed (no code): erased, flash again",
                          "  emu-3  ok N", "  emu-4  ok N"}))
      << shown;
  // In place, and paced: each draw after the first goes back over the
  // last one's lines; at most one draw each 100 ms of the clock, and the
  // last one.
  std::size_t draws = 0;
  for (std::size_t at = 0; (at = shown.find("\n\x1b[J", at)) != std::string::npos; ++at) ++draws;
  EXPECT_GT(draws, 5u);
  EXPECT_GE(static_cast<std::size_t>(screen.Count('A')), draws - 1);
  EXPECT_LE(static_cast<int64_t>(draws), ticks / 100 + 2);
  // Standard output: the record as without a terminal (each port's lines
  // in their order; the ends in any order, their times aside).
  const std::string plain = run(false).first;
  EXPECT_EQ(record.find('\x1b'), std::string::npos);
  const auto sorted = [](const std::string& text) {
    Lines lines;
    for (const std::string& line : test::SplitLines(text)) {
      lines.push_back(std::regex_replace(line, std::regex("  [0-9]+\\.[0-9] s  check .* ms  "), "  S  "));
    }
    std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
      return (a[0] == '[' ? a.substr(0, 7) : a) < (b[0] == '[' ? b.substr(0, 7) : b);
    });
    return lines;
  };
  EXPECT_EQ(sorted(record), sorted(plain));
  EXPECT_EQ(test::SplitLines(record).back(), "Summary: 3 updated, 1 failed: emu-2");
}

// A station of two units in real time, stopped once while both are
// written: the board says that both finish, then counts them down; it ends
// with both ok, the stop's line gone, and nothing else on the terminal.
TEST(BoardOnATerminal, StoppedStationLetsItsUnitsFinish) {
  Pty pty;
  ASSERT_TRUE(pty.Ready());
  FdBuffer buffer(pty.Slave());
  std::ostream err(&buffer);
  emu::BenchSettings settings;
  settings.ports = 2;
  // Each report 1 ms: the station sees the stop long before they end.
  settings.realTime = true;
  settings.plan = [](int, int) {
    emu::UnitPlan plan;
    plan.unit.reportMicros = 1000;
    return plan;
  };
  emu::EmulatedBench bench(settings);
  test::TempDir dir;
  std::atomic<int64_t> ticks{0};
  const std::string image = dir.Write("TOVRIXPRO.HEX", images::SampleImage());
  const test::FlashOutput run = test::RunFlash({"--all", image}, [&](FlashIo& io) {
    io.err = &err;
    io.errIsTerminal = true;
    io.errSize = [&] { return pty.Size(); };
    io.nowMs = [&] { return ++ticks; };
    io.wallClock = [] { return test::kUnitWallTime; };
    io.hostName = [] { return std::string("bench"); };
    io.stopRequests = [&] { return ticks >= 2000 ? 1 : 0; };
    io.makeHid = [&] { return bench.NewView(); };
    io.makeWatch = [&] { return bench.NewWatch(); };
  });
  const std::string shown = pty.Close();
  EXPECT_EQ(run.status, kUpdated);
  EXPECT_NE(shown.find("\nstopping: 2 units finishing, Ctrl-C again to interrupt them\x1b[K"), std::string::npos)
      << shown;
  const test::ImageLineSplit terminal = test::SplitImageLine(shown);
  ASSERT_NE(terminal.imageLine, "") << shown;
  Screen screen(80, 24);
  screen.Feed(terminal.rest);
  Lines lines = screen.Shown();
  for (std::string& line : lines) line = std::regex_replace(line, std::regex("[0-9]+\\.[0-9] s|[0-9]+ units"), "N");
  EXPECT_EQ(lines, (Lines{"Station bench: 2 taken, 2 updated, 0 failed, N per hour", "  emu-1  ok N", "  emu-2  ok N"})) << shown;
  EXPECT_EQ(test::SplitLines(run.out).back(), "Summary: 2 updated, 0 failed");
}

#endif

}  // namespace
}  // namespace tovrix::cli
