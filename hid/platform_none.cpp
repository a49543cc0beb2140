#include "hid/platform.h"

namespace tovrix {

bool HavePlatformHid() { return false; }

std::unique_ptr<HidApi> MakePlatformHidApi() { return std::make_unique<NoDevicesHidApi>(); }

}  // namespace tovrix
