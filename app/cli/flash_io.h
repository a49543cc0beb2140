// tovrix-flash's surroundings (its streams, the platform, the stop
// requests) and its exit statuses.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/board.h"
#include "app/cli/options.h"
#include "app/cli/system.h"
#include "emulator/emulated_hid.h"
#include "hid/ApiDeclarations.h"
#include "hid/platform.h"

namespace tovrix::cli {

inline constexpr int kUpdated = 0;
inline constexpr int kFailed = 1;       // the update failed or was refused
inline constexpr int kBadUsage = 2;
inline constexpr int kNoUnit = 3;       // no unit found, or the wait timed out
inline constexpr int kSeveralUnits = 4; // several units and none chosen
inline constexpr int kInterrupted = 130;

// The program's surroundings: its streams and the platform. StandardIo()
// fills in the build's platform, a steady clock and no stop request.
struct FlashIo {
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool errIsTerminal = false;
  // The size of standard error's terminal, where it can show the station's
  // board (board.h: it moves the cursor); not set where it cannot.
  std::function<TerminalSize()> errSize;
  bool outIsTerminal = false;           // standard output goes to a terminal
  std::function<int64_t()> nowMs;       // a steady clock, in milliseconds
  // How many times the user has asked to stop (0: not yet).
  std::function<int()> stopRequests;
  // The program takes this many stop requests (1 unless it says so); the
  // next one ends it at once. Unset where nothing ends it so.
  std::function<void(int)> takeStops;
  std::function<WallTime()> wallClock;     // now, with the zone's offset: each unit's time
  std::function<std::string()> hostName;   // the station's name when --station gives none
  // Opens the record file (--record).
  std::function<RecordOpened(const std::string& path)> openRecord;
  std::function<std::unique_ptr<HidApi>()> makeHid;
  std::function<std::unique_ptr<InterfaceWatch>()> makeWatch;
  // Why the system cannot give what a run of options needs (on Windows:
  // hid.dll for real units, bcrypt.dll for an image's SHA-256); empty when
  // it can. Asked once the command line is understood, before anything
  // else is done; a failure ends the program with kFailed.
  std::function<std::optional<SystemLibraryFailure>(const FlashOptions&)> systemFailure;
  emu::EmulatorEvents emulatorEvents;   // what the emulated platform does (tests)
};

FlashIo StandardIo(std::ostream& out, std::ostream& err);

}  // namespace tovrix::cli
