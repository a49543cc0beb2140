#include "hid/platform.h"
#include "hid/windows/windows_hid.h"

namespace tovrix {

std::optional<SystemLibraryFailure> PlatformHidFailure() {
  std::optional<SystemLibraryFailure> failure;
  windows_hid::LoadSystemWin32HidCalls(failure);
  return failure;
}

bool HavePlatformHid() { return true; }

std::unique_ptr<HidApi> MakePlatformHidApi() { return windows_hid::MakeWindowsHidApi(); }

std::unique_ptr<InterfaceWatch> MakePlatformInterfaceWatch() { return std::make_unique<PollingInterfaceWatch>(); }

}  // namespace tovrix
