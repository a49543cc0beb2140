// The choice of the unit to update, before a single update: the interfaces
// listed, --device and --port applied, several units never guessed
// between, and with --wait the wait for a unit to be plugged in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/flash_io.h"
#include "app/cli/output.h"
#include "app/cli/units.h"

namespace tovrix::cli {

// What the choice of the unit came to.
struct Choice {
  std::optional<int> status;          // the program ends with this status now
  std::string only;                   // the session's OnlyInterface
  std::vector<ListedInterface> seen;  // the interfaces as last listed
};

// Lists the interfaces, and with --wait waits until a unit that the
// options allow is there (and can be opened, or has had a moment to become
// so), or the wait is over. Several such units end the program.
Choice ChooseUnit(const FlashOptions& options, FlashIo& io, HidApi& hid, Report& report,
                  const std::function<bool()>& stopRequested);

// What standard error says when --wait=SECONDS ran out without a unit:
// "no TovrixPro was plugged in within 2.5 s".
std::string WaitRanOutText(int64_t waitMs);

}  // namespace tovrix::cli
