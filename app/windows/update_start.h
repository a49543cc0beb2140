// How tovrix-update.exe answers a command line other than an update:
// --version, --help and mistakes (see app/command_line.h).
#pragma once

#include "app/command_line.h"
#include "hid/platform.h"

namespace tovrix::win {

// Shows the text of an action other than Update where the user sees it:
// on the standard output (or error) when the program has one (redirected,
// or started by a console program), else on the console of the command
// prompt that started it, else in a box titled "TovrixPro Update". Returns
// the exit status.
int Answer(const CommandLine& line);

// Tells why the update cannot start on this machine (a system library the
// backend needs), in a box titled "TovrixPro Update" like the window's
// other failures, before any window opens. Returns the exit status,
// kExitByAbort.
int Refuse(const SystemLibraryFailure& failure);

}  // namespace tovrix::win
