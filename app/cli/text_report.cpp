#include "app/cli/text_report.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>

#include "app/cli/console.h"
#include "app/cli/people_lines.h"
#include "messages/messages.h"

namespace tovrix::cli {
namespace {

constexpr std::string_view kProgram = "tovrix-flash: ";

std::string Milliseconds(const std::optional<int64_t>& ms) { return ms ? std::to_string(*ms) : "-"; }

}  // namespace

std::string UnitResultLine(const UnitResult& result) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", result.seconds);
  const Phases& p = result.phases;
  std::string line = result.time + "  " + result.station + "  #" + std::to_string(result.count) + "  " + result.port +
                     "  " + (result.status == 0 ? "ok" : "failed " + std::string(FailureCodeWord(result.code))) +
                     "  " + seconds + "  check " + Milliseconds(p.check) + " erase " + Milliseconds(p.erase) +
                     " write " + Milliseconds(p.write) + " reset " + Milliseconds(p.reset) + " ms  " + result.path +
                     "  tovrix-flash " + result.version + "  sha256 " + result.sha256;
  if (result.status != 0) line += "  " + result.reason;
  return line;
}

namespace {

class TextReport final : public Report {
 public:
  TextReport(const ReportSettings& settings, std::ostream& out, std::ostream& err)
      : settings_(settings), out_(out), err_(err), terminal_(settings.terminal ? settings.terminal : NewTerminal()) {
    if (!settings_.port.empty()) tag_ = "[" + settings_.port + "] ";
  }

  void Image(std::string_view path, int64_t bytes, std::string_view sha256, const ImageTrust& trust) override {
    if (settings_.quiet) return;
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    Wipe();
    // One line, whole, so that the digest can be copied from it: the one
    // text for people that may pass 80 columns. The trusted comment is the
    // signer's text: escaped with the rest.
    std::string line = "Image " + std::string(path) + ": " + std::to_string(bytes) + " bytes, SHA-256 " +
                       std::string(sha256);
    if (trust.approved && *trust.approved) line += ", approved";
    if (!trust.keyId.empty()) line += ", signed by key " + trust.keyId + ", trusted comment: " + trust.trustedComment;
    err_ << TerminalText(line) << '\n';
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
    terminal_->DrawProgress(err_, settings_.port.empty());
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
    out_ << TerminalText(UnitResultLine(result)) << '\n';
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
  void Wipe() { terminal_->WipeProgress(err_); }

  ReportSettings settings_;
  std::ostream& out_;
  std::ostream& err_;
  std::shared_ptr<Terminal> terminal_;
  std::string tag_;  // "[PORT] " in a station run
};

}  // namespace

std::unique_ptr<Report> MakeTextReport(const ReportSettings& settings, std::ostream& out, std::ostream& err) {
  return std::make_unique<TextReport>(settings, out, err);
}

}  // namespace tovrix::cli
