// The claim on the unit's node: one updater at a time. Two HidApi objects
// stand for two updaters on one fixture node (a regular file, which flock
// locks as it locks a hidraw node).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "hid/hid.h"
#include "hid/linux/linux_hid.h"
#include "messages/messages.h"
#include "tests/hid/linux/sysfs_tree.h"
#include "tests/support/session_run.h"

namespace tovrix {
namespace {

using namespace testing_support;

class ClaimTest : public ::testing::Test {
 protected:
  ClaimTest() {
    tree.UsbInterface("hidraw3", "usb1/1-1", "0102", kUnitUevent);
    tree.FileNode("hidraw3");
    unit = tree.NodePath("hidraw3");
  }
  // What api tells of its last open of the unit: whether another update
  // holds it, or no failure at all (Kind::Other for any other failure).
  std::optional<OpenFailure::Kind> Told(HidApi& api) const {
    const std::optional<OpenFailure> failure = api.OpenFailureOf(unit);
    if (!failure) return std::nullopt;
    EXPECT_EQ(failure->path, unit);
    return failure->kind;
  }
  std::string Busy() const { return "TovrixPro found at " + unit + ", but another update is using it"; }

  SysfsTree tree;
  std::string unit;
};

TEST_F(ClaimTest, ASecondUpdaterIsRefusedUntilTheFirstClosesItsLastHandle) {
  const std::size_t before = OpenDescriptors();
  const auto first = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  const auto second = MakeLinuxHidApi(tree.Sys(), tree.Dev());

  const HidHandle a = first->Open(unit);
  ASSERT_NE(a, kInvalidHandle);
  // The same updater may open its unit again: its own claim is no obstacle.
  const HidHandle b = first->Open(unit);
  ASSERT_NE(b, kInvalidHandle);

  EXPECT_EQ(second->Open(unit), kInvalidHandle);
  EXPECT_EQ(Told(*second), OpenFailure::Kind::Claimed);
  EXPECT_EQ(Told(*first), std::nullopt);

  EXPECT_EQ(first->Close(a), 1);
  EXPECT_EQ(second->Open(unit), kInvalidHandle) << "the claim ended with a handle still open";
  EXPECT_EQ(first->Close(b), 1);

  const HidHandle c = second->Open(unit);
  ASSERT_NE(c, kInvalidHandle);
  EXPECT_EQ(Told(*second), std::nullopt);
  EXPECT_EQ(first->Open(unit), kInvalidHandle);
  EXPECT_EQ(Told(*first), OpenFailure::Kind::Claimed);
  EXPECT_EQ(second->Close(c), 1);
  EXPECT_EQ(OpenDescriptors(), before) << "a claim's descriptor outlived its handles";
}

TEST_F(ClaimTest, TheClaimEndsWithTheObjectThatHeldIt) {
  const auto second = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  {
    const auto first = MakeLinuxHidApi(tree.Sys(), tree.Dev());
    ASSERT_NE(first->Open(unit), kInvalidHandle);
    EXPECT_EQ(second->Open(unit), kInvalidHandle);
  }
  const HidHandle handle = second->Open(unit);
  EXPECT_NE(handle, kInvalidHandle);
  EXPECT_EQ(second->Close(handle), 1);
}

TEST_F(ClaimTest, ALockHeldOutsideRefusesTheUnitAndANodeNotTheUnitsIsNeverClaimed) {
  // Another program's lock on the node.
  const int other = ::open(unit.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  const auto api = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  EXPECT_EQ(api->Open(unit), kInvalidHandle);
  EXPECT_EQ(Told(*api), OpenFailure::Kind::Claimed);
  ::close(other);

  // A keyboard, and a node whose device sysfs cannot name: two updaters
  // may both have them open, and leave no lock on them.
  tree.UsbInterface("hidraw5", "usb1/1-2", "0100", kKeyboardUevent);
  tree.FileNode("hidraw5");
  tree.Interface("hidraw6", "virtual/hid6", nullptr);
  tree.FileNode("hidraw6");
  const auto again = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  for (const char* name : {"hidraw5", "hidraw6"}) {
    const std::string path = tree.NodePath(name);
    const HidHandle one = api->Open(path);
    const HidHandle two = again->Open(path);
    EXPECT_NE(one, kInvalidHandle) << name;
    EXPECT_NE(two, kInvalidHandle) << name;
    const int probe = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0) << name << " was locked";
    ::close(probe);
    api->Close(one);
    again->Close(two);
  }
}

TEST_F(ClaimTest, TheSearchPassesAClaimedUnitOverWithItsLine) {
  const auto first = MakeLinuxHidApi(tree.Sys(), tree.Dev());
  const HidHandle held = first->Open(unit);
  ASSERT_NE(held, kInvalidHandle);

  ExpectFailedSearch(*MakeLinuxHidApi(tree.Sys(), tree.Dev()), Busy() + "\n");
  EXPECT_EQ(first->Close(held), 1);
}

}  // namespace
}  // namespace tovrix
