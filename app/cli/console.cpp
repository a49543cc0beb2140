#include "app/cli/console.h"

#include "messages/messages.h"  // TerminalText

namespace tovrix::cli {

void Terminal::BoardOff(bool forOut) {
  if (!board || !screen.Shown() || (forOut && !outIsTerminal)) return;
  *err << screen.Erase();
  err->flush();
}

void Terminal::BoardShow(bool force) {
  if (!board || (screen.Shown() && !boardChanged && !force)) return;
  const int64_t now = nowMs();
  if (!force && boardDrawn && now - boardDrawnAt < kRedrawMs) return;
  *err << screen.Draw(board->Render(size(), now));
  err->flush();
  boardChanged = false;
  boardDrawn = true;
  boardDrawnAt = now;
}

void Terminal::BoardChanged() {
  boardChanged = true;
  BoardShow(false);
}

void Terminal::DrawProgress(std::ostream& out, bool single) {
  std::string text;
  if (single && writing.size() == 1) {
    text = ProgressText(writing.begin()->second);
  } else {
    for (const auto& [port, progress] : writing) {
      if (!text.empty()) text += "  ";
      text += TerminalText("[" + port + "] " + std::to_string(progress.Percent()) + "%");
    }
  }
  out << '\r' << text;
  if (text.size() < shown) out << std::string(shown - text.size(), ' ') << '\r' << text;
  out.flush();
  shown = text.size();
}

void Terminal::WipeProgress(std::ostream& out) {
  if (shown == 0) return;
  out << '\r' << std::string(shown, ' ') << '\r';
  out.flush();
  shown = 0;
}

std::shared_ptr<Terminal> NewTerminal() { return std::make_shared<Terminal>(); }

std::shared_ptr<Terminal> NewBoardTerminal(std::ostream& err, std::function<TerminalSize()> size,
                                           std::function<int64_t()> nowMs, bool outIsTerminal) {
  auto terminal = std::make_shared<Terminal>();
  terminal->board = std::make_unique<Board>();
  terminal->err = &err;
  terminal->size = std::move(size);
  terminal->nowMs = std::move(nowMs);
  terminal->outIsTerminal = outIsTerminal;
  return terminal;
}

void BoardWaiting(Terminal& terminal, const std::string& port) {
  const std::lock_guard<std::mutex> lock(terminal.mutex);
  if (!terminal.board) return;
  terminal.board->Waiting(port);
  terminal.BoardChanged();
}

void BoardTaken(Terminal& terminal, const std::string& port) {
  const std::lock_guard<std::mutex> lock(terminal.mutex);
  if (!terminal.board) return;
  terminal.board->Taken(port, terminal.nowMs());
  terminal.BoardChanged();
}

void BoardRefused(Terminal& terminal, const std::string& why) {
  const std::lock_guard<std::mutex> lock(terminal.mutex);
  if (!terminal.board) return;
  terminal.board->Refused(why);
}

void BoardStation(Terminal& terminal, const std::string& station) {
  const std::lock_guard<std::mutex> lock(terminal.mutex);
  if (!terminal.board) return;
  // Shown with the board's first draw, after the image's line.
  terminal.board->Station(station);
}

void BoardRecordFailed(Terminal& terminal, const std::string& text) {
  const std::lock_guard<std::mutex> lock(terminal.mutex);
  if (!terminal.board) return;
  terminal.board->RecordFailed(text);
  terminal.BoardChanged();
}

void BoardRefresh(Terminal& terminal) {
  const std::lock_guard<std::mutex> lock(terminal.mutex);
  terminal.BoardShow(false);
}

void BoardResult(Terminal& terminal, const UnitResult& result) {
  if (!terminal.board) return;
  terminal.board->Finished(result.port, result.status == 0, result.seconds,
                           result.writeFailure ? WriteFailureBrief(*result.writeFailure) : result.reason);
  terminal.boardChanged = true;
}

bool BoardStopping(Terminal& terminal, bool interrupt) {
  if (!terminal.board) return false;
  terminal.board->Stopping(interrupt);
  terminal.BoardChanged();
  return true;
}

void BoardEnd(Terminal& terminal) {
  if (!terminal.board) return;
  terminal.board->End();
  terminal.BoardShow(true);
}

}  // namespace tovrix::cli
