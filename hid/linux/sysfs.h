// What sysfs tells about the hidraw interfaces, read from a tree rooted at
// sysfsRoot (normally "/sys"; tests build their own). Internal to the Linux
// backend; see linux_hid.h for the behaviour it serves.
//
// An interface is named "hidrawN" (N decimal digits) and lives at
// <sysfsRoot>/class/hidraw/hidrawN; its "device" link leads to the HID
// device, whose "uevent" holds the line HID_ID=BBBB:VVVVVVVV:PPPPPPPP (bus,
// vendor, product in hexadecimal). Nothing here follows a name that is not
// of that form, so a path from outside cannot lead the lookups elsewhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovrix::linux_hid {

inline constexpr uint32_t kBusUsb = 0x0003;

// The interface names under <sysfsRoot>/class/hidraw in the order of their
// numbers (hidraw2 before hidraw10); nothing when the folder is missing.
std::vector<std::string> ListHidrawNames(const std::string& sysfsRoot);

// "hidrawN" when the last element of path is such a name, else empty.
std::string HidrawNameOf(const std::string& path);

struct HidId {
  uint32_t bus = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
};

// The HID_ID of the interface's device; empty when the file or the line is
// missing or malformed.
std::optional<HidId> ReadHidId(const std::string& sysfsRoot, const std::string& name);

// The bcdDevice of the USB device that the interface belongs to: the first
// folder with a bcdDevice file met walking up from the resolved "device"
// link, staying inside sysfsRoot. 0 when the device is not on USB (its HID_ID
// says so: a Bluetooth device under a USB adapter must not report the
// adapter's version), when no such folder exists (virtual devices), or when
// the file does not hold a 16-bit hexadecimal number.
uint16_t ReadUsbVersion(const std::string& sysfsRoot, const std::string& name);

// The name of the USB port that the interface's USB device hangs on, as
// sysfs names the device's folder: bus, a dash, and the port numbers from
// the root hub down, dot-separated ("1-1.2"). The folder is the one
// ReadUsbVersion reads; empty in the cases where it gives 0, or when the
// folder's name is not of that form.
std::string ReadUsbPort(const std::string& sysfsRoot, const std::string& name);

}  // namespace tovrix::linux_hid
