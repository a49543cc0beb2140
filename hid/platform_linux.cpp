#include "hid/linux/linux_hid.h"
#include "hid/platform.h"

namespace tovrix {

bool HavePlatformHid() { return true; }

std::unique_ptr<HidApi> MakePlatformHidApi() { return MakeLinuxHidApi(); }

}  // namespace tovrix
