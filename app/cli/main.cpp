// tovrix-flash: see flash.h. The program's signals (SIGINT and SIGTERM;
// Ctrl-C, Ctrl-Break and the console closed on Windows) are counted as stop
// requests: a single update takes one (it stops after the report in
// flight), a station two (the first ends the shift, letting the units in
// flight finish; the second interrupts them). The one after those ends the
// program at once.
#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/flash.h"

#if defined(_WIN32)
#include <io.h>

#include "hid/windows/system_library.h"  // windows.h

#include <cstdio>
#include <thread>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
// Counted by the console's control handler, which Windows runs on a thread
// of its own; read by the updates at their event pumps and by the station.
std::atomic<int> stopRequests{0};
// How many the program takes; the next one ends it.
std::atomic<int> stopsTaken{1};
// Set once the program has closed the unit and is about to end: closing the
// console ends the process when the handler returns, so it waits for this.
std::atomic<bool> programDone{false};

BOOL WINAPI OnConsoleControl(DWORD type) {
  const bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
  if (!closing) {
    // One too many: the default, the end.
    return stopRequests.fetch_add(1) + 1 > stopsTaken.load() ? FALSE : TRUE;
  }
  // The console goes away: every update stops after its report in flight
  // (a station's too: all the stop requests it takes at once).
  const int all = stopsTaken.load();
  for (int now = stopRequests.load(); now < all && !stopRequests.compare_exchange_weak(now, all);) {
  }
  // Windows allows a handler about 5 s before it ends the process.
  for (int i = 0; i < 45 && !programDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return TRUE;
}

void InstallStopHandlers() { ::SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
bool StderrIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }
bool StdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// The board moves the cursor with escape sequences, which a console takes
// once asked to (Windows 10 on); a console that will not shows none.
bool StderrTakesEscapes() {
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return ::GetConsoleMode(err, &mode) != FALSE &&
         ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
          ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE);
}

tovrix::cli::TerminalSize StderrSize() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return {80, 0};
  return {info.srWindow.Right - info.srWindow.Left + 1, info.srWindow.Bottom - info.srWindow.Top + 1};
}
#else
// Counted by the signal handler, on whichever thread the signal meets, and
// read by every unit's update at its event pumps and by the station:
// atomics that take no lock, as a handler may use. The handler touches
// nothing else; only the signal past those the program takes gets the
// system's default action (restored and raised: both safe in a handler),
// the end of the program.
std::atomic<int> stopRequests{0};
std::atomic<int> stopsTaken{1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int signal) {
  if (stopRequests.fetch_add(1) + 1 > stopsTaken.load()) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // output to a pipe is not cut short
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader of the output that goes away (| head) must not end the update
  // half-way: the writes fail instead, and the update runs to its end.
  std::signal(SIGPIPE, SIG_IGN);
}
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }
bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) != 0; }
bool StderrTakesEscapes() { return true; }

tovrix::cli::TerminalSize StderrSize() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return {80, 0};
  return {size.ws_col, size.ws_row};
}
#endif

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // Before anything can load a DLL: only from the system folder.
  tovrix::windows_hid::LoadDllsFromSystemFolderOnly();
#endif
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  tovrix::cli::FlashIo io = tovrix::cli::StandardIo(std::cout, std::cerr);
  io.errIsTerminal = StderrIsTerminal();
  io.outIsTerminal = StdoutIsTerminal();
  if (io.errIsTerminal && StderrTakesEscapes()) io.errSize = StderrSize;
  io.stopRequests = [] { return stopRequests.load(); };
  io.takeStops = [](int stops) { stopsTaken = stops; };
  InstallStopHandlers();
  const int status = tovrix::cli::FlashMain(args, io);
  std::cout.flush();
#if defined(_WIN32)
  programDone = true;
#endif
  return status;
}
