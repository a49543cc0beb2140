#include "hid/windows/win32_hid_calls.h"

namespace tovrix::windows_hid {
namespace {

class RealCalls final : public Win32HidCalls {
 public:
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                DWORD flags) override {
    return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* classGuid,
                                   DWORD memberIndex,
                                   PSP_DEVICE_INTERFACE_DATA interfaceData) override {
    return ::SetupDiEnumDeviceInterfaces(set, deviceInfo, classGuid, memberIndex, interfaceData);
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                        DWORD detailSize, PDWORD requiredSize,
                                        PSP_DEVINFO_DATA deviceInfo) override {
    return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, requiredSize,
                                              deviceInfo);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    return ::SetupDiDestroyDeviceInfoList(set);
  }
  CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST device, ULONG flags) override {
    return ::CM_Get_Parent(parent, device, flags);
  }
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST device, ULONG property, PULONG dataType,
                                              PVOID buffer, PULONG length, ULONG flags) override {
    return ::CM_Get_DevNode_Registry_PropertyA(device, property, dataType, buffer, length, flags);
  }

  void HidD_GetHidGuid(LPGUID hidGuid) override { ::HidD_GetHidGuid(hidGuid); }
  BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) override {
    return ::HidD_GetAttributes(device, attributes);
  }
  BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) override {
    return ::HidD_GetPreparsedData(device, preparsed);
  }
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) override {
    return ::HidD_FreePreparsedData(preparsed);
  }
  BOOLEAN HidD_FlushQueue(HANDLE device) override { return ::HidD_FlushQueue(device); }
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) override {
    return ::HidP_GetCaps(preparsed, caps);
  }
  NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, PHIDP_VALUE_CAPS valueCaps,
                             PUSHORT valueCapsLength, PHIDP_PREPARSED_DATA preparsed) override {
    return ::HidP_GetValueCaps(reportType, valueCaps, valueCapsLength, preparsed);
  }

  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                     DWORD creation, DWORD flags, HANDLE templateFile) override {
    return ::CreateFileA(path, access, shareMode, security, creation, flags, templateFile);
  }
  HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                      LPCSTR name) override {
    return ::CreateEventA(security, manualReset, initialState, name);
  }
  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name) override {
    return ::CreateMutexA(security, initialOwner, name);
  }
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
                 LPOVERLAPPED overlapped) override {
    return ::WriteFile(file, buffer, bytes, written, overlapped);
  }
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
                LPOVERLAPPED overlapped) override {
    return ::ReadFile(file, buffer, bytes, read, overlapped);
  }
  BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred,
                           BOOL wait) override {
    return ::GetOverlappedResult(file, overlapped, transferred, wait);
  }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return ::WaitForSingleObject(object, milliseconds);
  }
  BOOL ResetEvent(HANDLE event) override { return ::ResetEvent(event); }
  BOOL CancelIo(HANDLE file) override { return ::CancelIo(file); }
  BOOL CloseHandle(HANDLE object) override { return ::CloseHandle(object); }
};

}  // namespace

Win32HidCalls& RealWin32HidCalls() {
  static RealCalls calls;
  return calls;
}

}  // namespace tovrix::windows_hid
