// What the Linux backend tells about interfaces without opening them (the
// USB port name, the identity), and its watch of the device folder.
#include <gtest/gtest.h>

#include <string>

#include "hid/linux/linux_hid.h"
#include "hid/linux/sysfs.h"
#include "tests/hid/linux/sysfs_tree.h"

namespace tovrix::linux_hid {
namespace {

using namespace testing_support;

TEST(SysfsPortTest, NamesTheUsbDevicesFolderOnly) {
  SysfsTree tree;
  tree.UsbInterface("hidraw0", "pci0000:00/0000:00:14.0/usb1/1-2", "0102", kUnitUevent);
  tree.UsbInterface("hidraw1", "pci0000:00/0000:00:14.0/usb3/3-1/3-1.4/3-1.4.2", "0100", kKeyboardUevent);
  // Bluetooth under a USB adapter, a virtual device, odd folder names.
  tree.UsbDevice("pci0000:00/usb1/1-4", "0188");
  tree.Interface("hidraw2", "pci0000:00/usb1/1-4/1-4:1.0/bluetooth/hci0/hci0:256/0005:046D:B342.0002",
                 "HID_ID=0005:0000046D:0000B342\n");
  tree.Interface("hidraw3", "virtual/misc/uhid/0003:04D8:003C.0003", kUnitUevent);
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
