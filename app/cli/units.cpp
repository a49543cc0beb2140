#include "app/cli/units.h"

#include "hid/unit_identity.h"
#include "messages/messages.h"

namespace tovrix::cli {
namespace {

// The backends' notes for a unit that cannot be opened are "TovrixPro found
// at PATH, but it cannot be opened: REASON" and, when another update has
// claimed it, "TovrixPro found at PATH, but another update is using it"
// (OpenFailureNote in ApiDeclarations.h and the backends): the listing shows
// the reason alone, and the fix for it.
void TakeReason(ListedInterface& entry, const std::string& note) {
  const std::string prefix = "TovrixPro found at " + entry.info.path + ", but ";
  const std::string denied = "it cannot be opened: ";
  std::string rest = note.compare(0, prefix.size(), prefix) == 0 ? note.substr(prefix.size()) : note;
  if (rest.compare(0, denied.size(), denied) == 0) {
    entry.reason = rest.substr(denied.size());
    entry.fix = OpenFix();
  } else if (rest == "another update is using it") {
    entry.reason = rest;
    entry.fix = kBusyFix;
  } else {
    entry.reason = rest.empty() ? "it cannot be opened" : rest;
    entry.fix = OpenFix();
  }
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
    // Only the unit's interface gets a note: an unknown interface that
    // has one is the unit.
    const std::string note = api.OpenFailureNote(path);
    if (!note.empty() || entry.info.identified) {
      entry.opens = false;
      TakeReason(entry, note);
    }
    entry.unit = !note.empty() || IsTheUnit(entry.info.attributes);
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
