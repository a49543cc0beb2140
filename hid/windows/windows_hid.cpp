#include "hid/windows/windows_hid.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>

#include "hid/platform.h"
#include "hid/unit_claims.h"
#include "hid/unit_identity.h"
#include "hid/windows/system_library.h"

namespace tovrix::windows_hid {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;      // 0xC0000000
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;  // 3
constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
constexpr int32_t kWaitFailed = -1;

HidHandle ToHidHandle(HANDLE handle) {
  return static_cast<HidHandle>(reinterpret_cast<intptr_t>(handle));
}

// The unit's interface paths hold "vid_04d8&pid_003c", in either case.
bool IsTheUnitsPath(std::string path) {
  std::transform(path.begin(), path.end(), path.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  char tag[24];
  std::snprintf(tag, sizeof tag, "vid_%04x&pid_%04x", kUnitVendorID, kUnitProductID);
  return path.find(tag) != std::string::npos;
}

constexpr char kClaimPrefix[] = "Global\\TovrixProUpdate:";

// A failed open of path, Windows' error telling why.
OpenFailure Failure(const std::string& path, DWORD error) {
  OpenFailure failure{OpenFailure::Kind::Other, path, ErrorText(error), {}};
  switch (error) {
    case ERROR_ACCESS_DENIED: failure.kind = OpenFailure::Kind::Denied; break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED: failure.kind = OpenFailure::Kind::Gone; break;
    default: break;
  }
  return failure;
}

}  // namespace

std::string UnitClaimName(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    c = c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  std::string name = kClaimPrefix + key;
  if (name.size() < MAX_PATH) return name;
  uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 0x100000001B3ull;
  }
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
  return kClaimPrefix + std::string(digits);
}

WindowsHidApi::WindowsHidApi(Win32HidCalls& calls)
    : calls_(calls), claims_([this](UnitClaims::Hold mutex) { LetClaimGo(mutex); }) {
  SetHandleSecurity();
}

WindowsHidApi::WindowsHidApi(std::unique_ptr<Win32HidCalls> calls)
    : ownCalls_(std::move(calls)),
      calls_(*ownCalls_),
      claims_([this](UnitClaims::Hold mutex) { LetClaimGo(mutex); }) {
  SetHandleSecurity();
}

WindowsHidApi::~WindowsHidApi() {
  for (auto& [value, entry] : handles_) {
    DWORD transferred = 0;
    if (entry.pending && !entry.deliverKept) EndPendingRead(entry, transferred);
    CloseEntry(entry);
  }
}

BOOL WindowsHidApi::CloseEntry(Entry& entry) {
  const BOOL ok = calls_.CloseHandle(entry.handle);
  if (entry.event != nullptr) calls_.CloseHandle(entry.event);
  entry.event = nullptr;
  return ok;
}

HANDLE WindowsHidApi::ReadEvent(HidHandle reading) const {
  const auto it = handles_.find(reading);
  return it == handles_.end() ? nullptr : it->second.event;
}

const OVERLAPPED* WindowsHidApi::ReadOverlapped(HidHandle reading) const {
  const auto it = handles_.find(reading);
  return it == handles_.end() || it->second.event == nullptr ? nullptr : &it->second.overlapped;
}

void WindowsHidApi::SetHandleSecurity() {
  HandleSecurity = {};
  HandleSecurity.nLength = sizeof(SECURITY_ATTRIBUTES);
  HandleSecurity.lpSecurityDescriptor = nullptr;
  HandleSecurity.bInheritHandle = kPlatformTrue;
}

std::vector<std::string> WindowsHidApi::ListInterfaces() {
  std::vector<std::string> paths;
  SetHandleSecurity();
  EnumerateInterfaces(false, [&](std::string path, DEVINST) { paths.push_back(std::move(path)); });
  return paths;
}

std::vector<HidInterfaceInfo> WindowsHidApi::DescribeInterfaces() {
  std::vector<HidInterfaceInfo> interfaces;
  EnumerateInterfaces(true, [&](std::string path, DEVINST device) {
    HidInterfaceInfo info;
    info.path = std::move(path);
    info.port = LocationPathOf(device);
    info.identified = QueryAttributes(info.path, info.attributes);
    interfaces.push_back(std::move(info));
  });
  return interfaces;
}

void WindowsHidApi::EnumerateInterfaces(bool withDevice,
                                        const std::function<void(std::string, DEVINST)>& each) {
  GUID hidGuid{};
  calls_.HidD_GetHidGuid(&hidGuid);
  HDEVINFO set = calls_.SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, kPresentInterfaces);
  if (set == INVALID_HANDLE_VALUE) return;

  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!calls_.SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData)) break;

    DWORD required = 0;
    calls_.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < kMinimumDetailSize || required > kMaximumDetailSize) continue;

    // required + 1 zero bytes, aligned for the record.
    std::vector<DWORD> buffer((required + 1 + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!calls_.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, &required,
                                                 withDevice ? &device : nullptr)) {
      continue;
    }
    // The path ends at its first zero, inside the buffer: its last byte is
    // never written.
    const char* path = detail->DevicePath;
    const std::size_t room = buffer.size() * sizeof(DWORD) -
                             offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    each(std::string(path, strnlen(path, room)), withDevice ? device.DevInst : 0);
  }
  calls_.SetupDiDestroyDeviceInfoList(set);
}

// The HID collection's own node rarely has location paths; the USB device
// (or the USB interface of a composite device) above it has. The first
// path of the first node that has any, walking up at most kLocationLevels.
std::string WindowsHidApi::LocationPathOf(DEVINST device) {
  constexpr int kLocationLevels = 4;
  for (int level = 0; level < kLocationLevels && device != 0; ++level) {
    char paths[1024] = {};
    ULONG length = sizeof paths - 2;  // the list ends in two zeros, kept in the buffer
    ULONG type = 0;
    if (calls_.CM_Get_DevNode_Registry_PropertyA(device, CM_DRP_LOCATION_PATHS, &type, paths,
                                                 &length, 0) == CR_SUCCESS &&
        paths[0] != '\0') {
      return std::string(paths, strnlen(paths, sizeof paths));
    }
    DEVINST parent = 0;
    if (calls_.CM_Get_Parent(&parent, device, 0) != CR_SUCCESS) break;
    device = parent;
  }
  return {};
}

// An open without access rights reads the attributes of any HID device,
// also the keyboards and mice that Windows keeps for itself.
bool WindowsHidApi::QueryAttributes(const std::string& path, HidAttributes& attributes) {
  HANDLE handle = calls_.CreateFileA(path.c_str(), 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return false;
  HIDD_ATTRIBUTES record{};
  record.Size = sizeof(HIDD_ATTRIBUTES);
  const bool known = calls_.HidD_GetAttributes(handle, &record);
  calls_.CloseHandle(handle);
  if (!known) return false;
  attributes = {record.VendorID, record.ProductID, record.VersionNumber};
  return true;
}

HidHandle WindowsHidApi::OpenPath(const std::string& path, DWORD flags, bool reading) {
  HANDLE handle = calls_.CreateFileA(path.c_str(), kReadWrite, kShareReadWrite, &HandleSecurity,
                                     OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    failedOpen_ = Failure(path, ::GetLastError());
    return kInvalidHandle;
  }
  failedOpen_.reset();
  const HidHandle value = ToHidHandle(handle);
  Entry entry;
  entry.handle = handle;
  entry.path = path;
  entry.reading = reading;
  handles_[value] = std::move(entry);
  return value;
}

HidHandle WindowsHidApi::Open(const std::string& path) {
  const bool unit = IsTheUnitsPath(path);
  const std::string claim = UnitClaimName(path);
  if (unit) {
    if (auto refused = claims_.Claim(claim, [&] { return TakeClaim(path, claim); })) {
      failedOpen_ = std::move(refused);
      return kInvalidHandle;
    }
  }
  const HidHandle handle = OpenPath(path, 0, false);
  if (unit && handle == kInvalidHandle) claims_.Release(claim);
  if (unit && handle != kInvalidHandle) handles_[handle].claimed = true;
  return handle;
}

HidHandle WindowsHidApi::OpenForReading(const std::string& path) {
  const HidHandle handle = OpenPath(path, FILE_FLAG_OVERLAPPED, true);
  if (handle != kInvalidHandle && claims_.Share(UnitClaimName(path))) handles_[handle].claimed = true;
  return handle;
}

// The claim is a named mutex, not owned: its existence is the claim.
UnitClaims::Taken WindowsHidApi::TakeClaim(const std::string& path, const std::string& name) {
  ::SetLastError(ERROR_SUCCESS);
  HANDLE mutex = calls_.CreateMutexA(nullptr, FALSE, name.c_str());
  const DWORD error = ::GetLastError();
  if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) return reinterpret_cast<UnitClaims::Hold>(mutex);
  if (mutex != nullptr) calls_.CloseHandle(mutex);
  OpenFailure failure = Failure(path, error);
  // Another update's, also when another user made it.
  if (mutex != nullptr || error == ERROR_ACCESS_DENIED) failure.kind = OpenFailure::Kind::Claimed;
  return failure;
}

void WindowsHidApi::LetClaimGo(UnitClaims::Hold mutex) {
  calls_.CloseHandle(reinterpret_cast<HANDLE>(mutex));
}

std::optional<OpenFailure> WindowsHidApi::OpenFailureOf(const std::string& path) {
  if (!failedOpen_ || failedOpen_->path != path || !IsTheUnitsPath(path)) return std::nullopt;
  return failedOpen_;
}

WindowsHidApi::Entry* WindowsHidApi::Find(HidHandle handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

WindowsHidApi::Entry* WindowsHidApi::Reader(HidHandle handle) {
  Entry* entry = Find(handle);
  return entry != nullptr && entry->reading ? entry : nullptr;
}

int32_t WindowsHidApi::GetAttributes(HidHandle handle, HidAttributes& attributes) {
  Entry* entry = Find(handle);
  if (entry == nullptr) return 0;
  HIDD_ATTRIBUTES record{};
  record.Size = sizeof(HIDD_ATTRIBUTES);
  if (!calls_.HidD_GetAttributes(entry->handle, &record)) return 0;
  attributes.VendorID = record.VendorID;
  attributes.ProductID = record.ProductID;
  attributes.VersionNumber = record.VersionNumber;
  return 1;
}

int32_t WindowsHidApi::GetCaps(HidHandle handle, HidCaps& caps) {
  Entry* entry = Find(handle);
  if (entry == nullptr) return 0;
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!calls_.HidD_GetPreparsedData(entry->handle, &preparsed) || preparsed == nullptr) return 0;

  HIDP_CAPS record{};
  if (calls_.HidP_GetCaps(preparsed, &record) != HIDP_STATUS_SUCCESS) {
    calls_.HidD_FreePreparsedData(preparsed);
    return 0;
  }
  // Room for every record the device reports; the call says how many it
  // returned (none when it has none to give).
  USHORT count = record.NumberInputValueCaps;
  std::vector<HIDP_VALUE_CAPS> valueCaps(std::max<std::size_t>(count, 1));
  calls_.HidP_GetValueCaps(HidP_Input, valueCaps.data(), &count, preparsed);
  calls_.HidD_FreePreparsedData(preparsed);

  caps.InputReportByteLength = record.InputReportByteLength;
  caps.OutputReportByteLength = record.OutputReportByteLength;
  caps.NumberInputValueCaps = std::min<USHORT>(count, record.NumberInputValueCaps);
  return 1;
}

int32_t WindowsHidApi::PrepareRead(HidHandle reading) {
  Entry* entry = Reader(reading);
  if (entry == nullptr) return 0;
  if (entry->event == nullptr) {
    entry->event = calls_.CreateEventA(&HandleSecurity, kPlatformTrue, kPlatformTrue, "");
    if (entry->event == nullptr) return 0;
  }
  entry->overlapped = {};
  entry->overlapped.Offset = 0;
  entry->overlapped.OffsetHigh = 0;
  entry->overlapped.hEvent = entry->event;
  return 1;
}

int32_t WindowsHidApi::WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) {
  Entry* entry = Find(handle);
  if (entry == nullptr || report == nullptr || length > MAXDWORD) return 0;
  // Whatever came before this command cannot be its reply.
  for (auto& [value, other] : handles_) {
    if (!other.reading || other.path != entry->path || other.pending) continue;
    other.hasKept = false;
    calls_.HidD_FlushQueue(other.handle);
  }
  DWORD written = 0;
  const BOOL ok = calls_.WriteFile(entry->handle, report, static_cast<DWORD>(length), &written,
                                   nullptr);
  return ok ? 1 : 0;
}

int32_t WindowsHidApi::StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) {
  Entry* entry = Reader(reading);
  if (entry == nullptr || entry->pending || buffer == nullptr || length == 0 ||
      length > MAXDWORD || entry->event == nullptr) {
    return 0;
  }
  entry->buffer = buffer;
  entry->length = length;
  entry->startFailed = false;
  entry->deliverKept = false;
  if (entry->hasKept) {
    // The report that came as the last read was withdrawn.
    std::memset(buffer, 0, length);
    std::memcpy(buffer, entry->kept.data(), std::min(length, entry->kept.size()));
    entry->hasKept = false;
    entry->deliverKept = true;
    entry->pending = true;
    return 1;
  }
  const BOOL ok = calls_.ReadFile(entry->handle, buffer, static_cast<DWORD>(length), nullptr,
                                  &entry->overlapped);
  if (ok || ::GetLastError() == ERROR_IO_PENDING) {
    entry->pending = true;
  } else {
    entry->startFailed = true;
  }
  return ok ? 1 : 0;
}

int32_t WindowsHidApi::WaitRead(HidHandle reading, int timeoutMs) {
  Entry* entry = Reader(reading);
  if (entry == nullptr) return kWaitFailed;
  if (entry->startFailed) {
    entry->startFailed = false;
    return kWaitFailed;
  }
  if (!entry->pending) return kWaitFailed;
  if (entry->deliverKept) {
    entry->deliverKept = false;
    entry->pending = false;
    return kWaitReady;
  }

  const DWORD result = calls_.WaitForSingleObject(entry->event, static_cast<DWORD>(std::max(timeoutMs, 0)));
  if (result == WAIT_OBJECT_0) {
    calls_.ResetEvent(entry->event);
    entry->pending = false;
    DWORD transferred = 0;
    if (!calls_.GetOverlappedResult(entry->handle, &entry->overlapped, &transferred, FALSE)) {
      return kWaitFailed;
    }
    return kWaitReady;
  }
  if (result == WAIT_TIMEOUT) return kWaitTimeout;
  return static_cast<int32_t>(result);
}

bool WindowsHidApi::EndPendingRead(Entry& entry, DWORD& transferred) {
  calls_.CancelIo(entry.handle);
  transferred = 0;
  const BOOL completed = calls_.GetOverlappedResult(entry.handle, &entry.overlapped, &transferred, TRUE);
  entry.pending = false;
  return completed != FALSE;
}

int32_t WindowsHidApi::CancelRead(HidHandle reading) {
  Entry* entry = Reader(reading);
  if (entry == nullptr) return 0;
  entry->startFailed = false;
  if (!entry->pending) return 1;
  std::size_t got = entry->length;
  if (entry->deliverKept) {
    // Withdrawn again before it was taken: kept for the next read.
    entry->deliverKept = false;
    entry->pending = false;
  } else {
    DWORD transferred = 0;
    if (!EndPendingRead(*entry, transferred)) return 1;
    got = std::min<std::size_t>(transferred, entry->length);
  }
  entry->kept.assign(entry->buffer, entry->buffer + got);
  entry->hasKept = true;
  return 1;
}

int32_t WindowsHidApi::Close(HidHandle handle) {
  Entry* entry = Find(handle);
  if (entry == nullptr) return 0;
  DWORD transferred = 0;
  if (entry->pending && !entry->deliverKept) EndPendingRead(*entry, transferred);
  const BOOL ok = CloseEntry(*entry);
  const std::string path = entry->path;
  const bool claimed = entry->claimed;
  handles_.erase(handle);
  if (claimed) claims_.Release(UnitClaimName(path));
  return ok ? 1 : 0;
}

std::unique_ptr<HidApi> MakeWindowsHidApi() {
  std::optional<SystemLibraryFailure> failure;
  std::unique_ptr<Win32HidCalls> calls = LoadSystemWin32HidCalls(failure);
  if (!calls) return std::make_unique<NoDevicesHidApi>();
  return std::make_unique<WindowsHidApi>(std::move(calls));
}

}  // namespace tovrix::windows_hid
