#include "hid/linux/linux_hid.h"
#include "hid/platform.h"

namespace tovrix {

std::optional<SystemLibraryFailure> PlatformHidFailure() { return std::nullopt; }

bool HavePlatformHid() { return true; }

std::unique_ptr<HidApi> MakePlatformHidApi() { return MakeLinuxHidApi(); }

std::unique_ptr<InterfaceWatch> MakePlatformInterfaceWatch() { return MakeLinuxInterfaceWatch(); }

}  // namespace tovrix
