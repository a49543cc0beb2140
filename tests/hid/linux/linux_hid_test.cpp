// The Linux HidApi as far as it goes without a hidraw node: open failures
// and their note, handles that are not hidraw nodes, closing, and the
// engine's discovery over a sysfs tree.
#include "hid/linux/linux_hid.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "hid/hid.h"
#include "tests/hid/linux/sysfs_tree.h"
#include "tests/support/session_run.h"

namespace tovrix {
namespace {

using namespace testing_support;

enum class Node { kMissing, kFolder, kFile };

using Kind = OpenFailure::Kind;

struct FailureCase {
  const char* name;
  const char* uevent;
  Node node;
  const char* reason;  // null: no failure told
  Kind kind;
};

const FailureCase kFailureCases[] = {
    {"UnitWithoutNode", kUnitUevent, Node::kMissing, "No such file or directory", Kind::Gone},
    {"UnitWhoseNodeCannotBeOpened", kUnitUevent, Node::kFolder, "Is a directory", Kind::Other},
    {"UnitOnBluetooth", "HID_ID=0005:000004D8:0000003C\n", Node::kMissing, "No such file or directory",
     Kind::Gone},
    {"OtherProductOfTheVendor", "HID_ID=0003:000004D8:0000003D\n", Node::kMissing, nullptr, {}},
    {"OtherDevice", kKeyboardUevent, Node::kFolder, nullptr, {}},
    {"UnknownIdentity", nullptr, Node::kMissing, nullptr, {}},
    {"UnitThatOpens", kUnitUevent, Node::kFile, nullptr, {}},
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class OpenFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(OpenFailureTest, NamesTheUnitTheKindAndTheSystemsText) {
  const FailureCase& c = GetParam();
  SysfsTree tree;
  tree.UsbInterface("hidraw4", "usb1/1-1", "0102", c.uevent);
  if (c.node == Node::kFolder) tree.FolderNode("hidraw4");
  if (c.node == Node::kFile) tree.FileNode("hidraw4");
  const auto api = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  const std::string path = tree.NodePath("hidraw4");

  const HidHandle handle = api->Open(path);
  EXPECT_EQ(handle == kInvalidHandle, c.node != Node::kFile);
  const std::optional<OpenFailure> failure = api->OpenFailureOf(path);
  if (c.reason) {
    EXPECT_EQ(failure, (OpenFailure{c.kind, path, c.reason, {}}));
  } else {
    EXPECT_EQ(failure, std::nullopt);
  }
  if (handle != kInvalidHandle) {
    EXPECT_EQ(api->Close(handle), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Interfaces, OpenFailureTest, testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinuxHidApiTest, TheFailureBelongsToTheOpenThatFailedLast) {
  SysfsTree tree;
  tree.UsbInterface("hidraw1", "usb1/1-1", "0102", kUnitUevent);
  tree.UsbInterface("hidraw2", "usb1/1-2", "0100", kKeyboardUevent);
  tree.FileNode("hidraw2");
  const auto api = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  const std::string unit = tree.NodePath("hidraw1");

  EXPECT_EQ(api->OpenFailureOf(unit), std::nullopt) << "never opened";
  ASSERT_EQ(api->Open(unit), kInvalidHandle);
  EXPECT_NE(api->OpenFailureOf(unit), std::nullopt);
  EXPECT_EQ(api->OpenFailureOf(tree.NodePath("hidraw2")), std::nullopt);
  const HidHandle other = api->Open(tree.NodePath("hidraw2"));
  ASSERT_NE(other, kInvalidHandle);
  EXPECT_EQ(api->OpenFailureOf(unit), std::nullopt) << "a later open succeeded";
  EXPECT_EQ(api->OpenForReading(unit), kInvalidHandle);
  EXPECT_NE(api->OpenFailureOf(unit), std::nullopt) << "the read open fails for the same reason";
}

TEST(LinuxHidApiTest, NodeThatIsNoHidrawGivesNoAttributesCapsOrReadHandle) {
  SysfsTree tree;
  tree.UsbInterface("hidraw3", "usb1/1-1", "0102", kUnitUevent);
  tree.FileNode("hidraw3");
  const auto api = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  const std::string path = tree.NodePath("hidraw3");

  const HidHandle handle = api->Open(path);
  ASSERT_NE(handle, kInvalidHandle);
  HidAttributes attributes{1, 2, 3};
  EXPECT_EQ(api->GetAttributes(handle, attributes), 0);
  HidCaps caps{7, 8, 9};
  EXPECT_EQ(api->GetCaps(handle, caps), 0);
  EXPECT_EQ(caps.InputReportByteLength, 7);
  EXPECT_EQ(caps.OutputReportByteLength, 8);
  EXPECT_EQ(caps.NumberInputValueCaps, 9);
  // No descriptor, so reads could not be framed.
  const std::size_t before = OpenDescriptors();
  EXPECT_EQ(api->OpenForReading(path), kInvalidHandle);
  EXPECT_EQ(OpenDescriptors(), before) << "the failed read open leaked its descriptor";
  // A write handle is no read handle.
  uint8_t buffer[65] = {};
  EXPECT_EQ(api->PrepareRead(handle), 0);
  EXPECT_EQ(api->StartRead(handle, buffer, sizeof buffer), 0);
  const int32_t wait = api->WaitRead(handle, 0);
  EXPECT_NE(wait, kWaitReady);
  EXPECT_NE(wait, kWaitTimeout);
  EXPECT_EQ(api->CancelRead(handle), 0);
  EXPECT_EQ(api->Close(handle), 1);
}

TEST(LinuxHidApiTest, ClosesOnlyItsOwnHandlesAndEachOnce) {
  SysfsTree tree;
  tree.FileNode("hidraw0");
  const auto api = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  const HidHandle handle = api->Open(tree.NodePath("hidraw0"));
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(api->Close(handle), 1);
  EXPECT_EQ(api->Close(handle), 0);
  EXPECT_EQ(api->Close(kInvalidHandle), 0);
  EXPECT_EQ(api->Close(int64_t{1} << 40), 0);

  // A descriptor of someone else, even one with a handle's old number.
  const int foreign = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(foreign, 0);
  EXPECT_EQ(api->Close(foreign), 0);
  EXPECT_EQ(::fcntl(foreign, F_GETFD), FD_CLOEXEC) << "closed a descriptor it does not own";
  ::close(foreign);

  // Used after its close, a handle fails every call.
  const uint8_t report[65] = {};
  const int32_t written = api->WriteReport(handle, report, sizeof report);
  EXPECT_NE(written, 1);
  EXPECT_EQ(written, -EBADF);
}

TEST(LinuxHidApiTest, HandlesLeftOpenAreClosedWithTheApi) {
  SysfsTree tree;
  tree.FileNode("hidraw0");
  const std::size_t before = OpenDescriptors();
  {
    const auto api = MakeLinuxHidApi(tree.Sys(), tree.Dev());
    for (int i = 0; i < 3; ++i) ASSERT_NE(api->Open(tree.NodePath("hidraw0")), kInvalidHandle);
    EXPECT_EQ(OpenDescriptors(), before + 3);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(LinuxHidApiTest, DiscoveryLogsWhyTheUnitCannotBeOpenedAndLeaksNothing) {
  SysfsTree tree;
  // hidraw2: some device whose node is no hidraw node (no attributes);
  // hidraw10: the unit, whose node is missing.
  tree.UsbInterface("hidraw2", "usb1/1-1", "0100", kKeyboardUevent);
  tree.FileNode("hidraw2");
  tree.UsbInterface("hidraw10", "usb1/1-2", "0102", kUnitUevent);
  ExpectFailedSearch(*MakeLinuxHidApi(tree.Sys(), tree.Dev()),
                     "TovrixPro found at " + tree.NodePath("hidraw10") +
                         ", but it cannot be opened: No such file or directory\n");
}

}  // namespace
}  // namespace tovrix
