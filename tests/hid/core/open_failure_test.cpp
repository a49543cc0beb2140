// What people read of a failed open of the unit: the log line and the
// listing's reason, for every kind of failure.
#include "hid/open_failure.h"

#include <gtest/gtest.h>

#include <string>

namespace tovrix {
namespace {

using Kind = OpenFailure::Kind;

struct TextCase {
  const char* name;
  OpenFailure failure;
  const char* line;
  const char* reason;
};

const TextCase kTextCases[] = {
    {"Denied", {Kind::Denied, "/dev/hidraw3", "Permission denied", {}},
     "TovrixPro found at /dev/hidraw3, but it cannot be opened: Permission denied", "Permission denied"},
    {"Gone", {Kind::Gone, "/dev/hidraw3", "No such file or directory", {}},
     "TovrixPro found at /dev/hidraw3, but it cannot be opened: No such file or directory",
     "No such file or directory"},
    // The system's text for a refused claim is no reason people can use.
    {"Claimed", {Kind::Claimed, "/dev/hidraw3", "Resource temporarily unavailable", {}},
     "TovrixPro found at /dev/hidraw3, but another update is using it", "another update is using it"},
    {"ClaimedWithoutText", {Kind::Claimed, "\\\\?\\hid#vid_04d8&pid_003c#1", "", {}},
     "TovrixPro found at \\\\?\\hid#vid_04d8&pid_003c#1, but another update is using it",
     "another update is using it"},
    {"Named", {Kind::Other, "webhid:0", "Access denied.", "TovrixPro"},
     "TovrixPro found at webhid:0 (TovrixPro), but it cannot be opened: Access denied.", "Access denied."},
    {"WithoutText", {Kind::Other, "unit", "", {}}, "TovrixPro found at unit, but it cannot be opened",
     "it cannot be opened"},
};

class OpenFailureTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(OpenFailureTextTest, SaysWhereAndWhy) {
  const TextCase& c = GetParam();
  EXPECT_EQ(OpenFailureText(c.failure), c.line);
  EXPECT_EQ(OpenFailureReason(c.failure), c.reason);
}

INSTANTIATE_TEST_SUITE_P(Kinds, OpenFailureTextTest, testing::ValuesIn(kTextCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovrix
