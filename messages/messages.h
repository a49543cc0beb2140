// The log, the caption and the message boxes: how every layer of the tool
// talks to its user, and the one way the program ends early.
//
// The engine never touches a window. It talks to a Shell, which each front
// end implements (the Qt and Win32 windows, the headless runner), through
// Messages, which adds the tool's own rules (line ends, the caption text,
// "Program Abort!", the end of the program at once). One Messages and one
// Shell serve one session, on its thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovrix {

// The window's caption, and its start and end state.
inline constexpr std::string_view BaseCaption = "TovrixPro Update (Olvane Inc)";
// The box of AbortProgram.
inline constexpr std::string_view AbortText = "Program Abort!";
// The title of every message box.
inline constexpr std::string_view ApplicationTitle = "TovrixPro Update";

// Exit statuses of the window's program.
inline constexpr int kExitUpdated = 0;  // the unit was updated (then Esc, or the window closed)
// Not updated: "Program Abort!", a box that ends the program, the update
// stopped (Esc, or the window closed), or a run that found no unit to update.
inline constexpr int kExitByAbort = 1;

// What a front end offers the engine. All calls come on the session's thread.
class Shell {
 public:
  virtual ~Shell() = default;

  // Sets the window caption.
  virtual void SetCaption(std::string_view text) = 0;
  // Appends text at the end of the log; with newline, the line ends after it.
  // An append: the text already in the log is not rewritten.
  virtual void AppendLog(std::string_view text, bool newline) = 0;
  // Modal box, critical icon, one OK button, titled ApplicationTitle.
  virtual void ShowCritical(std::string_view text) = 0;
  // Modal box, question icon, Yes and No with Yes the default, titled
  // ApplicationTitle. Returns true for Yes.
  virtual bool AskQuestion(std::string_view text) = 0;
  // Shows the window, not modal.
  virtual void ShowWindow() = 0;
  // Processes the pending window events once. The window's handlers may run
  // in here (see UpdateSession::KeyPress and UpdateSession::Unload).
  virtual void PumpEvents() = 0;
};

// A shell that shows nothing and asks nothing (the answer is No): for runs
// of the sequence whose output nobody reads.
class SilentShell final : public Shell {
 public:
  void SetCaption(std::string_view) override {}
  void AppendLog(std::string_view, bool) override {}
  void ShowCritical(std::string_view) override {}
  bool AskQuestion(std::string_view) override { return false; }
  void ShowWindow() override {}
  void PumpEvents() override {}
};

// Thrown to end the program at once. Only the code that runs the load
// handler catches it (UpdateSession::RunUpdate), so nothing more of the
// running procedure runs; the shell then ends the process with `status`.
struct ProgramEnd {
  int status;
};

// The log and message operations, shared by every layer.
class Messages {
 public:
  explicit Messages(Shell& shell) : shell_(shell) {}

  // Appends text to the log; any non-zero newline ends the line after it.
  void LogText(std::string_view text, int16_t newline);
  // Sets the caption to BaseCaption, a blank, percent and "%".
  void ShowProgress(int16_t percent);
  // Sets the caption to text.
  void SetCaption(std::string_view text);
  // Shows a critical box with text; the caller decides what follows.
  void CriticalBox(std::string_view text);
  // The critical box "Program Abort!", then the end of the program.
  [[noreturn]] void AbortProgram();
  // Ends the program at once with status, without a box.
  [[noreturn]] void EndProgram(int status);

  // Processes the pending window events once. If a handler that ran in
  // there asked for the end of the program, it ends here.
  void PumpEvents();
  // Ends the program here when a handler asked for it: the second half of
  // PumpEvents, for the points where a front end without window events (the
  // command line) lets its handlers in (UpdateSession::BeforeErase).
  void EndIfRequested();
  // Called by a window handler during a pump: the program ends when the
  // pump returns. The first request wins.
  void RequestEnd(int status);
  bool EndRequested() const { return pendingEnd_.has_value(); }

  Shell& shell() { return shell_; }

 private:
  Shell& shell_;
  std::optional<int> pendingEnd_;
};

// Upper-case hexadecimal without leading zeros or prefix, as every message
// writes numbers ("$" is part of the text before it).
std::string Hex(uint64_t value);

// The length of the well-formed UTF-8 sequence that starts text[at] (1 for
// ASCII), or 0 where none does: no overlong forms, no surrogates, nothing
// above U+10FFFF.
std::size_t Utf8Length(std::string_view text, std::size_t at);

// text as a terminal may be given it: text that came from outside (a path,
// the system's reason, what a unit reports) can hold bytes that a terminal
// takes as commands. Each control character (0x00-0x1F, 0x7F, and U+0080 to
// U+009F in UTF-8), and each byte that is not part of a well-formed UTF-8
// sequence, is written as \xHH, one for each of its bytes (HH upper-case
// hexadecimal: "evil\x1B]0;X\x07.hex", "\xC2\x9B", "\xFF"). A backslash
// before an "x" is written \x5C, so that the text reads back unambiguously:
// every \xHH is a byte, every other character itself. Any other text comes
// back as it was. Applied to whole sentences where they leave for a
// terminal or a text log, never to the values they were made of.
std::string TerminalText(std::string_view text);

}  // namespace tovrix
