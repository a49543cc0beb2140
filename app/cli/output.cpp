#include "app/cli/output.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <ostream>
#include <string>

#include "app/cli/board.h"
#include "hid/unit_identity.h"
#include "messages/messages.h"

namespace tovrix::cli {
namespace {

constexpr std::string_view kProgram = "tovrix-flash: ";
constexpr int64_t kRedrawMs = 100;  // the progress line and the board: at most 10 draws a second

std::string Duration(int64_t ms) {
  const int64_t seconds = ms / 1000;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// The fields of a device event after "event" and "path".
std::string DeviceFields(const HidInterfaceInfo& info) {
  std::string fields = ",\"port\":" + (info.port.empty() ? std::string("null") : JsonString(info.port));
  if (info.identified) {
    fields += ",\"vid\":\"" + Hex4(info.attributes.VendorID) + "\",\"pid\":\"" +
              Hex4(info.attributes.ProductID) + "\",\"version\":\"" +
              Hex4(info.attributes.VersionNumber) + "\"";
  } else {
    fields += ",\"vid\":null,\"pid\":null,\"version\":null";
  }
  return fields;
}

std::string ListedFields(const ListedInterface& entry) {
  std::string fields = ",\"path\":" + JsonString(entry.info.path) + DeviceFields(entry.info) +
                       ",\"unit\":" + (entry.unit ? "true" : "false");
  if (entry.unit) {
    fields += std::string(",\"opens\":") + (entry.opens ? "true" : "false");
    if (!entry.opens) {
      fields += ",\"problem\":" + JsonString(entry.reason) + ",\"fix\":" + JsonString(entry.fix);
    }
  }
  return fields;
}

// The text of the unit's progress in a station's progress line.
std::string Short(const std::string& port, const Progress& progress) {
  return "[" + port + "] " + std::to_string(progress.Percent()) + "%";
}

}  // namespace

// The streams' lock, and the progress line or the station's board on
// standard error.
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

  // The members below with the lock held.
  void BoardOff(bool forOut) {
    if (!board || !screen.Shown() || (forOut && !outIsTerminal)) return;
    *err << screen.Erase();
    err->flush();
  }
  void BoardShow(bool force) {
    if (!board || (screen.Shown() && !boardChanged && !force)) return;
    const int64_t now = nowMs();
    if (!force && boardDrawn && now - boardDrawnAt < kRedrawMs) return;
    *err << screen.Draw(board->Render(size(), now));
    err->flush();
    boardChanged = false;
    boardDrawn = true;
    boardDrawnAt = now;
  }
  void BoardChanged() {
    boardChanged = true;
    BoardShow(false);
  }
};

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

void BoardRefresh(Terminal& terminal) {
  const std::lock_guard<std::mutex> lock(terminal.mutex);
  terminal.BoardShow(false);
}

namespace {

// A unit's end on the board; a write that failed in its short form.
void BoardResult(Terminal& terminal, const UnitResult& result) {
  if (!terminal.board) return;
  terminal.board->Finished(result.port, result.status == 0, result.seconds,
                           result.writeFailure ? WriteFailureBrief(*result.writeFailure) : result.reason);
  terminal.boardChanged = true;
}

// The station stops: the board says so, and how many units finish.
bool BoardStopping(Terminal& terminal, bool interrupt) {
  if (!terminal.board) return false;
  terminal.board->Stopping(interrupt);
  terminal.BoardChanged();
  return true;
}

// The error event's fields of a write that failed, after its text.
std::string WriteFailureFields(const WriteFailure& failure) {
  return std::string(",\"report\":") +
         (failure.at == WriteFailure::At::Write ? std::to_string(failure.report) : std::string("null")) +
         ",\"total_reports\":" + std::to_string(failure.totalReports) +
         ",\"code\":" + (failure.code ? std::to_string(*failure.code) : std::string("null"));
}

// The station's end: the board's last state stays on the screen.
void BoardEnd(Terminal& terminal) {
  if (!terminal.board) return;
  terminal.board->End();
  terminal.BoardShow(true);
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

class TextReport final : public Report {
 public:
  TextReport(const ReportSettings& settings, std::ostream& out, std::ostream& err)
      : settings_(settings), out_(out), err_(err), terminal_(settings.terminal ? settings.terminal : NewTerminal()) {
    if (!settings_.port.empty()) tag_ = "[" + settings_.port + "] ";
  }

  void Image(std::string_view path, int64_t bytes, std::string_view sha256) override {
    if (settings_.quiet) return;
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    Wipe();
    // One line, whole, so that the digest can be copied from it: the one
    // text for people that may pass 80 columns.
    err_ << TerminalText("Image " + std::string(path) + ": " + std::to_string(bytes) + " bytes, SHA-256 " +
                         std::string(sha256))
         << '\n';
    err_.flush();
  }
  void Log(std::string_view line) override {
    if (settings_.quiet) return;
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    Wipe();
    terminal_->BoardOff(true);
    out_ << TerminalText(tag_ + std::string(line)) << '\n';
    out_.flush();
    terminal_->BoardShow(false);
  }
  void Error(std::string_view text) override {
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    Wipe();
    terminal_->BoardOff(false);
    out_.flush();
    const std::string lead = TerminalText(std::string(kProgram) + tag_);
    err_ << PeopleLines(lead, TerminalText(text), std::min<std::size_t>(lead.size(), 24));
    err_.flush();
    terminal_->BoardShow(false);
  }
  void WriteFailed(const WriteFailure& failure) override { Error(WriteFailureText(failure)); }
  void Unit(const HidInterfaceInfo&) override {}
  void Advance(const Progress& progress) override {
    if (settings_.quiet || !settings_.errIsTerminal) return;
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    if (terminal_->board) {
      terminal_->board->Writing(settings_.port, progress.Percent());
      terminal_->BoardChanged();
      return;
    }
    terminal_->writing[settings_.port] = progress;
    const int64_t now = settings_.nowMs();
    if (terminal_->drawn && now - terminal_->drawnAt < kRedrawMs) return;
    Draw();
    terminal_->drawn = true;
    terminal_->drawnAt = now;
  }
  void EndProgress() override {
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    terminal_->writing.erase(settings_.port);
    Wipe();
  }
  void Listed(const ListedInterface& entry) override {
    out_ << TerminalText(ListLine(entry)) << '\n';
    out_.flush();
  }
  void Candidate(const ListedInterface& entry) override {
    err_ << PeopleLines("  ", TerminalText(ListLine(entry)), 4);
    err_.flush();
  }
  void Waiting() override {
    if (settings_.quiet || !settings_.errIsTerminal) return;
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    if (terminal_->board) return terminal_->BoardChanged();  // the board says so
    Wipe();
    err_ << kProgram << "waiting for a TovrixPro in update mode (Ctrl-C to stop) ...\n";
    err_.flush();
  }
  void Result(const UnitResult& result) override {
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    Wipe();
    BoardResult(*terminal_, result);
    terminal_->BoardOff(true);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", result.seconds);
    out_ << TerminalText(result.time + "  " + result.port + "  " +
                         (result.status == 0 ? std::string("ok") : "failed: " + result.reason) + "  " + seconds)
         << '\n';
    out_.flush();
    terminal_->BoardShow(false);
  }
  void Stopping(int64_t finishing, bool interrupt) override {
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    if (BoardStopping(*terminal_, interrupt) || interrupt) return;
    // Without the board, once: each interrupted unit says what was done.
    Wipe();
    err_ << PeopleLines(kProgram, StoppingText(finishing), kProgram.size());
    err_.flush();
  }
  void Summary(int64_t updated, int64_t failed, const std::vector<std::string>& failedPorts) override {
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    Wipe();
    terminal_->BoardOff(true);
    std::string line = "Summary: " + std::to_string(updated) + " updated, " + std::to_string(failed) + " failed";
    for (std::size_t i = 0; i < failedPorts.size(); ++i) line += (i == 0 ? ": " : ", ") + failedPorts[i];
    out_ << TerminalText(line) << '\n';
    out_.flush();
  }
  void Done(int, double) override {
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    Wipe();
    BoardEnd(*terminal_);
  }

 private:
  // The progress line: one unit's in full; in a station, every unit's share.
  void Draw() {
    std::string text;
    if (settings_.port.empty() && terminal_->writing.size() == 1) {
      text = ProgressText(terminal_->writing.begin()->second);
    } else {
      for (const auto& [port, progress] : terminal_->writing) {
        if (!text.empty()) text += "  ";
        text += TerminalText(Short(port, progress));
      }
    }
    err_ << '\r' << text;
    if (text.size() < terminal_->shown) {
      err_ << std::string(terminal_->shown - text.size(), ' ') << '\r' << text;
    }
    err_.flush();
    terminal_->shown = text.size();
  }
  // Clears the progress line, so that the next output starts on a clean
  // line.
  void Wipe() {
    if (terminal_->shown == 0) return;
    err_ << '\r' << std::string(terminal_->shown, ' ') << '\r';
    err_.flush();
    terminal_->shown = 0;
  }

  ReportSettings settings_;
  std::ostream& out_;
  std::ostream& err_;
  std::shared_ptr<Terminal> terminal_;
  std::string tag_;  // "[PORT] " in a station run
};

class JsonReport final : public Report {
 public:
  JsonReport(const ReportSettings& settings, std::ostream& out)
      : settings_(settings), out_(out), terminal_(settings.terminal ? settings.terminal : NewTerminal()) {
    if (!settings_.port.empty()) tag_ = ",\"port\":" + JsonString(settings_.port);
  }

  void Image(std::string_view path, int64_t bytes, std::string_view sha256) override {
    Event("image", ",\"path\":" + JsonString(path) + ",\"bytes\":" + std::to_string(bytes) +
                       ",\"sha256\":" + JsonString(sha256));
  }
  void Log(std::string_view line) override {
    if (!settings_.quiet) Event("log", tag_ + ",\"text\":" + JsonString(line));
  }
  void Error(std::string_view text) override { Event("error", tag_ + ",\"text\":" + JsonString(text)); }
  void WriteFailed(const WriteFailure& failure) override {
    Event("error", tag_ + ",\"text\":" + JsonString(WriteFailureText(failure)) + WriteFailureFields(failure));
  }
  void Unit(const HidInterfaceInfo& unit) override {
    if (!settings_.quiet) Event("device", ",\"path\":" + JsonString(unit.path) + DeviceFields(unit));
  }
  void Advance(const Progress& progress) override {
    // One event for each percent reached: at most 101 in a write.
    const int percent = progress.Percent();
    if (terminal_->board && !settings_.quiet) {
      const std::lock_guard<std::mutex> lock(terminal_->mutex);
      terminal_->board->Writing(settings_.port, percent);
      terminal_->BoardChanged();
    }
    if (settings_.quiet || percent == lastPercent_) return;
    lastPercent_ = percent;
    Event("progress", tag_ + ",\"percent\":" + std::to_string(percent) +
                          ",\"bytes\":" + std::to_string(progress.bytes) +
                          ",\"total\":" + std::to_string(progress.totalBytes) +
                          ",\"reports\":" + std::to_string(progress.reports) +
                          ",\"total_reports\":" + std::to_string(progress.totalReports));
  }
  void EndProgress() override {}
  void Listed(const ListedInterface& entry) override { Event("device", ListedFields(entry)); }
  void Candidate(const ListedInterface& entry) override { Event("device", ListedFields(entry)); }
  void Waiting() override {}
  void Result(const UnitResult& result) override {
    {
      const std::lock_guard<std::mutex> lock(terminal_->mutex);
      BoardResult(*terminal_, result);
    }
    std::string time = result.time;
    const std::size_t blank = time.find(' ');
    if (blank != std::string::npos) time[blank] = 'T';
    std::string fields = ",\"time\":" + JsonString(time) + ",\"port\":" + JsonString(result.port) +
                         ",\"path\":" + JsonString(result.path) + ",\"sha256\":" + JsonString(result.sha256) +
                         ",\"result\":" +
                         (result.status == 0 ? "\"ok\"" : "\"failed\",\"reason\":" + JsonString(result.reason));
    Event("unit", fields + ",\"status\":" + std::to_string(result.status) + ",\"seconds\":" + Seconds(result.seconds));
  }
  void Stopping(int64_t finishing, bool interrupt) override {
    if (terminal_->board) {
      const std::lock_guard<std::mutex> lock(terminal_->mutex);
      BoardStopping(*terminal_, interrupt);
    }
    if (!interrupt) Event("stopping", ",\"finishing\":" + std::to_string(finishing));
  }
  void Summary(int64_t updated, int64_t failed, const std::vector<std::string>& failedPorts) override {
    std::string ports;
    for (const std::string& port : failedPorts) {
      if (!ports.empty()) ports += ',';
      ports += JsonString(port);
    }
    Event("summary", ",\"updated\":" + std::to_string(updated) + ",\"failed\":" + std::to_string(failed) +
                         ",\"failed_ports\":[" + ports + "]");
  }
  void Done(int status, double seconds) override {
    Event("done", ",\"status\":" + std::to_string(status) + ",\"seconds\":" + Seconds(seconds));
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    BoardEnd(*terminal_);
  }

 private:
  void Event(const char* name, const std::string& fields) {
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    terminal_->BoardOff(true);
    out_ << "{\"event\":\"" << name << '"' << fields << "}\n";
    out_.flush();
    terminal_->BoardShow(false);
  }

  ReportSettings settings_;
  std::ostream& out_;
  std::shared_ptr<Terminal> terminal_;
  std::string tag_;  // ,"port":PORT in a station run
  int lastPercent_ = -1;
};

}  // namespace

int Progress::Percent() const {
  if (totalBytes > 0) return static_cast<int>(std::min<int64_t>(bytes * 100 / totalBytes, 100));
  if (totalReports > 0) return static_cast<int>(std::min<int64_t>(reports * 100 / totalReports, 100));
  return 100;
}

std::string WriteFailureText(const WriteFailure& failure) {
  using At = WriteFailure::At;
  const std::string total = std::to_string(failure.totalReports);
  std::string where;
  switch (failure.at) {
    case At::Query: where = "at QUERY, before ERASE"; break;
    case At::Erase: where = "at ERASE"; break;
    case At::AfterErase: where = "at the QUERY after ERASE, before the first of " + total + " reports"; break;
    case At::Write: where = "at report " + std::to_string(failure.report) + " of " + total; break;
    case At::Reset: where = "at RESET, after all " + total + " reports"; break;
  }
  const std::string meaning = failure.at == At::Query   ? "the unit was not changed"
                              : failure.at == At::Erase ? "the unit may have been erased and must be flashed again"
                                                        : "the unit was erased and must be flashed again";
  const std::string code = failure.code ? "(code=" + std::to_string(*failure.code) + ")" : "(no error code given)";
  return "Write Failure " + code + " " + where + "; " + meaning;
}

std::string WriteFailureBrief(const WriteFailure& failure) {
  using At = WriteFailure::At;
  std::string where;
  switch (failure.at) {
    case At::Query: where = "QUERY"; break;
    case At::Erase: where = "ERASE"; break;
    case At::AfterErase: where = "QUERY after ERASE"; break;
    case At::Write:
      where = "report " + std::to_string(failure.report) + " of " + std::to_string(failure.totalReports);
      break;
    case At::Reset: where = "RESET"; break;
  }
  const std::string meaning = failure.at == At::Query   ? "not changed"
                              : failure.at == At::Erase ? "may be erased, flash again"
                                                        : "erased, flash again";
  const std::string code = failure.code ? "(code=" + std::to_string(*failure.code) + ")" : "(no code)";
  return where + " failed " + code + ": " + meaning;
}

std::string ProgressText(const Progress& progress) {
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", progress.Percent());
  std::string text = std::string(percent) + "  " + std::to_string(progress.bytes) +
                     " of " + std::to_string(progress.totalBytes) + " bytes  " +
                     std::to_string(progress.reports) + " of " +
                     std::to_string(progress.totalReports) + " reports  " +
                     Duration(progress.elapsedMs) + " elapsed  ";
  if (progress.reports > 0 && progress.totalReports >= progress.reports) {
    text += Duration(progress.elapsedMs * (progress.totalReports - progress.reports) / progress.reports);
  } else {
    text += "?";
  }
  return text + " left";
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      // JSON is UTF-8: text in another encoding (a path, say) keeps its
      // well-formed sequences, and each other byte becomes U+FFFD.
      const std::size_t length = Utf8Length(text, at);
      if (length == 0) {
        out += "\\ufffd";
        ++at;
      } else {
        out.append(text, at, length);
        at += length;
      }
      continue;
    }
    ++at;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string PeopleLines(std::string_view lead, std::string_view text, std::size_t indent) {
  struct Word {
    std::string_view text;
    std::size_t blanks;  // after it
  };
  std::vector<Word> words;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    const std::size_t next = std::min(text.find_first_not_of(' ', end), text.size());
    words.push_back({text.substr(at, end - at), next - end});
    at = next;
  }
  std::string lines(lead);
  std::size_t column = lead.size();
  for (std::size_t i = 0; i < words.size();) {
    // As many words as fit, at least one; a break after a mark or at a
    // field's gap is preferred when the line keeps 2/5 of its room.
    const std::size_t room = kPeopleColumns > column ? kPeopleColumns - column : 0;
    std::size_t j = i + 1, width = words[i].text.size(), preferred = 0;
    for (; j < words.size(); ++j) {
      const Word& before = words[j - 1];
      const char last = before.text.empty() ? ' ' : before.text.back();
      if ((last == ':' || last == ';' || last == ',' || before.blanks >= 2) && width * 5 >= room * 2) {
        preferred = j;
      }
      const std::size_t with = width + before.blanks + words[j].text.size();
      if (with > room) break;
      width = with;
    }
    if (j < words.size()) {
      if (indent + words[j].text.size() > kPeopleColumns) {
        ++j;  // a word too long for any line goes on this one
      } else if (preferred > 0) {
        j = preferred;
      }
    }
    for (std::size_t k = i; k < j; ++k) {
      lines.append(words[k].text);
      if (k + 1 < j) lines.append(words[k].blanks, ' ');
    }
    i = j;
    if (i < words.size()) {
      lines += '\n';
      lines.append(indent, ' ');
      column = indent;
    }
  }
  return lines + '\n';
}

std::unique_ptr<Report> MakeReport(const ReportSettings& settings, std::ostream& out,
                                   std::ostream& err) {
  if (settings.json) return std::make_unique<JsonReport>(settings, out);
  return std::make_unique<TextReport>(settings, out, err);
}

}  // namespace tovrix::cli
