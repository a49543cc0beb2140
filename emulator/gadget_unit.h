// tovrix-gadget-unit: the unit's model (TovrixUnit, the same one the
// emulated platform drives) served on the device side of a real USB link,
// through the HID gadget function's node: every output report the host
// writes arrives there as its 64 data bytes, and 64 bytes written there go
// to the host as one input report.
//
//   --device PATH           the gadget's HID node (/dev/hidg0)
//   --memory, --query, --silent-query, --erase-waits
//                           the unit, as in tovrix-emulate (emulator/options.h);
//                           --erase-waits 11: silent after ERASE
//   --repeat-first-reply    the reply to the first QUERY goes out twice: the
//                           second one comes unasked for
//   --time-limit SECONDS    give up after this long (60)
//   --unplug-after N        after the N-th report received, close the node
//   --unplug PATH             and write an empty line to PATH (the gadget's
//                             UDC attribute): the unit is pulled out
//   --hold-at N             after the N-th report received, while the file
//   --hold-until PATH         PATH is not there, take one report in each
//                             quarter of a second: the host's writes wait
//                             for it (each well within the 5 s the kernel
//                             gives a write), so the host is still writing
//                             when whatever PATH waits for has happened
//   --stop-host             when the first QUERY comes, stop (SIGSTOP) the
//                           processes started after the unit that hold a
//                           hidraw node open until the host has taken every
//                           reply due by then, then let them go on
//                           (SIGCONT): a second reply that
//                           --repeat-first-reply sends is waiting on the
//                           host before the tool reads the first
//   --out FILE              the memory it was given, as Intel HEX (default:
//                           standard output)
//
// The unit serves reports with real time until it has received RESET (its
// replies that are due by then still go out), was unplugged, the time limit
// passed, or it was told to end (SIGTERM or SIGINT); then it writes
// its memory and a summary line on standard error. Exit status: 0 after
// RESET or the unplug, 1 at the time limit or when told to end, 2 for bad
// options, 3 when the node failed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulated_hid.h"
#include "emulator/unit.h"

namespace tovrix::emu {

struct GadgetUnitOptions {
  std::string device = "/dev/hidg0";
  UnitOptions unit;
  int64_t timeLimitMicros = 60'000'000;
  int unplugAfter = 0;  // 0: never
  std::string unplugPath;
  int holdAt = 0;  // 0: never
  std::string holdUntil;
  bool stopHost = false;
  std::string out;  // empty: standard output
};

// While held, the unit takes one report in each kHoldPaceMicros.
inline constexpr int64_t kHoldPaceMicros = 250'000;

// The hold of --hold-at: from the atReport-th report received until
// released() is true. started() is called once, when the hold begins.
// With stopHost and resumeHost set: stopHost() is called when the first
// QUERY has come, resumeHost() once every reply due by then has been
// written and taken by the host (or when serving ends before that).
struct ServeHold {
  int atReport = 0;  // 0: no hold
  std::function<bool()> released;
  std::function<void()> started;
  std::function<void()> stopHost;
  std::function<void()> resumeHost;
  // Readable when the unit is told to end (-1: never): it ends as at the
  // time limit, at once.
  int endFd = -1;
};

std::optional<GadgetUnitOptions> ParseGadgetUnitOptions(const std::vector<std::string>& args,
                                                        std::string& error);

// Why the unit stopped serving.
enum class ServeEnd : uint8_t { Reset, Stopped, TimeLimit, DeviceFailed, Told };

struct ServeResult {
  ServeEnd end = ServeEnd::DeviceFailed;
  int reports = 0;    // reports received
  int replies = 0;    // reports sent back
  std::string error;  // what failed, for DeviceFailed
};

// Serves unit on the open node fd until RESET, the stopAfter-th report
// received (0: no such limit), the time limit on clock, a failure of the
// node (an error, or the node closed by the other side), or until told to
// end (hold.endFd); held as hold says.
ServeResult ServeUnit(int fd, TovrixUnit& unit, Clock& clock, int64_t timeLimitMicros,
                      int stopAfter = 0, const ServeHold& hold = {});

// The summary line of a run.
std::string ServeSummary(const ServeResult& result, const TovrixUnit& unit);

// The whole program: opens the node, serves, unplugs when asked, writes the
// memory. Returns the exit status.
int RunGadgetUnit(const GadgetUnitOptions& options);

}  // namespace tovrix::emu
