// Runs of the update session against the emulated unit, recorded in the
// words of tovrix-emulate's transcript: the engine's tests set up the unit
// and the user directly (Setup) and drive UpdateSession themselves. Also
// tovrix-emulate's own runs, and the log a window shows for a transcript.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/update.h"
#include "emulator/emulated_hid.h"
#include "tools/emulate/emulate.h"
#include "tools/emulate/transcript.h"

namespace tovrix::test {

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The log as a window shows it, from transcript lines: each log line's
// text and a line end, each logpart's text as it is.
inline std::string ScreenLog(const std::vector<std::string>& transcript, std::string_view lineEnd = "\n") {
  std::string log;
  for (const std::string& line : transcript) {
    if (line.rfind("logpart ", 0) == 0) log += line.substr(8);
    if (line.rfind("log ", 0) == 0) log += line.substr(4) += lineEnd;
  }
  return log;
}

// The transcript's first lines: the caption, and the search starting.
inline std::vector<std::string> SearchStart() {
  return {"caption TovrixPro Update (Olvane Inc)", "log TovrixPro Updater: looking for TovrixPro in UPdate mode ..."};
}

// The lines of one device the search looks at: its identity (hex digits
// as the log writes them), then whether it is the unit.
inline std::vector<std::string> FoundDevice(std::string_view vid, std::string_view pid, std::string_view version,
                                            bool unit) {
  return {"logpart Found USB device:", "logpart   VID=" + std::string(vid), "logpart , PID=" + std::string(pid),
          "logpart , Version=" + std::string(version), unit ? "log  <- TovrixPro found!" : "log  <- Unknown device"};
}

// The transcript up to the emulated unit found, when it is the first
// device.
inline std::vector<std::string> FoundUnit() {
  std::vector<std::string> lines = SearchStart();
  for (std::string& line : FoundDevice("4D8", "3C", "102", true)) lines.push_back(std::move(line));
  return lines;
}

// tovrix-emulate in process: the transcript of a run with options, and
// the status it ends with.
inline std::vector<std::string> EmulatedTranscript(const headless::EmulateOptions& options, int* status = nullptr) {
  std::ostringstream out;
  const int result = headless::RunEmulated(options, out);
  if (status) *status = result;
  return SplitLines(out.str());
}

// The emulated unit and its platform, and what the user does at the event
// pumps of the run.
struct Setup {
  emu::EmulatorOptions unit;
  headless::PumpScript user;

  Setup& Memory(uint32_t start, uint32_t end) {
    unit.unit.MemoryStart = start;
    unit.unit.MemoryEnd = end;
    return *this;
  }
  Setup& Query(const emu::ReportData& reply) {
    unit.unit.rawQueryReply = reply;
    return *this;
  }
  Setup& SilentQuery() {
    unit.unit.silentFirstQuery = true;
    return *this;
  }
  // Failed waits of 500 ms before the erase reply; 11 or more: never.
  Setup& EraseWaits(int waits) {
    unit.unit.eraseMicros = emu::EraseMicrosForWaits(std::min(waits, 11));
    return *this;
  }
  Setup& Version(uint16_t version) {
    unit.unitVersion = version;
    return *this;
  }
  Setup& Caps(uint16_t in, uint16_t out, uint16_t valueCaps) {
    unit.unitCaps = {in, out, valueCaps};
    return *this;
  }
  Setup& FailWrite(int n) {
    unit.failWrite = n;
    return *this;
  }
  Setup& Before(std::vector<emu::OtherDevice> devices) {
    unit.before = std::move(devices);
    return *this;
  }
  Setup& After(std::vector<emu::OtherDevice> devices) {
    unit.after = std::move(devices);
    return *this;
  }
  Setup& NoUnit() {
    unit.unitPresent = false;
    return *this;
  }
  Setup& Esc(int pump, bool yes) {
    user.insert({pump, {yes ? headless::PumpAction::EscYes : headless::PumpAction::EscNo}});
    return *this;
  }
  Setup& Close(int pump) {
    user.insert({pump, {headless::PumpAction::Close}});
    return *this;
  }
};

// The transcript of one run, and how it ended.
struct RunResult {
  std::vector<std::string> lines;
  int status = -1;  // 0: the sequence returned; 1: the program ended at once

  // Lines without the send lines, which most cases do not look at.
  std::vector<std::string> WithoutSends() const {
    std::vector<std::string> out;
    for (const auto& line : lines) {
      if (line.rfind("send ", 0) != 0) out.push_back(line);
    }
    return out;
  }
  std::vector<std::string> Sends() const {
    std::vector<std::string> out;
    for (const auto& line : lines) {
      if (line.rfind("send ", 0) == 0) out.push_back(line.substr(5));
    }
    return out;
  }
  std::vector<std::string> Tail(std::size_t n) const {
    const auto& all = lines;
    return {all.end() - static_cast<std::ptrdiff_t>(std::min(n, all.size())), all.end()};
  }
  bool HasFault() const {
    for (const auto& line : lines) {
      if (line.rfind("fault ", 0) == 0) return true;
    }
    return false;
  }
};

// A shell that records every event of a session as a transcript line, the
// unit's reports, closes and faults among them, and plays the user's script.
class RecordingShell : public headless::TranscriptShell {
 public:
  explicit RecordingShell(headless::PumpScript script = {})
      : TranscriptShell([this](std::string_view k, std::string_view t) { Record(k, t); },
                        std::move(script)) {}

  // The events to give the emulated platform.
  emu::EmulatorEvents UnitEvents() {
    emu::EmulatorEvents events;
    events.sent = [this](const uint8_t* report, std::size_t length) {
      Record("send", SendText(report, length));
    };
    events.closed = [this] { Record("closed", ""); };
    events.fault = [this](const std::string& text) { Record("fault", text); };
    return events;
  }
  void Record(std::string_view keyword, std::string_view text) {
    lines.push_back(headless::TranscriptLine(keyword, text));
  }
  // The log so far as a window shows it.
  std::string Log() const { return ScreenLog(lines); }

  std::vector<std::string> lines;
};

// A session on image against the unit of setup, on a
// virtual clock, recorded by shell (which plays the user); events, when
// given, stand for the shell's own unit events.
struct SessionRun {
  SessionRun(RecordingShell& recording, ImageSource image, const Setup& setup = {},
             std::optional<emu::EmulatorEvents> events = std::nullopt)
      : shell(recording), hid(setup.unit, clock, events ? *events : shell.UnitEvents()),
        session(shell, hid, std::move(image)) {
    shell.Attach(session);
  }
  // The update; the transcript's last line is "end" when the sequence
  // returned, "exit" when the program ended at once.
  UpdateOutcome Run() {
    const UpdateOutcome outcome = session.RunUpdate();
    shell.Record(outcome.ended ? "exit" : "end", "");
    return outcome;
  }

  RecordingShell& shell;
  emu::VirtualClock clock;
  emu::EmulatedHid hid;
  UpdateSession session;
};

// One session (SessionRun) and its transcript.
inline RunResult RunSession(const std::string& imagePath, const Setup& setup = {}) {
  RecordingShell shell(setup.user);
  const UpdateOutcome outcome = SessionRun(shell, imagePath, setup).Run();
  return {std::move(shell.lines), outcome.ended ? 1 : 0};
}

}  // namespace tovrix::test
