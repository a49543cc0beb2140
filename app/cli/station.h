// Station runs: --all and --repeat (see station.cpp).
#pragma once

#include "app/cli/flash_io.h"
#include "app/cli/options.h"

namespace tovrix::cli {

// A station run (--all or --repeat); returns the exit status.
int RunStation(const FlashOptions& options, FlashIo& io);

}  // namespace tovrix::cli
