#include "app/cli/unit_choice.h"

#include <algorithm>

namespace tovrix::cli {
namespace {

// Between two lists of the interfaces while waiting: the longest a stop
// request or a missed hotplug event can go unseen.
constexpr int64_t kWaitSliceMs = 250;
// A unit that came but cannot be opened yet: udev gives the user access a
// moment after the kernel makes the node. After this long it is taken as it
// is, and the search says why it cannot be opened.
constexpr int64_t kAccessGraceMs = 3000;

}  // namespace

std::string WaitRanOutText(int64_t waitMs) {
  std::string seconds = std::to_string(waitMs / 1000);
  if (waitMs % 1000 != 0) {
    std::string fraction = std::to_string(1000 + waitMs % 1000).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    seconds += "." + fraction;
  }
  return "no TovrixPro was plugged in within " + seconds + " s";
}

// Lists the interfaces, and with --wait waits until a unit that the
// options allow is there (and can be opened, or has had kAccessGraceMs to
// become so), or the wait is over. Several such units end the program.
Choice ChooseUnit(const FlashOptions& options, FlashIo& io, HidApi& hid, Report& report,
                  const std::function<bool()>& stopRequested) {
  Choice choice;
  std::unique_ptr<InterfaceWatch> watch;
  const int64_t waitStarted = io.nowMs();
  int64_t blockedSince = -1;
  for (bool announced = false;; announced = true) {
    if (stopRequested()) {
      report.Error("Interrupted before a unit was found; nothing was changed");
      choice.status = kInterrupted;
      return choice;
    }
    choice.seen = ListInterfaces(hid, options.wait);
    const auto units = Candidates(choice.seen, options.device, options.port);
    if (units.size() > 1) {
      report.Error("Several TovrixPro units are attached: choose one with --device PATH or --port PORT");
      for (const ListedInterface& entry : units) report.Candidate(entry);
      choice.status = kSeveralUnits;
      return choice;
    }
    const int64_t now = io.nowMs();
    if (units.size() == 1) {
      if (units[0].opens) break;
      if (blockedSince < 0) blockedSince = now;
      if (now - blockedSince >= kAccessGraceMs) break;
    }
    const int64_t waited = now - waitStarted;
    if (!options.wait) break;
    if (options.waitMs >= 0 && waited >= options.waitMs) {
      if (units.empty()) report.Error(WaitRanOutText(options.waitMs));
      break;
    }
    if (!announced) report.Waiting();
    if (!watch) watch = io.makeWatch();
    int64_t slice = kWaitSliceMs;
    if (options.waitMs >= 0) slice = std::min(slice, options.waitMs - waited);
    watch->Wait(static_cast<int>(slice));
  }
  if (!options.device.empty()) {
    choice.only = options.device;
  } else if (!options.port.empty()) {
    const auto units = Candidates(choice.seen, "", options.port);
    // Nothing on that port: a path that no interface has, so that the
    // search passes every interface by and ends in the not-found block.
    choice.only = units.empty() ? "<no unit on port " + options.port + ">" : units[0].info.path;
  }
  return choice;
}


}  // namespace tovrix::cli
