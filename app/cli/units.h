// The HID interfaces as tovrix-flash shows them (--list), and the choice of
// the unit to update among them (--device, --port, several units).
#pragma once

#include <string>
#include <vector>

#include "hid/ApiDeclarations.h"

namespace tovrix::cli {

struct ListedInterface {
  HidInterfaceInfo info;  // path, port, and the attributes when identified
  bool unit = false;      // a TovrixPro in update mode (vendor 04D8, product 003C)
  bool opens = true;      // for units that were tried: it can be opened for the update
  // When it cannot, what the listing says (made from the platform's
  // OpenFailure): why ("Permission denied", "another update is using it")
  std::string reason;
  std::string fix;  // and what to do about it
};

// Every interface present, in the platform's order. Interfaces that the
// platform cannot identify without opening them are opened, their
// attributes read, and closed. With tryUnits, each unit is also opened
// once and closed, to tell whether it can be opened for the update.
std::vector<ListedInterface> ListInterfaces(HidApi& api, bool tryUnits);

// Opens entry's interface once and closes it: whether it opens (and why
// not, with the fix), and its attributes where the listing had none.
void TryOpen(HidApi& api, ListedInterface& entry);

// What --list says on standard error when there is no HID interface at all.
inline constexpr const char* kNoInterfaceText = "no HID interface is attached";

// One line of --list: path, port ("-" where unknown), identity (vendor,
// product and version in four hex digits, as 04D8 and 003C), and what it
// is ("TovrixPro in update mode", with the reason and the fix when it
// cannot be opened; "other device").
std::string ListLine(const ListedInterface& entry);

// What to do about a unit that cannot be opened, on this platform.
std::string OpenFix();
// What to do about a unit that another update is using.
inline constexpr const char* kBusyFix = "let the other update end first";

// The units among interfaces that the user's choice allows: all of them,
// or those at path device, or those on port.
std::vector<ListedInterface> Candidates(const std::vector<ListedInterface>& interfaces,
                                        const std::string& device, const std::string& port);

}  // namespace tovrix::cli
