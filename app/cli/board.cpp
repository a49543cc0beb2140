#include "app/cli/board.h"

#include <algorithm>
#include <cstdio>

#include "messages/messages.h"

namespace tovrix::cli {
namespace {

constexpr const char* kWaitingLine = "waiting for a TovrixPro in update mode (Ctrl-C to stop) ...";

// line cut to at most width characters, ending in "..." when cut.
std::string Fit(std::string line, std::size_t width) {
  if (line.size() <= width) return line;
  if (width < 3) return line.substr(0, width);
  return line.substr(0, width - 3) + "...";
}

}  // namespace

Board::Port& Board::At(const std::string& port) {
  for (Port& entry : ports_) {
    if (entry.name == port) return entry;
  }
  ports_.emplace_back();
  ports_.back().name = port;
  return ports_.back();
}

void Board::Waiting(const std::string& port) {
  Port& entry = At(port);
  if (entry.state == State::Writing) return;
  entry.state = State::Waiting;
  entry.reason.clear();
}

void Board::Taken(const std::string& port, int64_t nowMs) {
  if (firstTakenMs_ < 0) firstTakenMs_ = nowMs;
  ++taken_;
  Port& entry = At(port);
  entry.state = State::Writing;
  entry.percent = 0;
  entry.reason.clear();
}

void Board::Writing(const std::string& port, int percent) {
  Port& entry = At(port);
  entry.state = State::Writing;
  entry.percent = percent;
}

void Board::Finished(const std::string& port, bool ok, double seconds, const std::string& reason) {
  Port& entry = At(port);
  entry.state = ok ? State::Ok : State::Failed;
  entry.seconds = seconds;
  entry.reason = reason;
  ++(ok ? updated_ : failed_);
}

std::string Board::Totals(int64_t nowMs, bool compact) const {
  std::string text = (compact ? "" : std::to_string(taken_) + " taken, ") + std::to_string(updated_) +
                     (compact ? " ok, " : " updated, ") + std::to_string(failed_) + " failed";
  const int done = updated_ + failed_;
  if (done > 0 && firstTakenMs_ >= 0 && nowMs > firstTakenMs_) {
    const int64_t perHour = static_cast<int64_t>(done) * 3'600'000 / (nowMs - firstTakenMs_);
    text += ", " + std::to_string(perHour) + (compact ? "/h" : " units per hour");
  }
  // Short: the count without the name, which the full form shows.
  // Appended piece by piece: MinGW's GCC 12 at -O3 takes a literal plus a
  // number's text for an overlapping copy (-Wrestrict).
  std::string line = compact ? std::string("#") : std::string("Station");
  if (compact) {
    line.append(std::to_string(taken_));
  } else if (const std::string name = TerminalText(station_); !name.empty()) {
    line.append(" ").append(name);
  }
  return line.append(": ").append(text);
}

// The last line of a station that stops: the units still being written.
std::string Board::StopLine(bool brief) const {
  const auto writing = std::count_if(ports_.begin(), ports_.end(), [](const Port& port) {
    return port.state == State::Writing;
  });
  const std::string units = std::to_string(writing) + (writing == 1 ? " unit" : " units");
  if (interrupting_) return brief ? "interrupting " + std::to_string(writing) : "interrupting " + units + " ...";
  return brief ? "stopping: " + std::to_string(writing) + " finishing" : StoppingText(writing);
}

std::string StoppingText(int64_t finishing) {
  return "stopping: " + std::to_string(finishing) + (finishing == 1 ? " unit" : " units") +
         " finishing, Ctrl-C again to interrupt " + (finishing == 1 ? "it" : "them");
}

std::vector<std::string> Board::Render(TerminalSize size, int64_t nowMs) const {
  const bool stopping = stopping_ && !ended_;
  const bool idle = !ended_ && !stopping_ && refused_.empty() && std::none_of(ports_.begin(), ports_.end(), [](const Port& port) {
    return port.state == State::Waiting || port.state == State::Writing;
  });
  const std::size_t width = size.columns > 1 ? static_cast<std::size_t>(size.columns - 1) : 1;
  const bool recordFailed = !recordFailed_.empty();
  const std::size_t lines =
      1 + (refused_.empty() ? 0 : 1) + ports_.size() + (idle || stopping ? 1 : 0) + (recordFailed ? 1 : 0);
  const bool compact = size.columns < kBoardColumns;
  // Every line and the cursor's below them, or all on one line.
  const bool oneLine = size.rows > 0 && lines + 1 > static_cast<std::size_t>(size.rows);
  const bool brief = compact || oneLine;

  std::size_t nameWidth = 0;
  // Ports and reasons come from outside: shown with their control
  // characters escaped.
  std::vector<std::string> names;
  for (const Port& port : ports_) {
    names.push_back(TerminalText(port.name));
    nameWidth = std::max(nameWidth, names.back().size());
  }
  std::vector<std::string> out{Totals(nowMs, brief)};
  // The reason names the image's digest or the signer's key: in full where
  // it fits, cut like any line where it does not.
  if (!refused_.empty()) out.push_back(brief ? "image refused" : "image refused: " + TerminalText(refused_));
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    const Port& port = ports_[i];
    const std::string& name = names[i];
    std::string state;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", port.seconds);
    switch (port.state) {
      case State::Waiting: state = "waiting"; break;
      case State::Writing: state = (brief ? "" : "writing ") + std::to_string(port.percent) + "%"; break;
      case State::Ok: state = brief ? std::string("ok") : "ok " + std::string(seconds); break;
      case State::Failed: state = brief ? std::string("FAILED") : "FAILED: " + TerminalText(port.reason); break;
    }
    const std::string pad = brief ? " " : std::string(nameWidth - name.size() + 2, ' ');
    out.push_back((brief ? "" : "  ") + name + pad + state);
  }
  if (idle) out.push_back(brief ? "waiting (Ctrl-C to stop)" : kWaitingLine);
  if (stopping) out.push_back(StopLine(brief));
  if (recordFailed) out.push_back(brief ? "RECORD FAILED" : "RECORD FAILED: " + TerminalText(recordFailed_));
  if (oneLine) {
    std::string all;
    for (const std::string& line : out) all += (all.empty() ? "" : "  ") + line;
    out.assign(1, all);
  }
  for (std::string& line : out) line = Fit(line, width);
  return out;
}

std::string BoardScreen::Draw(const std::vector<std::string>& lines) {
  std::string text = "\r";
  if (lines_ > 0) text += "\x1b[" + std::to_string(lines_) + "A";
  for (const std::string& line : lines) text += line + "\x1b[K\n";
  lines_ = lines.size();
  return text + "\x1b[J";
}

std::string BoardScreen::Erase() {
  if (lines_ == 0) return "";
  const std::string text = "\r\x1b[" + std::to_string(lines_) + "A\x1b[J";
  lines_ = 0;
  return text;
}

}  // namespace tovrix::cli
