#include "hid/windows/win32_hid_calls.h"

#include "hid/windows/system_library.h"

namespace tovrix::windows_hid {
namespace {

// The HID class library's functions, from hid.dll of the system folder.
// SetupAPI (setupapi.dll) and the kernel are KnownDLLs, which Windows maps
// from the system folder whatever the search order: those calls are
// imported.
struct HidLibrary {
  HidLibrary() {
    dll.Take(GetHidGuid, "HidD_GetHidGuid");
    dll.Take(GetAttributes, "HidD_GetAttributes");
    dll.Take(GetPreparsedData, "HidD_GetPreparsedData");
    dll.Take(FreePreparsedData, "HidD_FreePreparsedData");
    dll.Take(FlushQueue, "HidD_FlushQueue");
    dll.Take(GetCaps, "HidP_GetCaps");
    dll.Take(GetValueCaps, "HidP_GetValueCaps");
  }
  SystemLibrary dll{"hid.dll"};
  decltype(&::HidD_GetHidGuid) GetHidGuid = nullptr;
  decltype(&::HidD_GetAttributes) GetAttributes = nullptr;
  decltype(&::HidD_GetPreparsedData) GetPreparsedData = nullptr;
  decltype(&::HidD_FreePreparsedData) FreePreparsedData = nullptr;
  decltype(&::HidD_FlushQueue) FlushQueue = nullptr;
  decltype(&::HidP_GetCaps) GetCaps = nullptr;
  decltype(&::HidP_GetValueCaps) GetValueCaps = nullptr;
};

class SystemCalls final : public Win32HidCalls {
 public:
  // Only made with every function there (LoadSystemWin32HidCalls).
  explicit SystemCalls(std::unique_ptr<HidLibrary> hid) : hid_(std::move(hid)) {}

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

  void HidD_GetHidGuid(LPGUID hidGuid) override { hid_->GetHidGuid(hidGuid); }
  BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) override {
    return hid_->GetAttributes(device, attributes);
  }
  BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) override {
    return hid_->GetPreparsedData(device, preparsed);
  }
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) override {
    return hid_->FreePreparsedData(preparsed);
  }
  BOOLEAN HidD_FlushQueue(HANDLE device) override { return hid_->FlushQueue(device); }
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) override {
    return hid_->GetCaps(preparsed, caps);
  }
  NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, PHIDP_VALUE_CAPS valueCaps,
                             PUSHORT valueCapsLength, PHIDP_PREPARSED_DATA preparsed) override {
    return hid_->GetValueCaps(reportType, valueCaps, valueCapsLength, preparsed);
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

 private:
  std::unique_ptr<HidLibrary> hid_;
};

}  // namespace

std::unique_ptr<Win32HidCalls> LoadSystemWin32HidCalls(std::optional<SystemLibraryFailure>& failure) {
  auto hid = std::make_unique<HidLibrary>();
  failure = hid->dll.Failure();
  if (failure) return nullptr;
  return std::make_unique<SystemCalls>(std::move(hid));
}

}  // namespace tovrix::windows_hid
