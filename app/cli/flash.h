// tovrix-flash: the update from the command line, for service benches and
// production lines. The same update session as the window (the same
// checks, the same order, the same log texts). The user's side is in
// packaging/man/tovrix-flash.1; the options are the table of options.h,
// from which the parser and --help are made; the forms of the output are
// in output.h.
//
// The program, part by part:
//   options.h       the table of options, the parser, --help
//   unit_choice.h   the choice of the unit among those attached, and the
//                   wait for one: several units are never guessed between
//   update_unit.h   one unit's update, and the image read once for all
//   station.h       station runs: several units at once, or one after
//                   another, each on a thread of its own with its own HidApi
//   output.h        the report of the run: text (text_report.h) or JSON
//                   Lines (json_report.h), on a console that the units of
//                   a station share (console.h) with its board (board.h)
//
// Before the update the unit is chosen; once the memory bounds are known
// an image without data inside them is refused before ERASE. A stop
// request (SIGINT, SIGTERM; Ctrl-C or the console closed on Windows) is
// honoured after the report in flight, at the session's event pumps and
// before ERASE: the unit is closed as the window's close does, and the
// program says what was done. A write that fails is told with what it
// means for the unit (which report of how many; erased, to be flashed
// again), the log keeping its line. A station takes two stop requests: the
// first ends the shift (no more units are taken, the units in flight
// finish), the second interrupts the units still being written.
//
// Exit statuses (flash_io.h): kUpdated 0, kFailed 1, kBadUsage 2, kNoUnit
// 3, kSeveralUnits 4, kInterrupted 130.
//
// The image is read whole, once, before the first unit (the limit:
// kMaxImageBytes); the program states it (path, size, SHA-256) and every
// unit it updates gets those bytes. A station run, ended or stopped once:
// 0 when no unit failed, else 1; 130 when a second stop request
// interrupted units, or (--all) when stopped before it took a unit; --all:
// 3 when no unit was there.
#pragma once

#include <string>
#include <vector>

#include "app/cli/flash_io.h"
#include "app/cli/options.h"
#include "app/cli/station.h"
#include "app/cli/unit_choice.h"
#include "app/cli/update_unit.h"

namespace tovrix::cli {

// Runs the program with parsed options; returns the exit status.
int RunFlash(const FlashOptions& options, FlashIo& io);

// The whole program on args: parsing (bad usage: status 2), --help,
// --version, then RunFlash.
int FlashMain(const std::vector<std::string>& args, FlashIo& io);

}  // namespace tovrix::cli
