// The Win32 calls that the Windows HID backend makes, one virtual per
// call, with the platform's own names and parameters. The backend's logic
// (which calls, in which order, with which values, and what it makes of
// the answers) is tested against fakes of this; LoadSystemWin32HidCalls
// gives the calls that pass each to Windows unchanged.
//
// Failures are told the platform's way: a call that fails sets the
// thread's last error (SetLastError) as Windows does, and the backend reads
// it with GetLastError where it needs the reason.
#pragma once

#include <memory>
#include <optional>

#include "hid/platform.h"
#include "hid/windows/win32.h"

namespace tovrix::windows_hid {

class Win32HidCalls {
 public:
  virtual ~Win32HidCalls() = default;

  // SetupAPI
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                        DWORD flags) = 0;
  virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                           const GUID* classGuid, DWORD memberIndex,
                                           PSP_DEVICE_INTERFACE_DATA interfaceData) = 0;
  virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                DWORD detailSize, PDWORD requiredSize,
                                                PSP_DEVINFO_DATA deviceInfo) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

  // Configuration manager (SETUPAPI exports these): where a device sits,
  // for listings only. Fakes that leave them as they are know no place.
  virtual CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST device, ULONG flags) {
    (void)parent, (void)device, (void)flags;
    return CR_FAILURE;
  }
  virtual CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST device, ULONG property,
                                                      PULONG dataType, PVOID buffer,
                                                      PULONG length, ULONG flags) {
    (void)device, (void)property, (void)dataType, (void)buffer, (void)length, (void)flags;
    return CR_FAILURE;
  }

  // HID class
  virtual void HidD_GetHidGuid(LPGUID hidGuid) = 0;
  virtual BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) = 0;
  virtual BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) = 0;
  virtual BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) = 0;
  virtual BOOLEAN HidD_FlushQueue(HANDLE device) = 0;
  virtual NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) = 0;
  virtual NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, PHIDP_VALUE_CAPS valueCaps,
                                     PUSHORT valueCapsLength, PHIDP_PREPARSED_DATA preparsed) = 0;

  // Kernel
  virtual HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                             LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                             HANDLE templateFile) = 0;
  virtual HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                              BOOL initialState, LPCSTR name) = 0;
  virtual HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name) = 0;
  virtual BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
                         LPOVERLAPPED overlapped) = 0;
  virtual BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
                        LPOVERLAPPED overlapped) = 0;
  virtual BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred,
                                   BOOL wait) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  virtual BOOL CancelIo(HANDLE file) = 0;
  virtual BOOL CloseHandle(HANDLE object) = 0;
};

// The calls as Windows makes them, the HID class library's from hid.dll of
// the system folder only (hid/windows/system_library.h), which stays loaded
// while the object lives. Null, with failure set, when hid.dll does not
// load from there or lacks one of the functions. The object holds no other
// state: backends on several threads may share it.
std::unique_ptr<Win32HidCalls> LoadSystemWin32HidCalls(std::optional<SystemLibraryFailure>& failure);

}  // namespace tovrix::windows_hid
