// The station board: what the operator at the bench sees on standard error
// while a station runs there on a terminal (standard output stays the
// record). One line per port, in the order the ports were first seen, under
// the station's name, the units it took and the totals:
//
//   Station bench1: 4 taken, 3 updated, 1 failed, 52 units per hour
//     emu-1  ok 14.2 s
//     emu-2  FAILED: report 37 of 2561 failed (no code): erased, flash again
//     emu-3  writing 45%
//     emu-4  waiting
//
// "waiting": a unit is there and waits for its turn (or for access to it);
// "writing N%": the unit is being updated, from the moment it is taken (its
// check and erase show 0%); "ok S s" and "FAILED: REASON": how the last unit
// there ended, kept until the next unit arrives. While no unit is written
// or waits, a last line says that the station waits for one. The units per
// hour are those done (updated or failed) since the first was taken, shown
// once one is done. A station that was asked to stop takes no more units:
// its last line then says how many are still being written,
//
//   stopping: 2 units finishing, Ctrl-C again to interrupt them
//
// and after a second request "interrupting 2 units ...". A station whose
// image was refused takes no unit: a line under the totals says why,
//
//   image refused: not approved, SHA-256 9f86d081884c7d65...
//
// On a terminal narrower than kBoardColumns, the compact form: the same
// lines, short ("#4: 3 ok, 1 failed, 52/h": the count, not the name;
// "emu-1 ok", "emu-2 FAILED", "emu-3 45%", "emu-4 waiting"). On one too low
// for every line and the cursor's, those short texts on one line:
//
//   #4: 3 ok, 1 failed, 52/h  emu-1 ok  emu-2 FAILED  emu-3 45%  emu-4 waiting
//
// A record file that can no longer be written stops the station: its last
// line says so, "RECORD FAILED: Cannot write the record file FILE: REASON"
// ("RECORD FAILED" short).
//
// No line is longer than the terminal's columns less one (a longer one ends
// in "..."), so that none wraps and the board can be drawn over itself.
//
// Board holds the states and renders them as text; BoardScreen draws that
// text in place. Neither does any output, or any locking, of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tovrix::cli {

struct TerminalSize {
  int columns = 0;
  int rows = 0;  // 0: unknown
};

// The fewest columns for the full board.
inline constexpr int kBoardColumns = 40;

class Board {
 public:
  // The station's name, on the first line.
  void Station(const std::string& name) { station_ = name; }
  // The record can no longer be written (text says why): no more units.
  void RecordFailed(const std::string& text) { recordFailed_ = text; }
  // A unit is there and waits to be taken.
  void Waiting(const std::string& port);
  // The station took the unit on port: writing 0%.
  void Taken(const std::string& port, int64_t nowMs);
  void Writing(const std::string& port, int percent);
  // The unit on port ended: updated (ok) after seconds, or failed for reason.
  void Finished(const std::string& port, bool ok, double seconds, const std::string& reason);
  // The station takes no more units: those being written finish (or,
  // interrupt, are stopped too).
  void Stopping(bool interrupt) {
    stopping_ = true;
    interrupting_ = interrupting_ || interrupt;
  }
  // The image was refused (why, in short): the station takes no unit.
  void Refused(const std::string& why) { refused_ = why; }
  // The station is over: it waits for no more units.
  void End() { ended_ = true; }

  // The lines to show on a terminal of size at nowMs.
  std::vector<std::string> Render(TerminalSize size, int64_t nowMs) const;

 private:
  enum class State { Waiting, Writing, Ok, Failed };
  struct Port {
    std::string name;
    State state = State::Waiting;
    int percent = 0;
    double seconds = 0;
    std::string reason;
  };
  Port& At(const std::string& port);
  std::string Totals(int64_t nowMs, bool compact) const;
  std::string StopLine(bool brief) const;

  std::vector<Port> ports_;
  int updated_ = 0;
  int failed_ = 0;
  int64_t firstTakenMs_ = -1;
  std::string refused_;
  int64_t taken_ = 0;
  std::string station_;
  std::string recordFailed_;
  bool ended_ = false;
  bool stopping_ = false;
  bool interrupting_ = false;
};

// What a station that stops says of the units still being written:
// "stopping: 2 units finishing, Ctrl-C again to interrupt them".
std::string StoppingText(int64_t finishing);

// Draws lines in place on a terminal: each Draw goes back over the lines it
// drew last, draws the new ones over them and clears the rest of the
// screen. The cursor is left at the start of the line under the board, so
// that other output can go there once Erase has taken the board away.
class BoardScreen {
 public:
  std::string Draw(const std::vector<std::string>& lines);
  // Takes the board off the screen; the cursor where the board began.
  std::string Erase();
  bool Shown() const { return lines_ > 0; }

 private:
  std::size_t lines_ = 0;
};

}  // namespace tovrix::cli
