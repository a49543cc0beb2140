// The console that the reports of a run share (output.h: Terminal): the
// lock of the streams, the progress line on standard error, and the
// station's board (board.h) where standard error can show one. The
// members and functions here are used with the lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "app/cli/board.h"
#include "app/cli/output.h"

namespace tovrix::cli {

// The progress line and the board: at most 10 draws a second.
inline constexpr int64_t kRedrawMs = 100;

struct Terminal {
  std::mutex mutex;
  std::size_t shown = 0;  // characters of the progress line on the screen
  bool drawn = false;
  int64_t drawnAt = 0;
  std::map<std::string, Progress> writing;  // the units being written, by port

  // The board, when standard error shows one: drawn at most every kRedrawMs
  // (once more at the end), when something on it changed or it was taken
  // away for other output. Standard output's lines take it away only when
  // they go to the terminal too.
  std::unique_ptr<Board> board;
  BoardScreen screen;
  std::ostream* err = nullptr;
  std::function<TerminalSize()> size;
  std::function<int64_t()> nowMs;
  bool outIsTerminal = false;
  bool boardChanged = false;
  bool boardDrawn = false;
  int64_t boardDrawnAt = 0;

  void BoardOff(bool forOut);
  void BoardShow(bool force);
  void BoardChanged();

  // The progress line on err: one unit's in full (single), or every unit's
  // share ("[PORT] NN%").
  void DrawProgress(std::ostream& err, bool single);
  // Clears the progress line, so that the next output starts on a clean
  // line.
  void WipeProgress(std::ostream& err);
};

// A unit's end on the board; a write that failed in its short form.
void BoardResult(Terminal& terminal, const UnitResult& result);
// The station stops: the board says so, and how many units finish. False
// without a board.
bool BoardStopping(Terminal& terminal, bool interrupt);
// The station's end: the board's last state stays on the screen.
void BoardEnd(Terminal& terminal);

}  // namespace tovrix::cli
