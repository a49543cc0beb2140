// Listing, identity and version lookup against sysfs trees made here; what
// the backend tells about interfaces without opening them (the USB port
// name, the identity), and its watch of the device folder.
#include "hid/linux/sysfs.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hid/linux/linux_hid.h"
#include "tests/hid/linux/sysfs_tree.h"

namespace tovrix::linux_hid {
namespace {

using namespace testing_support;

// hidraw2: a Bluetooth keyboard under a USB Bluetooth adapter of that
// bcdDevice; hidraw3: a virtual device (uhid), USB bus in its identity, no
// USB device above it.
void AddBluetoothAndVirtual(SysfsTree& tree, const char* adapterVersion) {
  tree.UsbDevice("pci0000:00/usb1/1-4", adapterVersion);
  tree.Interface("hidraw2", "pci0000:00/usb1/1-4/1-4:1.0/bluetooth/hci0/hci0:256/0005:046D:B342.0002",
                 "HID_ID=0005:0000046D:0000B342\n");
  tree.Interface("hidraw3", "virtual/misc/uhid/0003:04D8:003C.0003", kUnitUevent);
}

TEST(SysfsListTest, ListsInterfacesByNumberAndSkipsOtherNames) {
  SysfsTree tree;
  tree.UsbInterface("hidraw10", "usb1/1-1", "0100", kKeyboardUevent);
  tree.UsbInterface("hidraw2", "usb1/1-2", "0102", kUnitUevent);
  tree.UsbInterface("hidraw1", "usb1/1-3", "0100", kKeyboardUevent);
  for (const char* other : {"hidraw", "hidrawX", "hidraw1a", "hidraw-1", "hidraw1234567890", "input3"}) {
    tree.BareEntry(other);
  }
  EXPECT_EQ(ListHidrawNames(tree.Sys()), (std::vector<std::string>{"hidraw1", "hidraw2", "hidraw10"}));

  // Listed by node path, nodes made or not: a missing one shows at Open.
  tree.FileNode("hidraw2");
  const auto api = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  EXPECT_EQ(api->ListInterfaces(),
            (std::vector<std::string>{tree.NodePath("hidraw1"), tree.NodePath("hidraw2"),
                                      tree.NodePath("hidraw10")}));
}

TEST(SysfsListTest, NoHidrawFolderListsNothing) {
  SysfsTree tree;
  EXPECT_TRUE(ListHidrawNames(tree.Sys()).empty());
  EXPECT_TRUE(ListHidrawNames((tree.Root() / "nowhere").string()).empty());
}

TEST(SysfsVersionTest, FindsBcdDeviceOfTheUsbDeviceOnly) {
  SysfsTree tree;
  // A version in the folder above the sysfs root must never be reached.
  SysfsTree::Write(tree.Root() / "bcdDevice", "0999\n");
  SysfsTree::Write(tree.Root() / "sys" / "bcdDevice", "0998\n");

  tree.UsbInterface("hidraw0", "pci0000:00/usb1/1-2", "0102\n", kUnitUevent);
  tree.UsbInterface("hidraw1", "pci0000:00/usb1/1-3", "01af", kUnitUevent);
  // Bluetooth keyboard under a USB Bluetooth adapter: not the adapter's version.
  AddBluetoothAndVirtual(tree, "0188\n");
  tree.UsbInterface("hidraw4", "pci0000:00/usb1/1-5", "zz\n", kUnitUevent);
  tree.UsbInterface("hidraw5", "pci0000:00/usb1/1-6", "12345\n", kUnitUevent);
  tree.UsbInterface("hidraw6", "pci0000:00/usb1/1-7", "0102\n", nullptr);  // no uevent
  tree.BareEntry("hidraw7");                                             // no device link

  const struct {
    const char* name;
    uint16_t version;
  } cases[] = {
      {"hidraw0", 0x0102}, {"hidraw1", 0x01AF}, {"hidraw2", 0}, {"hidraw3", 0},
      {"hidraw4", 0},      {"hidraw5", 0},      {"hidraw6", 0}, {"hidraw7", 0},
      {"hidraw8", 0},  // not there at all
  };
  for (const auto& c : cases) EXPECT_EQ(ReadUsbVersion(tree.Sys(), c.name), c.version) << c.name;
}

TEST(SysfsIdentityTest, ReadsHidIdFromTheDeviceUevent) {
  const struct {
    const char* uevent;
    std::optional<HidId> id;
  } cases[] = {
      {kUnitUevent, HidId{0x0003, 0x04D8, 0x003C}},
      {"HID_ID=0005:0000046d:0000b342", HidId{0x0005, 0x046D, 0xB342}},
      {"DRIVER=hid-generic\nHID_NAME=x\n", std::nullopt},
      {"HID_ID=0003:000004D8\n", std::nullopt},
      {"HID_ID=0003:000104D8:0000003C\n", std::nullopt},  // vendor above 16 bits
      {"HID_ID=0003:0000ZZZZ:0000003C\n", std::nullopt},
      {"HID_ID=0003::0000003C\n", std::nullopt},
      {"XHID_ID=0003:000004D8:0000003C\n", std::nullopt},
      {"", std::nullopt},
  };
  SysfsTree tree;
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "hidraw" + std::to_string(n++);
    tree.Interface(name, "virtual/hid." + name, c.uevent);
    const auto id = ReadHidId(tree.Sys(), name);
    ASSERT_EQ(id.has_value(), c.id.has_value()) << c.uevent;
    if (id) {
      EXPECT_EQ(id->bus, c.id->bus);
      EXPECT_EQ(id->vendor, c.id->vendor);
      EXPECT_EQ(id->product, c.id->product);
    }
  }
}

TEST(SysfsIdentityTest, OnlyHidrawNamesLeadIntoSysfs) {
  EXPECT_EQ(HidrawNameOf("/dev/hidraw3"), "hidraw3");
  EXPECT_EQ(HidrawNameOf("hidraw12"), "hidraw12");
  EXPECT_EQ(HidrawNameOf("/dev/hidraw"), "");
  EXPECT_EQ(HidrawNameOf("/dev/../etc/passwd"), "");
  EXPECT_EQ(HidrawNameOf("/dev/hidraw3/.."), "");
  EXPECT_EQ(HidrawNameOf(""), "");
  EXPECT_FALSE(ReadHidId("/sys", "../../etc").has_value());
}

TEST(SysfsPortTest, NamesTheUsbDevicesFolderOnly) {
  SysfsTree tree;
  tree.UsbInterface("hidraw0", "pci0000:00/0000:00:14.0/usb1/1-2", "0102", kUnitUevent);
  tree.UsbInterface("hidraw1", "pci0000:00/0000:00:14.0/usb3/3-1/3-1.4/3-1.4.2", "0100", kKeyboardUevent);
  // Bluetooth under a USB adapter, a virtual device, odd folder names.
  AddBluetoothAndVirtual(tree, "0188");
  tree.UsbInterface("hidraw4", "usb2", "0200", kUnitUevent);     // a root hub is no port
  tree.UsbInterface("hidraw5", "weird/1-", "0100", kUnitUevent);
  tree.UsbInterface("hidraw6", "weird/1-2..3", "0100", kUnitUevent);
  const struct {
    const char* name;
    const char* port;
  } cases[] = {{"hidraw0", "1-2"}, {"hidraw1", "3-1.4.2"}, {"hidraw2", ""}, {"hidraw3", ""},
               {"hidraw4", ""},    {"hidraw5", ""},        {"hidraw6", ""}, {"hidraw9", ""}};
  for (const auto& c : cases) EXPECT_EQ(ReadUsbPort(tree.Sys(), c.name), c.port) << c.name;
}

TEST(SysfsPortTest, DescribesEveryInterfaceWithoutOpeningIt) {
  SysfsTree tree;
  tree.UsbInterface("hidraw0", "usb1/1-1.2", "0102\n", kUnitUevent);
  tree.UsbInterface("hidraw1", "usb1/1-3", "0100", nullptr);  // no identity
  const auto api = MakeLinuxHidApi(tree.Sys(), tree.Dev());     // no nodes: nothing can be opened
  const auto interfaces = api->DescribeInterfaces();
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0].path, tree.NodePath("hidraw0"));
  EXPECT_EQ(interfaces[0].port, "1-1.2");
  EXPECT_TRUE(interfaces[0].identified);
  EXPECT_EQ(interfaces[0].attributes.VendorID, 0x04D8);
  EXPECT_EQ(interfaces[0].attributes.ProductID, 0x003C);
  EXPECT_EQ(interfaces[0].attributes.VersionNumber, 0x0102);
  EXPECT_EQ(interfaces[1].port, "");  // not known to be on USB without its identity
  EXPECT_FALSE(interfaces[1].identified);
}

TEST(InterfaceWatchTest, WakesForANewNodeOnly) {
  SysfsTree tree;
  const auto watch = MakeLinuxInterfaceWatch(tree.Dev());
  EXPECT_FALSE(watch->Wait(20));
  tree.FileNode("hidraw7");
  EXPECT_TRUE(watch->Wait(10000));
  EXPECT_FALSE(watch->Wait(20));  // the event was taken
}

}  // namespace
}  // namespace tovrix::linux_hid
