// The HID platform on Windows: the engine's HidApi over SetupAPI, the HID
// class library and overlapped file I/O.
//
// Listing. HidD_GetHidGuid gives the HID interface class; SetupAPI lists
// its present interfaces (SetupDiGetClassDevsA with DIGCF_PRESENT |
// DIGCF_DEVICEINTERFACE, 0x12), and each interface's path is read with
// SetupDiGetDeviceInterfaceDetailA: a size query, then the fetch into a
// zeroed buffer one byte longer than the size asked for. The paths come in
// enumeration order. An interface whose size answer leaves no room for the
// record's size field and one path character, or whose fetch fails, is
// passed over. The information set is destroyed when the list is made.
//
// DescribeInterfaces lists the same interfaces, the detail fetched with
// the device record, and gives each the location path of its device: the
// first of CM_DRP_LOCATION_PATHS of the first node that has them, from the
// interface's device node up through at most three parents (the HID
// collection itself has none; its USB device has, such as
// PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)). The vendor, product and version
// come from HidD_GetAttributes on a handle opened without access rights
// (CreateFileA with access 0, shared for reading and writing, no security
// record), which also works for devices that Windows keeps for itself
// (keyboards, mice), and is closed at once.
//
// Handles. Open: CreateFileA for reading and writing (0xC0000000), shared
// for both (3), with HandleSecurity, OPEN_EXISTING, no flags: writes on it
// block until the report is taken. OpenForReading: the same with
// FILE_FLAG_OVERLAPPED, for reads with a bounded wait. HandleSecurity has
// the record's own size, no descriptor, and is inheritable; it is set
// afresh for every listing. A handle is the value Windows gave, and
// CreateFileA's INVALID_HANDLE_VALUE is kInvalidHandle. Only handles this
// object opened and has not closed are used or closed: Close of any other
// value closes nothing and returns 0. Handles still open when the object
// is destroyed are closed then.
//
// The claim (hid/unit_claims.h). Two updaters writing to one unit at once
// would interleave their commands, so Open of the unit's interface (a path
// with vid_04d8&pid_003c in it, in either case) first takes a claim on it:
// the named mutex UnitClaimName(path), made with CreateMutexA (no security
// record, so that no child process inherits it; not owned: its existence is
// the claim). When it exists already (ERROR_ALREADY_EXISTS, or
// ERROR_ACCESS_DENIED for one made by another user), another update holds
// the unit: the handle is closed and Open fails without opening the device.
// Any other failure of CreateMutexA fails the open as well, for that
// reason. The object's own later opens of the path (its reading handle)
// share its claim, which lasts until the last of them is closed. Other
// devices are opened without a claim.
//
// OpenFailureOf(path) after a failed Open(path) or OpenForReading(path) of
// the unit's interface: the failure, of kind Claimed when the claim was
// refused, else with Windows' text for the error (of kind Denied for
// ERROR_ACCESS_DENIED, Gone for a device or path not there). Nothing for
// other devices, nor after a later open succeeded.
//
// GetAttributes: HidD_GetAttributes with Size set to the record's size.
// GetCaps: HidD_GetPreparsedData, HidP_GetCaps, then HidP_GetValueCaps for
// input reports into a buffer of as many records as HidP_GetCaps reported,
// the count rewritten to the records returned; HidD_FreePreparsedData.
// Returns 0 (caps unchanged) when the preparsed data or the caps cannot be
// had.
//
// Reads. Each reading handle has its own event and overlapped record, so
// that reads on several units never share one. PrepareRead creates the
// handle's event once (CreateEventA: HandleSecurity, manual reset, initially
// signalled, name "") and sets its record to offset 0 with that event; every
// read on the handle uses this record. The event is closed with its handle.
// StartRead is
// an overlapped ReadFile of the whole input report (the report ID comes
// first, as Windows delivers it). WaitRead is WaitForSingleObject on
// the handle's event: WAIT_OBJECT_0 resets the event and gives kWaitReady when the
// read brought a report (a read that completed with an error is a failed
// wait); WAIT_TIMEOUT gives kWaitTimeout, the read still pending; any
// other answer is a failure. A ReadFile that fails at once (the device is
// gone) makes the next wait fail at once. CancelRead is CancelIo, then
// waits for the read to be over, so that the record and the buffer are
// free for the next read; a report that completed the read just before the
// cancel is not lost: the next read delivers it at once.
//
// Writes. WriteReport is a blocking WriteFile of the whole report on the
// plain handle; 1 when it was written, 0 when not. Before it writes, the
// input reports queued, unread, for the same path are dropped
// (HidD_FlushQueue on its idle reading handles, and a report kept from a
// cancel): every reply answers a command written before it, so a read
// after a write never delivers a report older than the write.
//
// One object serves one thread: calls on one object must not overlap. Two
// objects share nothing, so each may run on a thread of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid/ApiDeclarations.h"
#include "hid/unit_claims.h"
#include "hid/windows/win32_hid_calls.h"

namespace tovrix::windows_hid {

// Flags go to the platform as -1, all bits set; Windows takes any non-zero
// BOOL as TRUE.
inline constexpr BOOL kPlatformTrue = -1;

// The name of the claim on the unit's interface at path: in the Global
// namespace (every session of the machine), Global\TovrixProUpdate: and the
// path in lower case with its backslashes as slashes (a name may hold no
// backslash but the namespace's); a path too long for a name of MAX_PATH
// characters is replaced by a 64-bit hash of it in hexadecimal.
std::string UnitClaimName(const std::string& path);

// Room for a detail record: its size field and at least one path character
// (the terminating zero), and at most this many bytes in all.
inline constexpr DWORD kMinimumDetailSize = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1;
inline constexpr DWORD kMaximumDetailSize = 32 * 1024;

class WindowsHidApi final : public HidApi {
 public:
  // Over calls that live longer than the object (a fake, in tests).
  explicit WindowsHidApi(Win32HidCalls& calls);
  // Over calls of its own (LoadSystemWin32HidCalls).
  explicit WindowsHidApi(std::unique_ptr<Win32HidCalls> calls);
  ~WindowsHidApi() override;
  WindowsHidApi(const WindowsHidApi&) = delete;
  WindowsHidApi& operator=(const WindowsHidApi&) = delete;

  std::vector<std::string> ListInterfaces() override;
  std::vector<HidInterfaceInfo> DescribeInterfaces() override;
  HidHandle Open(const std::string& path) override;
  std::optional<OpenFailure> OpenFailureOf(const std::string& path) override;
  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override;
  int32_t GetCaps(HidHandle handle, HidCaps& caps) override;
  HidHandle OpenForReading(const std::string& path) override;
  int32_t PrepareRead(HidHandle reading) override;
  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override;
  int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) override;
  int32_t WaitRead(HidHandle reading, int timeoutMs) override;
  int32_t CancelRead(HidHandle reading) override;
  int32_t Close(HidHandle handle) override;

  // The security record that every open uses.
  SECURITY_ATTRIBUTES HandleSecurity{};
  // The event and overlapped record of a reading handle (null before
  // PrepareRead, or for any other handle).
  HANDLE ReadEvent(HidHandle reading) const;
  const OVERLAPPED* ReadOverlapped(HidHandle reading) const;

  // Handles open now.
  std::size_t OpenHandles() const { return handles_.size(); }

 private:
  struct Entry {
    HANDLE handle = nullptr;
    std::string path;
    bool reading = false;
    bool pending = false;       // a read was started and is not over
    bool startFailed = false;   // the last ReadFile failed at once
    uint8_t* buffer = nullptr;  // the pending read's buffer
    std::size_t length = 0;
    std::vector<uint8_t> kept;  // a report that completed a cancelled read
    bool hasKept = false;
    bool deliverKept = false;   // the started read is the kept report
    bool claimed = false;       // holds a share of the claim on path
    HANDLE event = nullptr;     // reading handles: the event of its reads
    OVERLAPPED overlapped{};    // reading handles: the record of its reads
  };

  void SetHandleSecurity();
  // Calls each with every present interface's path (and its device node
  // when withDevice is set, else 0), in enumeration order.
  void EnumerateInterfaces(bool withDevice, const std::function<void(std::string, DEVINST)>& each);
  std::string LocationPathOf(DEVINST device);
  bool QueryAttributes(const std::string& path, HidAttributes& attributes);
  HidHandle OpenPath(const std::string& path, DWORD flags, bool reading);
  Entry* Find(HidHandle handle);
  Entry* Reader(HidHandle handle);
  // Closes entry's handle and its event.
  BOOL CloseEntry(Entry& entry);
  // Ends the pending read of entry: cancels it and waits until it is over.
  // True when it had brought a report after all (transferred bytes).
  bool EndPendingRead(Entry& entry, DWORD& transferred);

  // The platform's take of the claim named name on the unit's interface
  // at path, and its let-go.
  UnitClaims::Taken TakeClaim(const std::string& path, const std::string& name);
  void LetClaimGo(UnitClaims::Hold mutex);

  std::unique_ptr<Win32HidCalls> ownCalls_;  // before calls_, which may be it
  Win32HidCalls& calls_;
  std::map<HidHandle, Entry> handles_;
  // By claim name; the hold is the mutex. After calls_, which lets it go.
  UnitClaims claims_;
  std::optional<OpenFailure> failedOpen_;  // the last open, when it failed
};

// The backend on Windows itself, over LoadSystemWin32HidCalls; where those
// cannot be had, a backend that finds no devices (NoDevicesHidApi).
std::unique_ptr<HidApi> MakeWindowsHidApi();

}  // namespace tovrix::windows_hid
