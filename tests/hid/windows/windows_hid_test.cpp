// The Windows HID backend: its logic against fakes of the Win32 calls, and
// its reads and writes through Windows' own overlapped file I/O on named
// pipes (under Wine in the build's tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "emulator/emulated_hid.h"
#include "hid/hid.h"
#include "hid/windows/system_library.h"
#include "hid/windows/windows_hid.h"
#include "messages/messages.h"
#include "protocol/protocol.h"
#include "tests/hid/windows/fake_win32_hid_calls.h"
#include "tests/support/session_run.h"
#include "tools/emulate/transcript.h"

namespace tovrix::windows_hid {
namespace {

// The calls as Windows makes them (hid.dll from the system folder), for
// the tests through Windows' own I/O and mutexes.
Win32HidCalls& SystemCalls() {
  static std::optional<SystemLibraryFailure> failure;
  static const std::unique_ptr<Win32HidCalls> calls = LoadSystemWin32HidCalls(failure);
  if (!calls) {
    std::fprintf(stderr, "%s\n", SystemLibraryFailureText(*failure).c_str());
    std::abort();
  }
  return *calls;
}

using Texts = std::vector<std::string>;

void Shut(FakeCalls::Device& d) { d.opens = false; }
void NoAttributes(FakeCalls::Device& d) { d.attributes = false; }
// A report whose first byte after the ID is 0x02.
std::vector<uint8_t> Report02() {
  std::vector<uint8_t> report(65, 0);
  report[1] = 0x02;
  return report;
}

// The fake's faults fail the test that made them.
class WindowsHid : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(fake.faults, Texts{}); }
  // The calls that act makes.
  Texts During(const std::function<void()>& act) {
    const std::size_t first = fake.calls.size();
    act();
    return fake.CallsFrom(first);
  }
  FakeCalls fake;
};

// An interface of a device that is not plugged in is not listed; each
// path is fetched whole, and the information set is destroyed.
TEST_F(WindowsHid, ListsThePathsOfThePresentHidInterfacesInEnumerationOrder) {
  fake.devices = {OtherDevice("\\\\?\\hid#a", 1, 2),
                  With(OtherDevice("\\\\?\\hid#gone", 5, 6), [](auto& d) { d.present = false; }),
                  UnitDevice("\\\\?\\hid#unit"), OtherDevice("\\\\?\\hid#c", 3, 4)};
  EXPECT_EQ(WindowsHidApi(fake).ListInterfaces(), (Texts{"\\\\?\\hid#a", "\\\\?\\hid#unit", "\\\\?\\hid#c"}));
  EXPECT_EQ(fake.setsOpen, 0);
}

TEST_F(WindowsHid, NoInformationSetNoPathsAndNothingDestroyed) {
  fake.setFails = true;
  fake.devices = {UnitDevice()};
  WindowsHidApi api(fake);
  EXPECT_TRUE(api.ListInterfaces().empty());
  EXPECT_EQ(fake.calls, Texts{"ClassDevs"});  // neither enumerated nor destroyed
}

TEST_F(WindowsHid, AnInterfaceWhoseDetailCannotHoldAPathIsPassedOver) {
  struct Case { DWORD detailSize; bool fetches; bool listed; };
  const DWORD minimum = kMinimumDetailSize;
  const Case cases[] = {
      {1, true, false},  {3, true, false},   {4, true, false},
      {minimum - 1, true, false}, {1u << 30, true, false}, {0xFFFFFFFF, true, false},
      {0, false, false},  // the fetch fails
      {0, true, true},    // the real need
      {200, true, true},  // more than the need
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("detail size " + std::to_string(c.detailSize));
    FakeCalls calls;
    calls.devices = {With(UnitDevice("\\\\?\\hid#odd"), [&](auto& d) { d.detailSize = c.detailSize, d.fetches = c.fetches; }),
                     OtherDevice("\\\\?\\hid#next", 1, 1)};
    EXPECT_EQ(WindowsHidApi(calls).ListInterfaces(),
              (c.listed ? Texts{"\\\\?\\hid#odd", "\\\\?\\hid#next"} : Texts{"\\\\?\\hid#next"}));
    EXPECT_EQ(calls.calls.back(), "Destroy");
  }
}

// The unit opened twice while another program has it open for reading and
// writing: reports go out on the first handle, come in on the second,
// overlapped. A program that keeps its device to itself, or shares it only
// for reading, keeps it closed; a path that is no device makes no file.
// The handles are inheritable and have the default security.
TEST_F(WindowsHid, OpensADeviceTwiceBesideOtherProgramsAndMakesNoFile) {
  const DWORD readWrite = GENERIC_READ | GENERIC_WRITE;
  const auto held = [](FakeCalls::Device d, DWORD access, DWORD share) {
    return With(std::move(d), [&](auto& device) { device.heldElsewhere = {{access, share}}; });
  };
  const auto unit = held(UnitDevice("\\\\?\\hid#unit"), readWrite, FILE_SHARE_READ | FILE_SHARE_WRITE);
  const auto kept = held(OtherDevice("\\\\?\\hid#kept", 1, 1), readWrite, 0);
  const auto readOnly = held(OtherDevice("\\\\?\\hid#read-only", 2, 2), GENERIC_READ, FILE_SHARE_READ);
  fake.devices = {unit, kept, readOnly};
  fake.report = Report02();
  WindowsHidApi api(fake);
  const HidHandle plain = api.Open(unit.path);
  ASSERT_NE(plain, kInvalidHandle);
  const HidHandle reading = api.OpenForReading(unit.path);
  ASSERT_NE(reading, kInvalidHandle);
  EXPECT_NE(reading, plain);
  EXPECT_EQ(api.OpenHandles(), 2u);
  const uint8_t report[65] = {0x00, 0x02};
  EXPECT_EQ(api.WriteReport(plain, report, sizeof report), 1);
  std::vector<uint8_t> buffer(65, 0);
  ASSERT_EQ(api.PrepareRead(reading), 1);
  EXPECT_EQ(api.StartRead(reading, buffer.data(), 65), 0);  // pending
  EXPECT_EQ(api.WaitRead(reading, 500), kWaitReady);
  EXPECT_EQ(buffer[1], 0x02);
  for (const auto& [handle, file] : fake.files) EXPECT_TRUE(file.inheritable);
  EXPECT_EQ(fake.lastSecurity.lpSecurityDescriptor, nullptr);

  for (const std::string& path : {kept.path, readOnly.path, std::string("\\\\?\\hid#gone")}) {
    EXPECT_EQ(api.Open(path), kInvalidHandle) << path;
  }
  EXPECT_EQ(api.OpenHandles(), 2u);
}

TEST_F(WindowsHid, AFailedOpenOfTheUnitSaysWhy) {
  struct Case { DWORD error; OpenFailure::Kind kind; };
  for (const Case c : {Case{ERROR_ACCESS_DENIED, OpenFailure::Kind::Denied},
                       Case{ERROR_FILE_NOT_FOUND, OpenFailure::Kind::Gone},
                       Case{ERROR_DEVICE_NOT_CONNECTED, OpenFailure::Kind::Gone},
                       Case{ERROR_SHARING_VIOLATION, OpenFailure::Kind::Other}}) {
    SCOPED_TRACE(c.error);
    FakeCalls calls;
    const auto unit = With(UnitDevice(), [&](auto& d) { d.opens = false, d.openError = c.error; });
    const auto other = With(OtherDevice("\\\\?\\hid#vid_1234&pid_0001#x", 0x1234, 1), Shut);
    calls.devices = {unit, other};
    WindowsHidApi api(calls);
    EXPECT_EQ(api.Open(unit.path), kInvalidHandle);
    const std::optional<OpenFailure> failure = api.OpenFailureOf(unit.path);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_EQ(failure->path, unit.path);
    EXPECT_EQ(failure->reason, ErrorText(c.error));
    EXPECT_NE(failure->reason, "");
    EXPECT_EQ(failure->reason.find_first_of("\r\n"), std::string::npos) << failure->reason;
    EXPECT_EQ(api.OpenFailureOf("\\\\?\\hid#elsewhere"), std::nullopt);
    EXPECT_EQ(api.Open(other.path), kInvalidHandle);
    EXPECT_EQ(api.OpenFailureOf(other.path), std::nullopt);
    EXPECT_EQ(api.OpenHandles(), 0u);
  }
}

TEST_F(WindowsHid, HandlesAreClosedOnceAndOnlyWhenOpen) {
  fake.devices = {UnitDevice("\\\\?\\hid#unit")};
  WindowsHidApi api(fake);
  const HidHandle handle = api.Open("\\\\?\\hid#unit");
  EXPECT_EQ(api.Close(handle), 1);
  // Nothing is done with a closed handle.
  EXPECT_EQ(During([&] {
              for (const HidHandle h : {handle, kInvalidHandle, HidHandle{0}, HidHandle{12345}}) {
                EXPECT_EQ(api.Close(h), 0);
              }
              HidAttributes attributes;
              HidCaps caps;
              uint8_t report[65] = {};
              EXPECT_EQ(api.GetAttributes(handle, attributes), 0);
              EXPECT_EQ(api.GetCaps(handle, caps), 0);
              EXPECT_EQ(api.WriteReport(handle, report, sizeof report), 0);
              EXPECT_EQ(api.StartRead(handle, report, sizeof report), 0);
              EXPECT_NE(api.WaitRead(handle, 500), kWaitReady);
            }),
            Texts{});
}

TEST_F(WindowsHid, AttributesComeWithTheRecordSizeSet) {
  fake.devices = {UnitDevice("\\\\?\\hid#unit"), With(OtherDevice("\\\\?\\hid#broken", 5, 6), NoAttributes)};
  WindowsHidApi api(fake);
  HidAttributes attributes;
  EXPECT_EQ(api.GetAttributes(api.Open("\\\\?\\hid#unit"), attributes), 1);
  EXPECT_EQ(fake.faults, Texts{});  // the record's size given
  EXPECT_EQ(attributes.VendorID, 0x04D8);
  EXPECT_EQ(attributes.ProductID, 0x003C);
  EXPECT_EQ(attributes.VersionNumber, 0x0102);
  EXPECT_EQ(api.GetAttributes(api.Open("\\\\?\\hid#broken"), attributes), 0);
}

TEST_F(WindowsHid, CapsCountTheValueCapabilitiesReturnedInABufferForAllReported) {
  struct Case { USHORT reported, given, expected; };  // by HidP_GetCaps, by HidP_GetValueCaps; counted
  // 20 records do not fit the 14 of a fixed 1024-byte buffer.
  const Case cases[] = {{1, 1, 1}, {3, 1, 1}, {0, 0, 0}, {20, 20, 20}, {2, 5, 2}, {1, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.reported) + " reported, " + std::to_string(c.given) + " given");
    FakeCalls calls;
    calls.devices = {With(UnitDevice("\\\\?\\hid#unit"),
                          [&](auto& d) { d.caps = Caps(65, 64, c.reported), d.valueCapsGiven = c.given; })};
    WindowsHidApi api(calls);
    HidCaps caps;
    EXPECT_EQ(api.GetCaps(api.Open(calls.devices[0].path), caps), 1);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 64);
    EXPECT_EQ(caps.NumberInputValueCaps, c.expected);  // the input report's
    EXPECT_EQ(calls.valueCapsAskedFor, c.reported);    // room for every record reported
    EXPECT_EQ(calls.preparsedOut, 0);
  }
}

TEST_F(WindowsHid, NoPreparsedDataNoCaps) {
  fake.devices = {With(UnitDevice("\\\\?\\hid#unit"), [](auto& d) { d.preparsed = false; })};
  WindowsHidApi api(fake);
  HidCaps caps{1, 2, 3};
  EXPECT_EQ(api.GetCaps(api.Open(fake.devices[0].path), caps), 0);
  EXPECT_EQ(caps.InputReportByteLength, 1);
  EXPECT_EQ(caps.NumberInputValueCaps, 3);
  EXPECT_EQ(fake.calls.back(), "GetPreparsedData");
}

class WindowsHidReads : public WindowsHid {
 protected:
  void SetUp() override {
    fake.devices = {UnitDevice("\\\\?\\hid#unit")};
    fake.report = Report02();
    writing = api.Open("\\\\?\\hid#unit");
    reading = api.OpenForReading("\\\\?\\hid#unit");
    ASSERT_EQ(api.PrepareRead(reading), 1);
  }
  // A read into buffer, and its wait.
  int32_t Read() {
    api.StartRead(reading, buffer.data(), 65);
    return api.WaitRead(reading, 500);
  }
  // A read that no report ends within its wait.
  void TimedOut() {
    fake.waitResult = WAIT_TIMEOUT;
    EXPECT_EQ(Read(), kWaitTimeout);
  }

  WindowsHidApi api{fake};
  HidHandle writing = kInvalidHandle;
  HidHandle reading = kInvalidHandle;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(66, 0);
};

// The reading handle's event: made once, set until the first read starts
// and kept so by each read that is over until the backend resets it (a
// manual-reset event, which a wait does not reset); an event of its own,
// not one shared by name with another reader of the unit.
TEST_F(WindowsHidReads, TheEventIsMadeOnceSetUntilAReadAndResetAfterEach) {
  const HANDLE event = api.ReadEvent(reading);
  const OVERLAPPED* overlapped = api.ReadOverlapped(reading);
  ASSERT_NE(event, nullptr);
  ASSERT_NE(overlapped, nullptr);
  EXPECT_EQ(overlapped->hEvent, event);
  EXPECT_EQ(overlapped->Offset, 0u);
  EXPECT_EQ(overlapped->OffsetHigh, 0u);
  const std::size_t object = fake.eventOf.at(event);
  EXPECT_TRUE(fake.events[object].manualReset);
  EXPECT_TRUE(fake.events[object].signalled);
  EXPECT_EQ(api.PrepareRead(reading), 1);
  EXPECT_EQ(api.ReadEvent(reading), event);
  EXPECT_EQ(fake.events.size(), 1u);
  EXPECT_EQ(api.PrepareRead(writing), 0);  // not a reading handle

  for (int read = 0; read < 2; ++read) {
    api.StartRead(reading, buffer.data(), 65);
    EXPECT_FALSE(fake.events[object].signalled);
    EXPECT_EQ(api.WaitRead(reading, 500), kWaitReady);
    EXPECT_FALSE(fake.events[object].signalled) << "read " << read;
  }

  WindowsHidApi other(fake);
  const HidHandle second = other.OpenForReading("\\\\?\\hid#unit");
  ASSERT_EQ(other.PrepareRead(second), 1);
  EXPECT_NE(fake.eventOf.at(other.ReadEvent(second)), object);
}

TEST_F(WindowsHidReads, AWaitThatSeesTheEventResetsItAndTheReportIsInTheBuffer) {
  EXPECT_EQ(During([&] { EXPECT_EQ(Read(), kWaitReady); }),
            (Texts{"ReadFile 65", "Wait 500", "ResetEvent", "GetOverlappedResult wait=0"}));
  EXPECT_EQ(buffer[1], 0x02);
  EXPECT_EQ(buffer[65], 0);  // never written by a read
}

TEST_F(WindowsHidReads, WaitResultsMapOntoReadyTimeoutAndFailure) {
  struct Case { DWORD wait; int32_t expected; bool reset; };
  const Case cases[] = {{WAIT_OBJECT_0, kWaitReady, true},
                        {WAIT_TIMEOUT, kWaitTimeout, false},
                        {WAIT_FAILED, -1, false},
                        {WAIT_ABANDONED, static_cast<int32_t>(WAIT_ABANDONED), false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wait);
    fake.waitResult = c.wait;
    api.StartRead(reading, buffer.data(), 65);
    const Texts calls = During([&] { EXPECT_EQ(api.WaitRead(reading, 500), c.expected); });
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "ResetEvent") != calls.end(), c.reset);
    if (c.expected != kWaitReady) api.CancelRead(reading);
  }
}

TEST_F(WindowsHidReads, AReadThatCompletesWithAnErrorIsAFailedWait) {
  fake.readCompletesWithError = true;
  EXPECT_EQ(Read(), -1);
}

TEST_F(WindowsHidReads, AReadThatCannotStartFailsItsWaitAtOnce) {
  fake.readStartFails = true;
  EXPECT_EQ(api.StartRead(reading, buffer.data(), 65), 0);
  EXPECT_EQ(During([&] { EXPECT_EQ(api.WaitRead(reading, 500), -1); }), Texts{});  // no wait of 500 ms
  EXPECT_EQ(api.CancelRead(reading), 1);
}

TEST_F(WindowsHidReads, ACancelWaitsUntilTheReadIsOver) {
  TimedOut();
  EXPECT_EQ(During([&] { EXPECT_EQ(api.CancelRead(reading), 1); }),
            (Texts{"CancelIo", "GetOverlappedResult wait=1"}));
  // The next read starts on a free record.
  fake.waitResult = WAIT_OBJECT_0;
  EXPECT_EQ(Read(), kWaitReady);
}

TEST_F(WindowsHidReads, AReportThatCameAsTheReadWasCancelledIsDeliveredByTheNextRead) {
  fake.reportOnCancel = true;
  TimedOut();
  api.CancelRead(reading);
  buffer.assign(66, 0);
  EXPECT_EQ(During([&] { EXPECT_EQ(Read(), kWaitReady); }), Texts{});
  EXPECT_EQ(buffer[1], 0x02);
}

TEST_F(WindowsHidReads, AWriteDropsTheReportsThatCameBeforeIt) {
  fake.reportOnCancel = true;
  TimedOut();
  api.CancelRead(reading);
  uint8_t report[65] = {0, 2};
  EXPECT_EQ(During([&] { EXPECT_EQ(api.WriteReport(writing, report, sizeof report), 1); }),
            (Texts{"FlushQueue", "WriteFile 65 first=0"}));
  // The kept report is gone: the next read goes to the device.
  fake.reportOnCancel = false;
  EXPECT_EQ(Read(), kWaitTimeout);
}

TEST_F(WindowsHidReads, WritesReportOneWhenWrittenAndZeroWhenNot) {
  uint8_t report[65] = {};
  EXPECT_EQ(api.WriteReport(writing, report, sizeof report), 1);
  EXPECT_EQ(fake.calls.back(), "WriteFile 65 first=0");  // the whole report, its ID first
  fake.writeResult = FALSE;
  EXPECT_EQ(api.WriteReport(writing, report, sizeof report), 0);
}

TEST_F(WindowsHidReads, ClosingAHandleWithAPendingReadEndsTheReadFirst) {
  TimedOut();
  // The handle, then its event.
  EXPECT_EQ(During([&] { EXPECT_EQ(api.Close(reading), 1); }),
            (Texts{"CancelIo", "GetOverlappedResult wait=1", "CloseHandle", "CloseHandle"}));
}

// The engine's procedures over this backend.
TEST_F(WindowsHid, TheEngineFindsTheUnitAfterOtherDevicesAndClosesEachHandleOnce) {
  fake.devices = {OtherDevice("\\\\?\\hid#kbd", 0x45E, 0x7A5), With(OtherDevice("\\\\?\\hid#broken", 7, 7), NoAttributes),
                  With(OtherDevice("\\\\?\\hid#locked", 8, 8), Shut), OtherDevice("\\\\?\\hid#near", 0x04D8, 0x003D),
                  UnitDevice("\\\\?\\hid#unit"), UnitDevice("\\\\?\\hid#second")};
  test::RecordingShell shell;
  Messages messages(shell);
  {
    WindowsHidApi api(fake);
    HidTransport hid(api, messages);
    EXPECT_EQ(hid.FindTheHid(), kTrue);
    EXPECT_EQ(shell.Log(),
              "Found USB device:  VID=45E, PID=7A5, Version=0 <- Unknown device\n"
              "Found USB device:  VID=4D8, PID=3D, Version=0 <- Unknown device\n"
              "Found USB device:  VID=4D8, PID=3C, Version=102 <- TovrixPro found!\n");
    EXPECT_EQ(hid.Device.DeviceCaps.InputReportByteLength, 65);
    EXPECT_EQ(hid.Device.DeviceCaps.NumberInputValueCaps, 1);
    EXPECT_EQ(api.OpenHandles(), 2u);  // the unit's two

    hid.InputBuffer.assign(66, 0);
    fake.report = Report02();
    hid.ReadInputReport();
    EXPECT_EQ(hid.InputBuffer[1], 0x02);

    hid.CloseDevice();
    EXPECT_EQ(hid.Device.DeviceOpen, kFalse);
    EXPECT_EQ(api.OpenHandles(), 0u);
    hid.CloseDevice();
  }
  // Only the event outlives the device, until the backend goes.
  EXPECT_TRUE(fake.open.empty());
}

// A unit that answers the first QUERY twice: the second reply waits in the
// driver's queue when ERASE is written, and must not be taken for the reply
// that ends the erase. The erase wait waits as with a well-behaved unit.
TEST(WindowsHidUnit, AReplyNobodyAskedForDoesNotEndTheEraseWait) {
  for (const bool repeat : {false, true}) {
    SCOPED_TRACE(repeat ? "first QUERY answered twice" : "well-behaved unit");
    emu::UnitOptions options;
    options.eraseMicros = emu::EraseMicrosForWaits(2);
    options.repeatFirstReply = repeat;
    UnitCalls fake(options);
    test::RecordingShell shell;
    Messages messages(shell);
    WindowsHidApi api(fake);
    HidTransport hid(api, messages);
    Bootloader boot(hid, messages);
    ASSERT_EQ(hid.FindTheHid(), kTrue);
    hid.InputBuffer.assign(66, 0);
    boot.SendCommand(QUERY);  // as the update checks and erases the unit
    hid.ReadInputReport();
    boot.CheckQueryReply();
    boot.SendCommand(ERASE);
    boot.SendCommand(QUERY);
    hid.AwaitEraseResponse();
    EXPECT_EQ(shell.Log(),
              "Found USB device:  VID=4D8, PID=3C, Version=102 <- TovrixPro found!\n"
              "OK (memory from $400 to $57FF)\n(waiting) ... (waiting) ... ");
    EXPECT_EQ(fake.flushed, repeat ? 1u : 0u);
    hid.CloseDevice();
    EXPECT_TRUE(fake.faults.empty()) << fake.faults.front();
  }
}

// --- Real Windows I/O: named pipes stand in for the device ---

class PipeDevice {
 public:
  // tag: more words in the pipe's name (vid_04d8&pid_003c makes it the unit's);
  // opens: how many times it can be opened.
  explicit PipeDevice(const std::string& tag = "", int opens = 2) : ends_(static_cast<std::size_t>(opens)) {
    name_ = "\\\\.\\pipe\\tovrix-hid-test-" + tag + std::to_string(::GetCurrentProcessId()) + "-" +
            std::to_string(++count_);
    for (HANDLE& end : ends_) {
      end = ::CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                               static_cast<DWORD>(opens), 4096, 4096, 0, nullptr);
    }
  }
  ~PipeDevice() {
    for (HANDLE end : ends_) {
      if (end != INVALID_HANDLE_VALUE) ::CloseHandle(end);
    }
  }
  const std::string& Path() const { return name_; }
  bool Ok() const {
    return std::none_of(ends_.begin(), ends_.end(), [](HANDLE end) { return end == INVALID_HANDLE_VALUE; });
  }
  // The device's end of the n-th open (0: the plain handle, 1: the reading one).
  HANDLE End(int n) const { return ends_[n]; }

 private:
  static inline int count_ = 0;
  std::string name_;
  std::vector<HANDLE> ends_;
};

TEST(WindowsHidPipes, ReportsGoOutAndComeInThroughWindowsOwnOverlappedIo) {
  PipeDevice device;
  ASSERT_TRUE(device.Ok());
  WindowsHidApi api(SystemCalls());
  const HidHandle writing = api.Open(device.Path());
  ASSERT_NE(writing, kInvalidHandle);
  const HidHandle reading = api.OpenForReading(device.Path());
  ASSERT_NE(reading, kInvalidHandle);
  ASSERT_EQ(api.PrepareRead(reading), 1);  // a real event named ""

  // A pipe is no HID device.
  HidAttributes attributes;
  EXPECT_EQ(api.GetAttributes(writing, attributes), 0);

  // Out: the whole report, report ID first.
  uint8_t report[65] = {0x00, 0x02};
  report[64] = 0x7F;
  ASSERT_EQ(api.WriteReport(writing, report, sizeof report), 1);
  uint8_t got[100] = {};
  DWORD n = 0;
  ASSERT_TRUE(::ReadFile(device.End(0), got, sizeof got, &n, nullptr));
  EXPECT_EQ(n, 65u);
  EXPECT_EQ(std::memcmp(got, report, 65), 0);

  // In: nothing within the wait, then the cancel; a report then comes.
  std::vector<uint8_t> buffer(66, 0);
  api.StartRead(reading, buffer.data(), 65);
  EXPECT_EQ(api.WaitRead(reading, 100), kWaitTimeout);
  EXPECT_EQ(api.CancelRead(reading), 1);
  uint8_t reply[65] = {0x00, 0x02, 0x38};
  ASSERT_TRUE(::WriteFile(device.End(1), reply, sizeof reply, &n, nullptr));
  api.StartRead(reading, buffer.data(), 65);
  EXPECT_EQ(api.WaitRead(reading, 500), kWaitReady);
  EXPECT_EQ(std::memcmp(buffer.data(), reply, 65), 0);
  EXPECT_EQ(buffer[65], 0);

  // Read again at once: the event was reset, so this wait times out.
  api.StartRead(reading, buffer.data(), 65);
  EXPECT_EQ(api.WaitRead(reading, 50), kWaitTimeout);
  // Closing with the read pending ends it first.
  EXPECT_EQ(api.Close(reading), 1);
  EXPECT_EQ(api.Close(writing), 1);
  EXPECT_EQ(api.Close(writing), 0);
}

TEST(WindowsHidPipes, TheSearchOnThisMachineEndsAndClosesWhatItOpened) {
  // Whatever HID devices this machine (or Wine) has, none is the unit here
  // or it is the real one; either way every handle is accounted for.
  WindowsHidApi api(SystemCalls());
  for (const std::string& path : api.ListInterfaces()) {
    const HidHandle handle = api.Open(path);
    if (handle == kInvalidHandle) continue;
    HidAttributes attributes;
    api.GetAttributes(handle, attributes);
    EXPECT_EQ(api.Close(handle), 1);
  }
  EXPECT_EQ(api.OpenHandles(), 0u);
}

// --- The claim: one updater per unit ---

std::string Busy(const std::string& path) {
  return "TovrixPro found at " + path + ", but another update is using it";
}

// What api tells of its last open of path: whether another update holds
// the unit, or no failure at all.
std::optional<OpenFailure::Kind> Told(WindowsHidApi& api, const std::string& path) {
  const std::optional<OpenFailure> failure = api.OpenFailureOf(path);
  if (!failure) return std::nullopt;
  EXPECT_EQ(failure->path, path);
  return failure->kind;
}
constexpr OpenFailure::Kind kClaimed = OpenFailure::Kind::Claimed;

// Why the last open of path failed, for a test's message.
std::string Reason(WindowsHidApi& api, const std::string& path) {
  const std::optional<OpenFailure> failure = api.OpenFailureOf(path);
  return failure ? failure->reason : std::string();
}

TEST_F(WindowsHid, ASecondUpdaterIsRefusedUntilTheFirstHasClosedTheUnit) {
  const FakeCalls::Device unit = UnitDevice();
  fake.devices = {unit};
  WindowsHidApi first(fake);
  WindowsHidApi second(fake);
  const std::string claim = UnitClaimName(unit.path);

  const HidHandle writing = first.Open(unit.path);
  ASSERT_NE(writing, kInvalidHandle);
  // Made before the device is opened, not owned by the thread that made it
  // (nor by any), and not handed down to programs this one starts.
  EXPECT_EQ(fake.calls.at(fake.calls.size() - 2), "CreateMutex " + claim);
  EXPECT_EQ(fake.mutexMade.at(claim), std::make_pair(false, false));
  const HidHandle reading = first.OpenForReading(unit.path);
  ASSERT_NE(reading, kInvalidHandle);
  EXPECT_EQ(fake.mutexes.at(claim), 1) << "the reading handle shares the claim";

  EXPECT_EQ(During([&] { EXPECT_EQ(second.Open(unit.path), kInvalidHandle); }),
            (Texts{"CreateMutex " + claim, "CloseHandle"}))
      << "the device itself is not opened";
  EXPECT_EQ(Told(second, unit.path), kClaimed);

  EXPECT_EQ(first.Close(writing), 1);
  EXPECT_EQ(second.Open(unit.path), kInvalidHandle) << "the claim ended with a handle still open";
  EXPECT_EQ(first.Close(reading), 1);
  EXPECT_EQ(fake.mutexes.count(claim), 0u);

  const HidHandle next = second.Open(unit.path);
  EXPECT_NE(next, kInvalidHandle);
  EXPECT_EQ(Told(second, unit.path), std::nullopt);
  EXPECT_EQ(first.Open(unit.path), kInvalidHandle);
  EXPECT_EQ(Told(first, unit.path), kClaimed);
}

TEST_F(WindowsHid, TheClaimEndsWithAFailedOpenAndWithTheBackend) {
  const FakeCalls::Device unit = With(UnitDevice(), Shut);
  fake.devices = {unit};
  {
    WindowsHidApi api(fake);
    EXPECT_EQ(api.Open(unit.path), kInvalidHandle);
    EXPECT_EQ(Told(api, unit.path), OpenFailure::Kind::Denied);
    EXPECT_TRUE(fake.mutexes.empty());
    fake.devices[0].opens = true;
    EXPECT_NE(api.Open(unit.path), kInvalidHandle);
    EXPECT_EQ(fake.mutexes.size(), 1u);
  }
  EXPECT_TRUE(fake.mutexes.empty());
  EXPECT_TRUE(fake.open.empty());
}

TEST_F(WindowsHid, AClaimThatCannotBeMadeRefusesTheUnit) {
  struct Case { DWORD error; bool busy; };  // busy: another update's, as far as anyone can tell
  for (const Case c : {Case{ERROR_ACCESS_DENIED, true}, Case{ERROR_INVALID_HANDLE, false}}) {
    SCOPED_TRACE(c.error);
    FakeCalls calls;
    const FakeCalls::Device unit = UnitDevice();
    calls.devices = {unit};
    calls.mutexError = c.error;
    WindowsHidApi api(calls);
    EXPECT_EQ(api.Open(unit.path), kInvalidHandle);
    EXPECT_EQ(calls.calls.back().rfind("CreateMutex ", 0), 0u) << "the device was opened";
    const std::optional<OpenFailure> failure = api.OpenFailureOf(unit.path);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind, c.busy ? kClaimed : OpenFailure::Kind::Other);
    if (!c.busy) {
      EXPECT_EQ(failure->reason, ErrorText(c.error));
    }
  }
}

TEST_F(WindowsHid, OtherDevicesAreOpenedWithoutAClaim) {
  const FakeCalls::Device other = OtherDevice("\\\\?\\hid#vid_046d&pid_c52b#1", 0x46D, 0xC52B);
  fake.devices = {other};
  WindowsHidApi first(fake);
  WindowsHidApi second(fake);
  EXPECT_NE(first.Open(other.path), kInvalidHandle);
  EXPECT_NE(second.Open(other.path), kInvalidHandle);
  for (const std::string& call : fake.calls) EXPECT_EQ(call.rfind("CreateMutex", 0), std::string::npos) << call;
}

TEST(UnitClaimName, OneNamePerInterfaceWhateverTheCaseAndLength) {
  const std::string path = "\\\\?\\HID#VID_04D8&PID_003C#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  EXPECT_EQ(UnitClaimName(path),
            "Global\\TovrixProUpdate://?/hid#vid_04d8&pid_003c#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(UnitClaimName(lower), UnitClaimName(path));
  EXPECT_NE(UnitClaimName(path + "x"), UnitClaimName(path));

  const std::string longPath = "\\\\?\\hid#vid_04d8&pid_003c#" + std::string(400, 'a');
  const std::string name = UnitClaimName(longPath);
  EXPECT_LT(name.size(), static_cast<std::size_t>(MAX_PATH));
  EXPECT_EQ(name.rfind("Global\\TovrixProUpdate:", 0), 0u);
  EXPECT_EQ(name.find('\\', 7), std::string::npos);
  EXPECT_NE(UnitClaimName(longPath + "b"), name);
}

TEST_F(WindowsHid, TheSearchPassesAClaimedUnitOverAndTakesTheNext) {
  const FakeCalls::Device busy = UnitDevice();
  const FakeCalls::Device free = UnitDevice("\\\\?\\hid#vid_04d8&pid_003c#8&2&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  fake.devices = {busy, free};
  WindowsHidApi first(fake);
  ASSERT_NE(first.Open(busy.path), kInvalidHandle);

  WindowsHidApi second(fake);
  test::RecordingShell shell;
  Messages messages(shell);
  HidTransport hid(second, messages);
  EXPECT_EQ(hid.FindTheHid(), kTrue);
  EXPECT_EQ(shell.Log(), Busy(busy.path) + "\n" +
                           "Found USB device:  VID=4D8, PID=3C, Version=102 <- TovrixPro found!\n");
  EXPECT_EQ(hid.DevicePath(), free.path);
  hid.CloseDevice();

  // With every unit claimed the search ends as when none can be opened.
  ASSERT_NE(first.Open(free.path), kInvalidHandle);
  shell.lines.clear();
  HidTransport again(second, messages);
  EXPECT_EQ(again.FindTheHid(), kFalse);
  EXPECT_EQ(shell.Log(), Busy(busy.path) + "\n" + Busy(free.path) + "\n");
  EXPECT_EQ(second.OpenHandles(), 0u);
}

TEST(WindowsHidPipes, TheClaimHoldsBetweenTwoBackendsThroughWindowsOwnMutexes) {
  PipeDevice device("vid_04d8&pid_003c-");
  ASSERT_TRUE(device.Ok());
  WindowsHidApi first(SystemCalls());
  WindowsHidApi second(SystemCalls());
  const HidHandle a = first.Open(device.Path());
  ASSERT_NE(a, kInvalidHandle) << Reason(first, device.Path());
  EXPECT_EQ(second.Open(device.Path()), kInvalidHandle);
  EXPECT_EQ(Told(second, device.Path()), kClaimed);
  EXPECT_EQ(first.Close(a), 1);
  const HidHandle b = second.Open(device.Path());
  EXPECT_NE(b, kInvalidHandle) << Reason(second, device.Path());
  EXPECT_EQ(second.Close(b), 1);
}

// The claim through Windows' own named mutexes, as two copies of the tool
// would take it: a second claim on the unit's path (in any letter case) is
// refused while the first holds it, and a claim released (its handle
// closed, or its backend gone) can be taken again, by either.
TEST(WindowsHidPipes, ASecondClaimIsRefusedAndAReleasedOneIsTakenAgain) {
  PipeDevice device("vid_04d8&pid_003c-", 4);
  ASSERT_TRUE(device.Ok());
  std::string upper = device.Path();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  WindowsHidApi second(SystemCalls());
  {
    WindowsHidApi first(SystemCalls());
    const HidHandle a = first.Open(device.Path());
    ASSERT_NE(a, kInvalidHandle) << Reason(first, device.Path());
    for (const std::string& path : {device.Path(), upper}) {
      EXPECT_EQ(second.Open(path), kInvalidHandle) << path;
      EXPECT_EQ(Told(second, path), kClaimed);
    }
    EXPECT_EQ(first.Close(a), 1);
    const HidHandle b = second.Open(device.Path());
    ASSERT_NE(b, kInvalidHandle) << Reason(second, device.Path());
    EXPECT_EQ(first.Open(upper), kInvalidHandle);
    EXPECT_EQ(second.Close(b), 1);
    ASSERT_NE(first.Open(device.Path()), kInvalidHandle) << Reason(first, device.Path());
    EXPECT_EQ(second.Open(device.Path()), kInvalidHandle);
  }  // the first backend ends with the unit open
  const HidHandle c = second.Open(device.Path());
  EXPECT_NE(c, kInvalidHandle) << Reason(second, device.Path());
  EXPECT_EQ(second.Close(c), 1);
}

// Listings: each interface with the location path of its device (the
// first node that has one, walking up from the HID collection), and its
// identity from a handle opened without access rights.
class PlacedCalls : public FakeCalls {
 public:
  std::map<DEVINST, DEVINST> parents;
  std::map<DEVINST, std::string> locations;  // the node's location paths, '|' between them

  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                        PDWORD required, PSP_DEVINFO_DATA info) override {
    const BOOL ok = FakeCalls::SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, info);
    if (ok && info != nullptr) {
      if (info->cbSize != sizeof(SP_DEVINFO_DATA)) faults.push_back("devinfo cbSize");
      info->DevInst = static_cast<DEVINST>(10 + data->Reserved);
    }
    return ok;
  }
  CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG) override {
    const auto it = parents.find(node);
    if (it == parents.end()) return CR_NO_SUCH_DEVNODE;
    *parent = it->second;
    return CR_SUCCESS;
  }
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, PULONG, PVOID buffer,
                                              PULONG length, ULONG) override {
    const auto it = locations.find(node);
    if (property != CM_DRP_LOCATION_PATHS || it == locations.end()) return CR_NO_SUCH_VALUE;
    std::string list = it->second + '\0' + '\0';
    std::replace(list.begin(), list.end(), '|', '\0');
    if (*length < list.size()) return CR_BUFFER_SMALL;
    std::memcpy(buffer, list.data(), list.size());
    *length = static_cast<ULONG>(list.size());
    return CR_SUCCESS;
  }
};

TEST(WindowsHidDescribe, GivesLocationPathsAndIdentities) {
  PlacedCalls calls;
  calls.devices = {{"\\\\?\\hid#vid_04d8&pid_003c#1", 0x04D8, 0x003C, 0x0102},
                   {"\\\\?\\hid#vid_046d&pid_c52b#2", 0x046D, 0xC52B, 0x1201},
                   {"\\\\?\\hid#vid_1234&pid_0001#3", 0x1234, 0x0001, 1}};
  calls.devices[1].opens = false;  // not even the attributes
  calls.devices[2].systemOwned = true;  // a keyboard: only without access rights
  // The unit: collection 10 -> USB device 20, which has the paths.
  calls.parents = {{10, 20}, {20, 30}, {11, 21}};
  calls.locations = {{20, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)|ACPI(_SB_)#ACPI(PCI0)"},
                     {30, "PCIROOT(0)#PCI(1400)#USBROOT(0)"}};
  WindowsHidApi api(calls);
  const std::vector<HidInterfaceInfo> interfaces = api.DescribeInterfaces();
  ASSERT_EQ(interfaces.size(), 3u);
  EXPECT_EQ(interfaces[0].path, calls.devices[0].path);
  EXPECT_EQ(interfaces[0].port, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)");
  EXPECT_TRUE(interfaces[0].identified);
  EXPECT_EQ(interfaces[0].attributes.VersionNumber, 0x0102);
  EXPECT_EQ(interfaces[1].port, "");
  EXPECT_FALSE(interfaces[1].identified);
  EXPECT_EQ(interfaces[2].port, "");  // no parents, no paths
  EXPECT_EQ(interfaces[2].attributes.VendorID, 0x1234);
  EXPECT_TRUE(calls.faults.empty()) << calls.faults.front();
  EXPECT_TRUE(calls.open.empty());  // every handle closed again
  const auto opens = std::count_if(calls.calls.begin(), calls.calls.end(),
                                   [](const std::string& c) { return c.rfind("CreateFile ", 0) == 0; });
  EXPECT_EQ(opens, 3);
}

}  // namespace
}  // namespace tovrix::windows_hid
