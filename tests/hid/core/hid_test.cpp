#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "tests/support/session_run.h"
#include "hid/hid.h"

namespace tovrix {
namespace {

// A platform whose devices fail in the ways real ones do; every call is
// recorded.
class FakeApi : public HidApi {
 public:
  struct Device {
    std::string path;
    bool opens = true;
    bool attributes = true;
    HidAttributes ids;
    std::optional<OpenFailure> failure;
  };
  std::vector<Device> devices;
  std::vector<std::string> calls;
  std::map<HidHandle, bool> open;  // handle -> still open
  int32_t waitResult = kWaitReady;
  bool readOpens = true;

  std::vector<std::string> ListInterfaces() override {
    std::vector<std::string> paths;
    for (const auto& d : devices) paths.push_back(d.path);
    return paths;
  }
  HidHandle Open(const std::string& path) override {
    calls.push_back("open " + path);
    const Device* d = Find(path);
    if (!d || !d->opens) return kInvalidHandle;
    return NewHandle();
  }
  std::optional<OpenFailure> OpenFailureOf(const std::string& path) override {
    const Device* d = Find(path);
    return d ? d->failure : std::nullopt;
  }
  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override {
    Check(handle);
    const Device& d = devices[static_cast<std::size_t>(deviceOf_[handle])];
    if (!d.attributes) return 0;
    attributes = d.ids;
    return 1;
  }
  int32_t GetCaps(HidHandle handle, HidCaps& caps) override {
    Check(handle);
    caps = {65, 65, 1};
    return 1;
  }
  HidHandle OpenForReading(const std::string& path) override {
    calls.push_back("open for reading " + path);
    return readOpens ? NewHandle() : kInvalidHandle;
  }
  int32_t PrepareRead(HidHandle reading) override {
    Check(reading);
    return 1;
  }
  int32_t WriteReport(HidHandle handle, const uint8_t*, std::size_t) override {
    Check(handle);
    return 1;
  }
  int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) override {
    Check(reading);
    calls.push_back("read");
    if (waitResult == kWaitReady && length > 1) buffer[1] = 0x02;
    return 0;
  }
  int32_t WaitRead(HidHandle reading, int timeoutMs) override {
    Check(reading);
    calls.push_back("wait " + std::to_string(timeoutMs));
    return waitResult;
  }
  int32_t CancelRead(HidHandle reading) override {
    Check(reading);
    calls.push_back("cancel");
    return 1;
  }
  int32_t Close(HidHandle handle) override {
    Check(handle);
    open[handle] = false;
    calls.push_back("close " + std::to_string(handle));
    return 1;
  }

  int OpenCount() const {
    int n = 0;
    for (const auto& [handle, isOpen] : open) n += isOpen;
    return n;
  }

 private:
  const Device* Find(const std::string& path) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].path == path) {
        lastDevice_ = static_cast<int>(i);
        return &devices[i];
      }
    }
    return nullptr;
  }
  HidHandle NewHandle() {
    const HidHandle h = next_++;
    open[h] = true;
    deviceOf_[h] = lastDevice_;
    return h;
  }
  void Check(HidHandle handle) {
    ASSERT_TRUE(open.count(handle)) << "handle " << handle << " was never opened";
    ASSERT_TRUE(open[handle]) << "handle " << handle << " used after close";
  }
  HidHandle next_ = 10;
  int lastDevice_ = 0;
  std::map<HidHandle, int> deviceOf_;
};

class HidTransportTest : public ::testing::Test {
 protected:
  FakeApi api;
  test::RecordingShell shell_;
  std::vector<std::string>& log = shell_.lines;
  Messages messages_{shell_};
  HidTransport hid_{api, messages_};
};

constexpr HidAttributes kUnit{0x04D8, 0x003C, 0x0102};

TEST_F(HidTransportTest, PassesOverDevicesThatCannotBeOpenedOrRead) {
  api.devices = {{"a", false, true, {1, 2, 3}, {}},
                 {"b", true, false, {1, 2, 3}, {}},
                 {"c", false, true, kUnit, OpenFailure{OpenFailure::Kind::Denied, "c", "denied", {}}},
                 {"d", true, true, {0, 0x3C, 0x100}, {}},
                 {"e", true, true, kUnit, {}},
                 {"f", true, true, kUnit, {}}};
  EXPECT_EQ(hid_.FindTheHid(), kTrue);
  EXPECT_EQ(hid_.Device.DeviceOpen, kTrue);
  std::vector<std::string> expected{"log TovrixPro found at c, but it cannot be opened: denied"};
  for (const auto& device : {test::FoundDevice("0", "3C", "100", false), test::FoundDevice("4D8", "3C", "102", true)}) {
    expected.insert(expected.end(), device.begin(), device.end());
  }
  EXPECT_EQ(log, expected);
  // The unreadable device and the unknown one were closed; the unit is open
  // twice; the second unit was never opened.
  EXPECT_EQ(api.OpenCount(), 2);
  EXPECT_EQ(std::count(api.calls.begin(), api.calls.end(), "open f"), 0);
  EXPECT_EQ(std::count(api.calls.begin(), api.calls.end(), "open for reading e"), 1);
}

// Limited to one interface, the search passes every other by unseen: the
// unit asked for, another unit, or an interface that is not listed.
TEST_F(HidTransportTest, ASearchLimitedToOneInterfaceLooksAtThatOneAlone) {
  struct Case {
    const char* only;
    int16_t found;
    std::vector<std::string> opened;
  };
  for (const Case& c : {Case{"f", kTrue, {"open f", "open for reading f"}},
                        Case{"d", kFalse, {"open d"}},
                        Case{"x", kFalse, {}}}) {
    FakeApi fake;
    fake.devices = {{"d", true, true, {0, 0x3C, 0x100}, {}}, {"e", true, true, kUnit, {}},
                    {"f", true, true, kUnit, {}}};
    HidTransport hid(fake, messages_);
    hid.OnlyInterface = c.only;
    EXPECT_EQ(hid.FindTheHid(), c.found) << c.only;
    std::vector<std::string> opened;
    for (const auto& call : fake.calls) {
      if (call.rfind("open", 0) == 0) opened.push_back(call);
    }
    EXPECT_EQ(opened, c.opened) << c.only;
    EXPECT_EQ(hid.DevicePath(), c.found ? c.only : "") << c.only;
    hid.CloseDevice();
    EXPECT_EQ(fake.OpenCount(), 0);
  }
}

TEST_F(HidTransportTest, NoUnitLeavesNothingOpenAndCloseDeviceClosesNothing) {
  api.devices = {{"a", true, true, {0x04D8, 0x003D, 1}, {}}};
  EXPECT_EQ(hid_.FindTheHid(), kFalse);
  EXPECT_EQ(api.OpenCount(), 0);
  const auto calls = api.calls.size();
  hid_.CloseDevice();
  hid_.CloseDevice();
  EXPECT_EQ(api.calls.size(), calls);
  EXPECT_EQ(hid_.Device.DeviceOpen, kFalse);
}

TEST_F(HidTransportTest, CloseDeviceClosesEachHandleOnce) {
  api.devices = {{"e", true, true, kUnit, {}}};
  ASSERT_EQ(hid_.FindTheHid(), kTrue);
  hid_.CloseDevice();
  hid_.CloseDevice();
  EXPECT_EQ(api.OpenCount(), 0);
  EXPECT_EQ(std::count_if(api.calls.begin(), api.calls.end(),
                          [](const std::string& c) { return c.rfind("close", 0) == 0; }),
            2);
  EXPECT_EQ(hid_.Device.DeviceOpen, kFalse);
}

struct ReadCase {
  int32_t wait;
  std::vector<std::string> calls;
  std::vector<std::string> log;
};

class ReadInputReportTest : public HidTransportTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadInputReportTest, ZeroesTheEchoWhenNoReportCame) {
  api.devices = {{"e", true, true, kUnit, {}}};
  ASSERT_EQ(hid_.FindTheHid(), kTrue);
  api.calls.clear();
  log.clear();
  hid_.InputBuffer.assign(66, 0x77);
  api.waitResult = GetParam().wait;
  hid_.ReadInputReport();
  EXPECT_EQ(api.calls, GetParam().calls);
  EXPECT_EQ(log, GetParam().log);
  EXPECT_EQ(hid_.InputBuffer[1], GetParam().wait == kWaitReady ? 0x02 : 0x00);
  EXPECT_EQ(hid_.InputBuffer[2], 0x77);
  EXPECT_EQ(hid_.Device.LastResult, GetParam().wait == kWaitTimeout ? 1 : GetParam().wait);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, ReadInputReportTest,
    ::testing::Values(ReadCase{kWaitReady, {"read", "wait 500"}, {}},
                      ReadCase{kWaitTimeout, {"read", "wait 500", "cancel"}, {}},
                      ReadCase{-1, {"read", "wait 500"}, {"log Readfile undefined error"}}));

TEST_F(HidTransportTest, AReadHandleThatDidNotOpenReadsNothing) {
  api.devices = {{"e", true, true, kUnit, {}}};
  api.readOpens = false;
  ASSERT_EQ(hid_.FindTheHid(), kTrue);
  hid_.InputBuffer.assign(66, 0x77);
  hid_.ReadInputReport();
  EXPECT_EQ(hid_.InputBuffer[1], 0);
  EXPECT_THROW(hid_.AwaitEraseResponse(), ProgramEnd);
  EXPECT_EQ(log.back(), "box critical Program Abort!");
}

TEST_F(HidTransportTest, FailedWaitsAfterEraseCountAsWaiting) {
  api.devices = {{"e", true, true, kUnit, {}}};
  ASSERT_EQ(hid_.FindTheHid(), kTrue);
  log.clear();
  hid_.InputBuffer.assign(66, 0);
  api.waitResult = -1;
  EXPECT_THROW(hid_.AwaitEraseResponse(), ProgramEnd);
  ASSERT_EQ(log.size(), 13u);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(log[i], "logpart (waiting) ... ");
  EXPECT_EQ(log[11], "log No response after ERASE!");
  EXPECT_EQ(std::count(api.calls.begin(), api.calls.end(), "cancel"), 11);
}

}  // namespace
}  // namespace tovrix
