// Fakes of the Win32 calls of the Windows HID backend (Win32HidCalls): HID
// devices as SetupAPI and the HID class show them, every call written down;
// and the same with the unit's model behind the calls, on virtual time.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emulator/emulated_hid.h"
#include "hid/windows/win32_hid_calls.h"
#include "messages/messages.h"

namespace tovrix::windows_hid {

inline std::string HexOf(uint64_t value) { return Hex(value); }

// HID devices as SetupAPI and the HID class show them; every call is
// written down, and misuse (a handle used or closed when not open) is a
// fault.
class FakeCalls : public Win32HidCalls {
 public:
  struct Device {
    std::string path;
    uint16_t vid = 0, pid = 0, version = 0;
    bool opens = true;
    DWORD openError = ERROR_ACCESS_DENIED;
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
  std::map<HANDLE, int> open;  // handle -> device (-1: the event)
  std::set<HANDLE> closed;

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
  DWORD mutexError = ERROR_SUCCESS;  // CreateMutexA fails with it when set

  static HDEVINFO Set() { return reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7)); }

  HDEVINFO SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags) override {
    GUID hid{};
    ::HidD_GetHidGuid(&hid);
    calls.push_back("ClassDevs flags=" + HexOf(flags) + (std::memcmp(guid, &hid, sizeof hid) == 0 ? " hid" : " other") +
                    (enumerator || parent ? " extra" : ""));
    return setFails ? INVALID_HANDLE_VALUE : Set();
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID*, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA data) override {
    if (set != Set() || info != nullptr) faults.push_back("enum");
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) faults.push_back("enum cbSize");
    calls.push_back("Enum " + std::to_string(index));
    if (index >= devices.size()) {
      ::SetLastError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
    data->Reserved = index;
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
    calls.push_back("Detail size=" + std::to_string(size) + " cbSize=" + std::to_string(detail->cbSize));
    if (!d.fetches || size < need) return FALSE;
    std::memcpy(detail->DevicePath, d.path.c_str(), std::min<std::size_t>(d.path.size() + 1, size - 4));
    return TRUE;
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    calls.push_back("Destroy");
    if (set != Set()) faults.push_back("destroy");
    return TRUE;
  }

  void HidD_GetHidGuid(LPGUID guid) override { ::HidD_GetHidGuid(guid); }
  BOOLEAN HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES a) override {
    const int d = Use(h, "GetAttributes");
    calls.push_back("GetAttributes Size=" + std::to_string(a->Size));
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
    return TRUE;
  }
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA) override { return Done("FreePreparsedData"); }
  BOOLEAN HidD_FlushQueue(HANDLE h) override { return Done(h, "FlushQueue"); }
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA p, PHIDP_CAPS caps) override {
    calls.push_back("GetCaps");
    *caps = reinterpret_cast<Device*>(p)->caps;
    return HIDP_STATUS_SUCCESS;
  }
  NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE type, PHIDP_VALUE_CAPS valueCaps, PUSHORT length,
                             PHIDP_PREPARSED_DATA p) override {
    calls.push_back("GetValueCaps type=" + std::to_string(type) + " length=" + std::to_string(*length));
    valueCapsAskedFor = *length;
    const USHORT given = std::min(*length, reinterpret_cast<Device*>(p)->valueCapsGiven);
    // Writes every record it returns: the buffer must hold them.
    for (USHORT i = 0; i < given; ++i) std::memset(&valueCaps[i], 0xAB, sizeof valueCaps[i]);
    *length = given;
    return HIDP_STATUS_SUCCESS;
  }

  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                     DWORD flags, HANDLE templateFile) override {
    lastSecurity = sa ? *sa : SECURITY_ATTRIBUTES{};
    calls.push_back(std::string("CreateFile ") + path + " access=" + HexOf(access) + " share=" +
                    std::to_string(share) + " creation=" + std::to_string(creation) + " flags=" + HexOf(flags) +
                    (templateFile ? " template" : ""));
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].path != path) continue;
      if (!devices[i].opens) {
        ::SetLastError(devices[i].openError);
        return INVALID_HANDLE_VALUE;
      }
      return NewHandle(static_cast<int>(i));
    }
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) override {
    calls.push_back("CreateEvent manual=" + std::to_string(manual) + " initial=" + std::to_string(initial) +
                    " name=" + (name ? "\"" + std::string(name) + "\"" : "null") +
                    " security=" + std::to_string(sa ? sa->nLength : 0));
    return NewHandle(-1);
  }
  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL owner, LPCSTR name) override {
    calls.push_back(std::string("CreateMutex ") + (name ? name : "null") + " owner=" + std::to_string(owner) +
                    (sa ? " security" : ""));
    if (mutexError != ERROR_SUCCESS) {
      ::SetLastError(mutexError);
      return nullptr;
    }
    const HANDLE h = NewHandle(-2);
    mutexOf[h] = name ? name : "";
    const bool existed = mutexes[mutexOf[h]]++ > 0;
    ::SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
  }
  BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED ov) override {
    Use(h, "WriteFile");
    calls.push_back("WriteFile " + std::to_string(bytes) + (ov ? " overlapped" : "") + " first=" +
                    std::to_string(static_cast<const uint8_t*>(buffer)[0]));
    if (written && writeResult) *written = bytes;
    return writeResult;
  }
  BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD bytes, LPDWORD, LPOVERLAPPED ov) override {
    Use(h, "ReadFile");
    calls.push_back("ReadFile " + std::to_string(bytes) + (ov ? " overlapped" : ""));
    if (pendingBuffer) faults.push_back("read while one is pending");
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
    }
    return waitResult;
  }
  BOOL ResetEvent(HANDLE) override { return Done("ResetEvent"); }
  BOOL CancelIo(HANDLE h) override { return Done(h, "CancelIo"); }
  BOOL CloseHandle(HANDLE h) override {
    calls.push_back("CloseHandle");
    if (!open.count(h)) {
      faults.push_back("CloseHandle of a handle not open");
      return FALSE;
    }
    open.erase(h);
    closed.insert(h);
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
  int next_ = 0;
  DWORD pendingBytes = 0;
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
