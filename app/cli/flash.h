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
// A write that fails is told with what it means for the unit (which report
// of how many; erased, to be flashed again), the log keeping its line.
//
// --pack sends contiguous data in PROGRAM reports as long as the unit's
// packets (the window never packs): the same bytes at the same addresses.
//
// Station runs (station.cpp): --all updates every unit attached (that the
// choice allows) at once, one thread and one HidApi per unit; --repeat
// updates the unit attached or plugged in next, waits for it to leave (it
// resets into its firmware, or is pulled out) and takes the next, until a
// stop request; --repeat --all does so on every port at once. A station
// takes two stop requests: the first ends the shift (no more units are
// taken, the units in flight finish), the second interrupts the units
// still being written. Output: see output.h; on a terminal, the board of
// the ports on standard error (board.h).
//
// Exit statuses: kUpdated 0, kFailed 1, kBadUsage 2, kNoUnit 3,
// kSeveralUnits 4, kInterrupted 130.
//
// The image is read whole, once, before the first unit (the limit:
// kMaxImageBytes); the program states it (path, size, SHA-256) and every
// unit it updates gets those bytes. A station run, ended or stopped once:
// 0 when no unit failed, else 1; 130 when a second stop request
// interrupted units, or (--all) when stopped before it took a unit; --all:
// 3 when no unit was there.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/board.h"
#include "app/cli/units.h"
#include "app/image_file.h"
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
  bool all = false;     // --all
  bool repeat = false;  // --repeat
  bool pack = false;    // --pack
  int units = 1;        // --units N: ports of the emulated bench (station runs)
  int64_t waitMs = -1;  // -1: for ever
  Emulation emulation = Emulation::None;
  emu::EmulatorOptions emulator;  // the emulated unit (--emulate)
  bool help = false;
  bool version = false;
  // The image as the program read it, once, before any unit (RunFlash, the
  // station): every session takes these bytes and reads no file.
  std::shared_ptr<const ImageBytes> imageRead;
};

// Parses args (without the program name). On an error returns nothing and
// says why in error.
std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args,
                                              std::string& error);

// The usage text of --help, and the version line of --version.
std::string UsageText();
std::string VersionText();
// What standard error says when --wait=SECONDS ran out without a unit:
// "no TovrixPro was plugged in within 2.5 s".
std::string WaitRanOutText(int64_t waitMs);

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
  std::function<std::string()> localTime;  // "2026-12-07 13:45:02", for station results
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

// Runs the program with parsed options; returns the exit status.
int RunFlash(const FlashOptions& options, FlashIo& io);

class Report;
// One unit's update, as the window runs it, limited to the interface only
// (empty: the first unit found); seen is the listing that found it (for
// the unit's port). Returns the exit status for that unit. Station runs
// call it on each unit's thread, with that thread's hid and report.
int UpdateUnit(const FlashOptions& options, FlashIo& io, HidApi& hid, Report& report, const std::string& only,
               const std::vector<ListedInterface>& seen, const std::function<bool()>& stopRequested);

// Reads the image of options whole, once, and states it (Report::Image)
// when it could be read; sha256, when given, gets its digest.
std::shared_ptr<const ImageBytes> ReadImage(const FlashOptions& options, Report& report,
                                            std::string* sha256 = nullptr);

// A station run (--all or --repeat); returns the exit status.
int RunStation(const FlashOptions& options, FlashIo& io);

// The whole program on args: parsing (bad usage: status 2), --help,
// --version, then RunFlash.
int FlashMain(const std::vector<std::string>& args, FlashIo& io);

}  // namespace tovrix::cli
