#include "app/cli/units.h"

#include "hid/unit_identity.h"
#include "messages/messages.h"

namespace tovrix::cli {
namespace {

// The backends' note for a unit that cannot be opened is "TovrixPro found at
// PATH, but it cannot be opened: REASON" (ApiDeclarations.h,
// OpenFailureNote); the listing shows the reason alone.
std::string ReasonOf(const std::string& note, const std::string& path) {
  const std::string prefix = "TovrixPro found at " + path + ", but it cannot be opened: ";
  if (note.compare(0, prefix.size(), prefix) == 0) return note.substr(prefix.size());
  return note.empty() ? "it cannot be opened" : note;
}

}  // namespace

std::vector<ListedInterface> ListInterfaces(HidApi& api, bool tryUnits) {
  std::vector<ListedInterface> listed;
  for (HidInterfaceInfo& info : api.DescribeInterfaces()) {
    ListedInterface entry;
    entry.info = std::move(info);
    const std::string& path = entry.info.path;
    const bool tryOpen = !entry.info.identified || (tryUnits && IsTheUnit(entry.info.attributes));
    if (tryOpen) {
      const HidHandle handle = api.Open(path);
      if (handle == kInvalidHandle) {
        // Only the unit's interface gets a note: an unknown interface that
        // has one is the unit.
        const std::string note = api.OpenFailureNote(path);
        if (!note.empty() || entry.info.identified) {
          entry.opens = false;
          entry.reason = ReasonOf(note, path);
        }
        entry.unit = !note.empty() || IsTheUnit(entry.info.attributes);
      } else {
        if (!entry.info.identified) {
          HidAttributes attributes;
          if (api.GetAttributes(handle, attributes) != 0) {
            entry.info.identified = true;
            entry.info.attributes = attributes;
          }
        }
        api.Close(handle);
      }
    }
    if (entry.info.identified) entry.unit = IsTheUnit(entry.info.attributes);
    if (!entry.unit) {
      entry.opens = true;
      entry.reason.clear();
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
    line += "VID=" + Hex(info.attributes.VendorID) + " PID=" + Hex(info.attributes.ProductID) +
            " Version=" + Hex(info.attributes.VersionNumber);
  } else {
    line += "VID=? PID=? Version=?";
  }
  if (!entry.unit) return line + "  other device";
  line += "  TovrixPro in update mode";
  if (!entry.opens) line += ", cannot be opened: " + entry.reason + " (fix: " + OpenFix() + ")";
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
