// How tovrix-update.exe answers a command line other than an update:
// --version, --help and mistakes (see app/command_line.h).
#pragma once

#include "app/command_line.h"

namespace tovrix::win {

// Shows the text of an action other than Update where the user sees it:
// on the standard output (or error) when the program has one (redirected,
// or started by a console program), else on the console of the command
// prompt that started it, else in a box titled "TovrixPro Update". Returns
// the exit status.
int Answer(const CommandLine& line);

}  // namespace tovrix::win
