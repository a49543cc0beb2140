// Fakes of the Win32 calls of the Windows HID backend (Win32HidCalls): HID
// devices as SetupAPI and the HID class show them, every call written down;
// and the same with the unit's model behind the calls, on virtual time.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/emulated_hid.h"
#include "hid/windows/win32_hid_calls.h"

namespace tovrix::windows_hid {

// HID devices as SetupAPI and the HID class show them, with the meaning
// Windows gives the calls' values: the information set holds what its
// flags ask for, a handle can do what its access and sharing allow, a read
// with an overlapped record needs a handle opened for one, events and
// mutexes keep their state. Every call is written down by name; misuse (a
// handle used or closed when not open, a call Windows would refuse or
// block in) is a fault.
class FakeCalls : public Win32HidCalls {
 public:
  struct Device {
    std::string path;
    uint16_t vid = 0, pid = 0, version = 0;
    bool opens = true;
    DWORD openError = ERROR_ACCESS_DENIED;
    bool present = true;       // plugged in; an absent one is known to SetupAPI still
    bool systemOwned = false;  // a keyboard or mouse Windows keeps: opens only without access rights
    // Another program has it open with this access and sharing.
    std::optional<std::pair<DWORD, DWORD>> heldElsewhere{};
    bool attributes = true;
    DWORD detailSize = 0;   // the size query's answer; 0: the path's real need
    bool fetches = true;
    HIDP_CAPS caps{};       // what HidP_GetCaps reports
    USHORT valueCapsGiven = 1;  // records HidP_GetValueCaps returns at most
    bool preparsed = true;
  };
  std::vector<Device> devices;
  std::vector<std::string> calls;
  std::vector<std::string> faults;
  bool setFails = false;
  std::map<HANDLE, int> open;  // handle -> device (-1: the event, -2: a mutex)
  // What a file handle may do, as it was opened.
  struct File { DWORD access = 0, share = 0; bool overlapped = false, inheritable = false; };
  std::map<HANDLE, File> files;
  // An event, and the handles that refer to it.
  struct Event { bool manualReset = false, signalled = false; std::string name; };  // name "": none
  std::vector<Event> events;
  std::map<HANDLE, std::size_t> eventOf;
  int setsOpen = 0;       // information sets not yet destroyed
  int preparsedOut = 0;   // preparsed data not yet freed

  // Reads
  DWORD waitResult = WAIT_OBJECT_0;
  bool readStartFails = false;     // ReadFile fails at once
  bool readCompletesWithError = false;
  bool reportOnCancel = false;     // the read completes just as it is cancelled
  std::vector<uint8_t> report;     // what a completed read delivers
  BOOL writeResult = TRUE;
  uint8_t* pendingBuffer = nullptr;
  DWORD valueCapsAskedFor = 0;
  SECURITY_ATTRIBUTES lastSecurity{};

  // Named mutexes: how many handles each name has open, across every
  // backend object that uses this fake (the machine's namespace).
  std::map<std::string, int> mutexes;
  std::map<HANDLE, std::string> mutexOf;
  std::map<std::string, std::pair<bool, bool>> mutexMade;  // name -> (owned by its maker, inheritable)
  DWORD mutexError = ERROR_SUCCESS;  // CreateMutexA fails with it when set

  static HDEVINFO Set() { return reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7)); }

  // The set: the interfaces of the HID class GUID with DIGCF_DEVICEINTERFACE
  // (without it the GUID would name a setup class, which it is not), only
  // the present ones with DIGCF_PRESENT, none under an enumerator.
  HDEVINFO SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND, DWORD flags) override {
    GUID hid{};
    ::HidD_GetHidGuid(&hid);
    calls.push_back("ClassDevs");
    if (setFails) return INVALID_HANDLE_VALUE;
    set_.clear();
    const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) && std::memcmp(guid, &hid, sizeof hid) == 0 && !enumerator;
    for (std::size_t i = 0; interfaces && i < devices.size(); ++i) {
      if (devices[i].present || !(flags & DIGCF_PRESENT)) set_.push_back(i);
    }
    ++setsOpen;
    return Set();
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID*, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA data) override {
    if (set != Set() || info != nullptr) faults.push_back("enum");
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) faults.push_back("enum cbSize");
    calls.push_back("Enum " + std::to_string(index));
    if (index >= set_.size()) {
      ::SetLastError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
    data->Reserved = set_[index];
    return TRUE;
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                        PDWORD required, PSP_DEVINFO_DATA) override {
    const Device& d = devices.at(data->Reserved);
    const DWORD need = d.detailSize ? d.detailSize
                                    : static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                                         d.path.size() + 1);
    if (detail == nullptr) {
      calls.push_back("DetailSize");
      if (required) *required = need;
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    calls.push_back("Detail");
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      ::SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    if (size < need) ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    if (!d.fetches || size < need) return FALSE;
    std::memcpy(detail->DevicePath, d.path.c_str(), std::min<std::size_t>(d.path.size() + 1, size - 4));
    return TRUE;
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    calls.push_back("Destroy");
    if (set != Set() || setsOpen == 0) {
      faults.push_back("destroy");
      return FALSE;
    }
    --setsOpen;
    return TRUE;
  }

  void HidD_GetHidGuid(LPGUID guid) override { ::HidD_GetHidGuid(guid); }
  BOOLEAN HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES a) override {
    const int d = Call(h, "GetAttributes");
    if (a->Size != sizeof(HIDD_ATTRIBUTES)) faults.push_back("GetAttributes with a record of another size");
    if (d < 0 || !devices[d].attributes) return FALSE;
    a->VendorID = devices[d].vid;
    a->ProductID = devices[d].pid;
    a->VersionNumber = devices[d].version;
    return TRUE;
  }
  BOOLEAN HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* p) override {
    const int d = Call(h, "GetPreparsedData");
    if (d < 0 || !devices[d].preparsed) return FALSE;
    *p = reinterpret_cast<PHIDP_PREPARSED_DATA>(&devices[d]);
    ++preparsedOut;
    return TRUE;
  }
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA) override {
    if (preparsedOut-- == 0) faults.push_back("preparsed data freed that was not given");
    return Done("FreePreparsedData");
  }
  BOOLEAN HidD_FlushQueue(HANDLE h) override { return Done(h, "FlushQueue"); }
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA p, PHIDP_CAPS caps) override {
    calls.push_back("GetCaps");
    *caps = reinterpret_cast<Device*>(p)->caps;
    return HIDP_STATUS_SUCCESS;
  }
  NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE type, PHIDP_VALUE_CAPS valueCaps, PUSHORT length,
                             PHIDP_PREPARSED_DATA p) override {
    calls.push_back("GetValueCaps");
    valueCapsAskedFor = *length;
    // The devices here have value capabilities in their input reports only.
    const USHORT given = type == HidP_Input ? std::min(*length, reinterpret_cast<Device*>(p)->valueCapsGiven) : 0;
    // Writes every record it returns: the buffer must hold them.
    for (USHORT i = 0; i < given; ++i) std::memset(&valueCaps[i], 0xAB, sizeof valueCaps[i]);
    *length = given;
    return HIDP_STATUS_SUCCESS;
  }

  // An existing device only (a path that is none would be made a file
  // with any other creation), shared as the handles open on it allow: each
  // handle's sharing must allow the other's access.
  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                     DWORD flags, HANDLE) override {
    lastSecurity = sa ? *sa : SECURITY_ATTRIBUTES{};
    if (sa && sa->nLength != sizeof(SECURITY_ATTRIBUTES)) faults.push_back("a security record of another size");
    calls.push_back(std::string("CreateFile ") + path);
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const Device& d = devices[i];
      if (d.path != path) continue;
      if (!d.opens || (d.systemOwned && access != 0)) {
        ::SetLastError(d.opens ? ERROR_ACCESS_DENIED : d.openError);
        return INVALID_HANDLE_VALUE;
      }
      std::vector<std::pair<DWORD, DWORD>> others;
      if (d.heldElsewhere) others.push_back(*d.heldElsewhere);
      for (const auto& [handle, file] : files) {
        if (open.at(handle) == static_cast<int>(i)) others.emplace_back(file.access, file.share);
      }
      for (const auto& [otherAccess, otherShare] : others) {
        if (!Allows(otherShare, access) || !Allows(share, otherAccess)) {
          ::SetLastError(ERROR_SHARING_VIOLATION);
          return INVALID_HANDLE_VALUE;
        }
      }
      const HANDLE h = NewHandle(static_cast<int>(i));
      files[h] = {access, share, (flags & FILE_FLAG_OVERLAPPED) != 0, sa && sa->bInheritHandle};
      return h;
    }
    if (creation != OPEN_EXISTING) faults.push_back(std::string("a file made at ") + path);
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A name shares the event of that name; an empty one, like none, names
  // nothing.
  HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCSTR name) override {
    calls.push_back("CreateEvent");
    const std::string named = name ? name : "";
    std::size_t object = events.size();
    for (std::size_t i = 0; i < events.size() && !named.empty(); ++i) {
      if (events[i].name == named) object = i;
    }
    if (object == events.size()) events.push_back({manual != FALSE, initial != FALSE, named});
    const HANDLE h = NewHandle(-1);
    eventOf[h] = object;
    return h;
  }
  // The event a handle refers to; null when it is none.
  const Event* EventOf(HANDLE h) const {
    const auto it = eventOf.find(h);
    return it == eventOf.end() ? nullptr : &events[it->second];
  }
  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL owner, LPCSTR name) override {
    calls.push_back(std::string("CreateMutex ") + (name ? name : "null"));
    if (mutexError != ERROR_SUCCESS) {
      ::SetLastError(mutexError);
      return nullptr;
    }
    const HANDLE h = NewHandle(-2);
    mutexOf[h] = name ? name : "";
    const bool existed = mutexes[mutexOf[h]]++ > 0;
    if (!existed) mutexMade[mutexOf[h]] = {owner != FALSE, sa && sa->bInheritHandle};
    ::SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
  }
  BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED ov) override {
    Use(h, "WriteFile");
    calls.push_back("WriteFile " + std::to_string(bytes) + " first=" +
                    std::to_string(static_cast<const uint8_t*>(buffer)[0]));
    if (const auto file = files.find(h); file != files.end()) {
      // A handle opened for overlapped I/O takes a record with each call.
      if (file->second.overlapped && !ov) faults.push_back("a write without a record on an overlapped handle");
      if (!(file->second.access & GENERIC_WRITE)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
    }
    if (written && writeResult) *written = bytes;
    return writeResult;
  }
  BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD bytes, LPDWORD, LPOVERLAPPED ov) override {
    Use(h, "ReadFile");
    calls.push_back("ReadFile " + std::to_string(bytes));
    if (pendingBuffer) faults.push_back("read while one is pending");
    if (const auto file = files.find(h); file != files.end()) {
      // On a handle opened without FILE_FLAG_OVERLAPPED the read would wait
      // for a report, however long.
      if (!file->second.overlapped) faults.push_back("a read that waits until a report comes");
      if (!ov) faults.push_back("a read without a record on an overlapped handle");
      if (!(file->second.access & GENERIC_READ)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
    }
    // The read sets its event to not signalled as it starts.
    if (ov) Signal(ov->hEvent, false);
    pendingEvent_ = ov ? ov->hEvent : nullptr;
    if (readStartFails) {
      ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
    pendingBuffer = static_cast<uint8_t*>(buffer);
    pendingBytes = bytes;
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED, LPDWORD transferred, BOOL wait) override {
    Use(h, "GetOverlappedResult");
    calls.push_back(std::string("GetOverlappedResult wait=") + (wait ? "1" : "0"));
    if (wait) {  // after a cancel
      const bool completed = reportOnCancel;
      if (completed) Deliver();
      pendingBuffer = nullptr;
      *transferred = completed ? static_cast<DWORD>(report.size()) : 0;
      if (!completed) ::SetLastError(ERROR_OPERATION_ABORTED);
      return completed;
    }
    *transferred = static_cast<DWORD>(report.size());
    return !readCompletesWithError;
  }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
    if (!open.count(h) || open[h] != -1) faults.push_back("wait on something not the event");
    calls.push_back("Wait " + std::to_string(ms));
    if (waitResult == WAIT_OBJECT_0) {
      Deliver();
      pendingBuffer = nullptr;
      // The read is over: its event is set; a wait that sees an auto-reset
      // event resets it.
      Signal(pendingEvent_, true);
      if (const Event* event = EventOf(h); event && !event->manualReset) Signal(h, false);
    }
    return waitResult;
  }
  BOOL ResetEvent(HANDLE h) override {
    Signal(h, false);
    return Done("ResetEvent");
  }
  BOOL CancelIo(HANDLE h) override { return Done(h, "CancelIo"); }
  BOOL CloseHandle(HANDLE h) override {
    calls.push_back("CloseHandle");
    if (!open.count(h)) {
      faults.push_back("CloseHandle of a handle not open");
      return FALSE;
    }
    open.erase(h);
    files.erase(h);
    eventOf.erase(h);
    if (mutexOf.count(h)) {
      if (--mutexes[mutexOf[h]] == 0) mutexes.erase(mutexOf[h]);
      mutexOf.erase(h);
    }
    return TRUE;
  }

  std::vector<std::string> CallsFrom(std::size_t first) const {
    return {calls.begin() + static_cast<std::ptrdiff_t>(first), calls.end()};
  }

 private:
  HANDLE NewHandle(int device) {
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x100 + 4 * next_++));
    open[h] = device;
    return h;
  }
  int Use(HANDLE h, const char* what) {
    const auto it = open.find(h);
    if (it == open.end()) {
      faults.push_back(std::string(what) + " on a handle not open");
      return -1;
    }
    return it->second;
  }
  // A call on h, written down: its device (-1 when h is not open).
  int Call(HANDLE h, const char* what) {
    const int device = Use(h, what);
    calls.push_back(what);
    return device;
  }
  // A call that succeeds, written down.
  BOOL Done(const char* what) {
    calls.push_back(what);
    return TRUE;
  }
  BOOL Done(HANDLE h, const char* what) {
    Call(h, what);
    return TRUE;
  }
  void Deliver() {
    if (pendingBuffer) std::memcpy(pendingBuffer, report.data(), std::min<std::size_t>(report.size(), pendingBytes));
  }
  // Whether sharing share allows a handle of access beside.
  static bool Allows(DWORD share, DWORD access) {
    return (!(access & GENERIC_READ) || (share & FILE_SHARE_READ)) &&
           (!(access & GENERIC_WRITE) || (share & FILE_SHARE_WRITE));
  }
  void Signal(HANDLE h, bool signalled) {
    if (const auto it = eventOf.find(h); it != eventOf.end()) events[it->second].signalled = signalled;
  }
  int next_ = 0;
  DWORD pendingBytes = 0;
  HANDLE pendingEvent_ = nullptr;
  std::vector<std::size_t> set_;  // the information set: devices by index
};

inline HIDP_CAPS Caps(USHORT in, USHORT out, USHORT values) {
  HIDP_CAPS caps{};
  caps.InputReportByteLength = in;
  caps.OutputReportByteLength = out;
  caps.NumberInputValueCaps = values;
  return caps;
}

inline FakeCalls::Device UnitDevice(std::string path = "\\\\?\\hid#vid_04d8&pid_003c#7&1&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}") {
  FakeCalls::Device d{std::move(path), 0x04D8, 0x003C, 0x0102};
  d.caps = Caps(65, 65, 1);
  return d;
}

inline FakeCalls::Device OtherDevice(std::string path, uint16_t vid, uint16_t pid) {
  FakeCalls::Device d{std::move(path), vid, pid};
  d.caps = Caps(9, 9, 2);
  return d;
}

// d as change leaves it.
template <class Change>
FakeCalls::Device With(FakeCalls::Device d, Change change) {
  change(d);
  return d;
}

// The unit's model behind the fake calls, on virtual time. Its replies wait
// in the HID class driver's input queue until a read takes them or
// HidD_FlushQueue drops them.
class UnitCalls : public FakeCalls {
 public:
  explicit UnitCalls(const emu::UnitOptions& options) : unit(options) { devices = {UnitDevice()}; }

  BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED ov) override {
    const BOOL ok = FakeCalls::WriteFile(h, buffer, bytes, written, ov);
    if (ok && bytes > 1) {
      unit.Receive({static_cast<const uint8_t*>(buffer) + 1, bytes - 1}, clock.Now());
    }
    Arrive();
    return ok;
  }
  BOOLEAN HidD_FlushQueue(HANDLE h) override {
    Arrive();
    flushed += queue.size();
    queue.clear();
    return FakeCalls::HidD_FlushQueue(h);
  }
  BOOL ReadFile(HANDLE, LPVOID buffer, DWORD bytes, LPDWORD, LPOVERLAPPED) override {
    read_ = static_cast<uint8_t*>(buffer);
    readBytes_ = bytes;
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  DWORD WaitForSingleObject(HANDLE, DWORD ms) override {
    const int64_t deadline = clock.Now() + static_cast<int64_t>(ms) * 1000;
    if (queue.empty()) {
      const auto due = unit.NextReplyAt();
      clock.SleepUntil(due && *due <= deadline ? *due : deadline);
      Arrive();
      if (queue.empty()) return WAIT_TIMEOUT;
    }
    // The read completes with the oldest report, ID 0 first.
    std::vector<uint8_t> report{0};
    report.insert(report.end(), queue.front().begin(), queue.front().end());
    queue.pop_front();
    std::memcpy(read_, report.data(), std::min<std::size_t>(readBytes_, report.size()));
    return WAIT_OBJECT_0;
  }
  BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD transferred, BOOL wait) override {
    *transferred = wait ? 0 : readBytes_;  // a cancelled read brought nothing
    if (wait) ::SetLastError(ERROR_OPERATION_ABORTED);
    return !wait;
  }

  emu::TovrixUnit unit;
  emu::VirtualClock clock;
  std::deque<emu::ReportData> queue;
  std::size_t flushed = 0;

 private:
  void Arrive() {
    for (auto due = unit.NextReplyAt(); due && *due <= clock.Now(); due = unit.NextReplyAt()) {
      queue.push_back(unit.TakeReply());
    }
  }
  uint8_t* read_ = nullptr;
  DWORD readBytes_ = 0;
};

}  // namespace tovrix::windows_hid
