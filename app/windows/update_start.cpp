#include "app/windows/update_start.h"

#include "hid/windows/win32.h"

#include <algorithm>
#include <string>

#include "messages/messages.h"

namespace tovrix::win {
namespace {

bool WriteAll(HANDLE out, const std::string& text) {
  DWORD written = 0;
  return ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE &&
         written == text.size();
}

// text with CR LF line ends, as a console or Notepad wants them, each line
// with its control characters escaped (an error can quote an argument).
std::string ConsoleLines(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    out += TerminalText(std::string_view(text).substr(at, end - at));
    if (end < text.size()) out += "\r\n";
    at = end + 1;
  }
  return out;
}

void Tell(const std::string& text, bool error) {
  const std::string lines = ConsoleLines(text);
  HANDLE standard = ::GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (standard != nullptr && standard != INVALID_HANDLE_VALUE && WriteAll(standard, lines)) return;
  // A window program started from a command prompt has no standard handles:
  // the prompt's console shows the text.
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    HANDLE console = ::CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    const bool shown = console != INVALID_HANDLE_VALUE && WriteAll(console, "\r\n" + lines);
    if (console != INVALID_HANDLE_VALUE) ::CloseHandle(console);
    ::FreeConsole();
    if (shown) return;
  }
  ::MessageBoxA(nullptr, text.c_str(), std::string(ApplicationTitle).c_str(),
                error ? MB_OK | MB_ICONERROR : MB_OK | MB_ICONINFORMATION);
}

}  // namespace

int Answer(const CommandLine& line) {
  switch (line.action) {
    case CommandLine::Action::Version:
      Tell(VersionText(), false);
      return 0;
    case CommandLine::Action::Help:
      Tell(UsageText(false), false);
      return 0;
    case CommandLine::Action::Usage:
      Tell("tovrix-update: " + line.error + "\n" + UsageText(false), true);
      return kExitUsage;
    case CommandLine::Action::Update:
      break;
  }
  return 0;
}

int Refuse(const SystemLibraryFailure& failure) {
  ::MessageBoxA(nullptr, SystemLibraryFailureText(failure).c_str(), std::string(ApplicationTitle).c_str(),
                MB_OK | MB_ICONERROR);
  return kExitByAbort;
}

}  // namespace tovrix::win
