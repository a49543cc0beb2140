// A sysfs tree and a device folder in a temporary folder, laid out as the
// kernel lays out hidraw interfaces:
//   sys/class/hidraw/hidrawN -> ../../devices/<hid>/hidraw/hidrawN
//   sys/devices/<hid>/hidraw/hidrawN/device -> ../..
//   sys/devices/<hid>/uevent        (HID_ID=...)
//   sys/devices/<usb>/bcdDevice     (a USB device above <hid>)
//   dev/hidrawN                     (the node, when a test makes one)
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "hid/hid.h"
#include "messages/messages.h"
#include "tests/support/session_run.h"


namespace tovrix::testing_support {

class SysfsTree {
 public:
  SysfsTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovrix-hidraw-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    std::filesystem::create_directories(root_ / "sys" / "devices");
    std::filesystem::create_directories(root_ / "dev");
  }
  ~SysfsTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  std::filesystem::path Root() const { return root_; }
  std::string Sys() const { return (root_ / "sys").string(); }
  std::string Dev() const { return (root_ / "dev").string(); }
  std::string NodePath(const std::string& name) const { return (root_ / "dev" / name).string(); }

  // A USB device at sys/devices/<folder>; bcdDevice holds bcd unless null.
  void UsbDevice(const std::string& folder, const char* bcd) {
    const auto path = root_ / "sys" / "devices" / folder;
    std::filesystem::create_directories(path);
    if (bcd) Write(path / "bcdDevice", bcd);
  }

  // The interface name for the HID device at sys/devices/<hidFolder>, whose
  // uevent holds uevent (no uevent file when it is null).
  void Interface(const std::string& name, const std::string& hidFolder, const char* uevent) {
    const auto hid = root_ / "sys" / "devices" / hidFolder;
    const auto own = hid / "hidraw" / name;
    std::filesystem::create_directories(own);
    std::filesystem::create_directory_symlink("../..", own / "device");
    if (uevent) Write(hid / "uevent", uevent);
    std::filesystem::create_directories(root_ / "sys" / "class" / "hidraw");
    std::filesystem::create_directory_symlink(
        std::filesystem::path("../../devices") / hidFolder / "hidraw" / name,
        root_ / "sys" / "class" / "hidraw" / name);
  }

  // An interface of the USB device at sys/devices/<usbFolder> (made, with
  // bcdDevice bcd unless null), through its USB interface folder.
  void UsbInterface(const std::string& name, const std::string& usbFolder, const char* bcd,
                    const char* uevent) {
    UsbDevice(usbFolder, bcd);
    Interface(name, usbFolder + "/if:1.0/hid." + name, uevent);
  }

  // An entry in sys/class/hidraw that is a plain folder with nothing in it.
  void BareEntry(const std::string& name) {
    std::filesystem::create_directories(root_ / "sys" / "class" / "hidraw" / name);
  }

  // The device node, as a regular file (no hidraw ioctls) or a folder.
  void FileNode(const std::string& name) { Write(root_ / "dev" / name, ""); }
  void FolderNode(const std::string& name) { std::filesystem::create_directories(root_ / "dev" / name); }

  static void Write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

 private:
  std::filesystem::path root_;
};

inline constexpr const char* kUnitUevent =
    "DRIVER=hid-generic\nHID_ID=0003:000004D8:0000003C\nHID_NAME=Olvane TovrixPro\n";
inline constexpr const char* kKeyboardUevent =
    "DRIVER=hid-generic\nHID_ID=0003:0000046D:0000C31C\nHID_NAME=Keyboard\n";

// The descriptors this process has open now.
inline std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// A search for the unit over an API that cannot give it: what it logs, and
// that it leaves no descriptor open.
inline void ExpectFailedSearch(HidApi& api, const std::string& log) {
  test::RecordingShell shell;
  Messages messages(shell);
  HidTransport transport(api, messages);
  const std::size_t before = OpenDescriptors();
  EXPECT_EQ(transport.FindTheHid(), kFalse);
  EXPECT_EQ(shell.Log(), log);
  EXPECT_EQ(OpenDescriptors(), before);
  transport.CloseDevice();
}

}  // namespace tovrix::testing_support
