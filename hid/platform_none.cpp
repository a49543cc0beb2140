#include "hid/platform.h"

namespace tovrix {

std::optional<SystemLibraryFailure> PlatformHidFailure() { return std::nullopt; }

bool HavePlatformHid() { return false; }

std::unique_ptr<HidApi> MakePlatformHidApi() { return std::make_unique<NoDevicesHidApi>(); }

std::unique_ptr<InterfaceWatch> MakePlatformInterfaceWatch() { return std::make_unique<PollingInterfaceWatch>(); }

}  // namespace tovrix
