// tovrix-flash: the update from the command line, for service benches and
// production lines. The same update session as the window (the same
// checks, the same order, the same log texts). The user's side is in
// packaging/man/tovrix-flash.1, the forms of its output in output.h.
//
//   tovrix-flash [OPTIONS] [IMAGE]      IMAGE: TOVRIXPRO.HEX here by default
//
// Before the update it chooses the unit: --device PATH or --port PORT
// limit the search to that interface; without them several units attached
// are never guessed between (the list, status 4). --wait[=SECONDS] waits
// for a unit to be plugged in. Once the memory bounds are known it refuses,
// before ERASE, an image without data inside them. A stop request (SIGINT,
// SIGTERM; Ctrl-C or the console closed on Windows) is honoured after the
// report in flight, at the session's event pumps and before ERASE: the unit
// is closed as the window's close does, and the program says what was done.
//
// Exit statuses: kUpdated 0, kFailed 1, kBadUsage 2, kNoUnit 3,
// kSeveralUnits 4, kInterrupted 130.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulated_hid.h"
#include "hid/ApiDeclarations.h"

namespace tovrix::cli {

inline constexpr int kUpdated = 0;
inline constexpr int kFailed = 1;       // the update failed or was refused
inline constexpr int kBadUsage = 2;
inline constexpr int kNoUnit = 3;       // no unit found, or the wait timed out
inline constexpr int kSeveralUnits = 4; // several units and none chosen
inline constexpr int kInterrupted = 130;

enum class Emulation { None, RealTime, Fast };

struct FlashOptions {
  std::string image = "TOVRIXPRO.HEX";
  bool imageNamed = false;  // given on the command line: "Cannot open IMAGE: REASON"
  std::string device;  // --device PATH
  std::string port;    // --port PORT
  bool list = false;
  bool json = false;
  bool quiet = false;
  bool wait = false;
  int64_t waitMs = -1;  // -1: for ever
  Emulation emulation = Emulation::None;
  emu::EmulatorOptions emulator;  // the emulated unit (--emulate)
  bool help = false;
  bool version = false;
};

// Parses args (without the program name). On an error returns nothing and
// says why in error.
std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args,
                                              std::string& error);

// The usage text of --help, and the version line of --version.
std::string UsageText();
std::string VersionText();

// The program's surroundings: its streams and the platform. StandardIo()
// fills in the build's platform, a steady clock and no stop request.
struct FlashIo {
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool errIsTerminal = false;
  std::function<int64_t()> nowMs;       // a steady clock, in milliseconds
  std::function<bool()> stopRequested;  // true once the user asked to stop
  std::function<std::unique_ptr<HidApi>()> makeHid;
  std::function<std::unique_ptr<InterfaceWatch>()> makeWatch;
  emu::EmulatorEvents emulatorEvents;   // what the emulated platform does (tests)
};

FlashIo StandardIo(std::ostream& out, std::ostream& err);

// Runs the program with parsed options; returns the exit status.
int RunFlash(const FlashOptions& options, FlashIo& io);

// The whole program on args: parsing (bad usage: status 2), --help,
// --version, then RunFlash.
int FlashMain(const std::vector<std::string>& args, FlashIo& io);

}  // namespace tovrix::cli
