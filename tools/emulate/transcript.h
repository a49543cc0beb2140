// The headless run: the update sequence exactly as the window runs it, with
// every event written as one transcript line.
//
//   caption TEXT              the caption is set
//   log TEXT / logpart TEXT   LogText with / without the line end
//   box critical TEXT         a critical box
//   box question TEXT -> yes  the exit question and its answer (or -> no)
//   send HEX                  one output report written, 130 hex digits
//   closed                    the unit's open handles were closed
//   fault TEXT                the emulated platform saw misuse
//   end / exit                last line: the sequence returned / the program
//                             ended at once
//
// A script says what the user does at the event pumps: Esc (with the
// answer to the question, if it is asked) or closing the window, at the
// N-th pump of the run counted from 1.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "messages/messages.h"
#include "app/update.h"

namespace tovrix::headless {

struct PumpAction {
  enum Kind : uint8_t { EscYes, EscNo, Close } kind;
};

using PumpScript = std::multimap<int, PumpAction>;

// A shell that writes transcript lines to a sink, and plays a pump script
// against the session it is attached to.
class TranscriptShell : public Shell {
 public:
  using Sink = std::function<void(std::string_view keyword, std::string_view text)>;

  explicit TranscriptShell(Sink sink, PumpScript script = {});
  void Attach(UpdateSession& session) { session_ = &session; }

  void SetCaption(std::string_view text) override;
  void AppendLog(std::string_view text, bool newline) override;
  void ShowCritical(std::string_view text) override;
  bool AskQuestion(std::string_view text) override;
  void ShowWindow() override {}
  void PumpEvents() override;

  int Pumps() const { return pumps_; }
  // The line that a sent report gives.
  static std::string SendText(const uint8_t* report, std::size_t length);

 private:
  Sink sink_;
  PumpScript script_;
  UpdateSession* session_ = nullptr;
  int pumps_ = 0;
  bool answer_ = true;
};

// Joins a keyword and its text as one transcript line (no line end).
std::string TranscriptLine(std::string_view keyword, std::string_view text);

}  // namespace tovrix::headless
