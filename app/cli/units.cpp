#include "app/cli/units.h"

#include <optional>

#include "hid/open_failure.h"
#include "hid/unit_identity.h"
#include "messages/messages.h"

namespace tovrix::cli {
namespace {

// The listing shows the reason alone, and the fix for it. A unit whose
// platform tells nothing (failure empty) just cannot be opened.
void ShowFailure(ListedInterface& entry, const std::optional<OpenFailure>& failure) {
  entry.reason = OpenFailureReason(failure.value_or(OpenFailure{}));
  const bool claimed = failure && failure->kind == OpenFailure::Kind::Claimed;
  entry.fix = claimed ? kBusyFix : OpenFix();
}

std::string Hex4(uint16_t value) {
  std::string digits = Hex(value);
  return std::string(digits.size() < 4 ? 4 - digits.size() : 0, '0') + digits;
}

}  // namespace

void TryOpen(HidApi& api, ListedInterface& entry) {
  const std::string& path = entry.info.path;
  const HidHandle handle = api.Open(path);
  if (handle == kInvalidHandle) {
    // Only the unit's interface tells why: an unknown interface that does
    // is the unit.
    const std::optional<OpenFailure> failure = api.OpenFailureOf(path);
    if (failure || entry.info.identified) {
      entry.opens = false;
      ShowFailure(entry, failure);
    }
    entry.unit = failure.has_value() || IsTheUnit(entry.info.attributes);
  } else {
    entry.opens = true;
    if (!entry.info.identified) {
      HidAttributes attributes;
      if (api.GetAttributes(handle, attributes) != 0) {
        entry.info.identified = true;
        entry.info.attributes = attributes;
      }
    }
    api.Close(handle);
  }
  if (entry.info.identified) entry.unit = IsTheUnit(entry.info.attributes);
  if (!entry.unit) {
    entry.opens = true;
    entry.reason.clear();
    entry.fix.clear();
  }
}

std::vector<ListedInterface> ListInterfaces(HidApi& api, bool tryUnits) {
  std::vector<ListedInterface> listed;
  for (HidInterfaceInfo& info : api.DescribeInterfaces()) {
    ListedInterface entry;
    entry.info = std::move(info);
    const bool tryOpen = !entry.info.identified || (tryUnits && IsTheUnit(entry.info.attributes));
    if (tryOpen) {
      TryOpen(api, entry);
    } else if (entry.info.identified) {
      entry.unit = IsTheUnit(entry.info.attributes);
    }
    listed.push_back(std::move(entry));
  }
  return listed;
}

std::string OpenFix() {
#if defined(_WIN32)
  return "close the program that holds the unit, then plug the unit in again";
#else
  return "install the udev rule 70-tovrixpro.rules into /etc/udev/rules.d, run "
         "'udevadm control --reload' and plug the unit in again";
#endif
}

std::string ListLine(const ListedInterface& entry) {
  const HidInterfaceInfo& info = entry.info;
  std::string line = info.path + "  port " + (info.port.empty() ? "-" : info.port) + "  ";
  if (info.identified) {
    line += "VID=" + Hex4(info.attributes.VendorID) + " PID=" + Hex4(info.attributes.ProductID) +
            " Version=" + Hex4(info.attributes.VersionNumber);
  } else {
    line += "VID=? PID=? Version=?";
  }
  if (!entry.unit) return line + "  other device";
  line += "  TovrixPro in update mode";
  if (!entry.opens) line += ", cannot be opened: " + entry.reason + " (fix: " + entry.fix + ")";
  return line;
}

std::vector<ListedInterface> Candidates(const std::vector<ListedInterface>& interfaces,
                                        const std::string& device, const std::string& port) {
  std::vector<ListedInterface> units;
  for (const ListedInterface& entry : interfaces) {
    if (!entry.unit) continue;
    if (!device.empty() && entry.info.path != device) continue;
    if (!port.empty() && entry.info.port != port) continue;
    units.push_back(entry);
  }
  return units;
}

}  // namespace tovrix::cli
