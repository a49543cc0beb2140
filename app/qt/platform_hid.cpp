#include "app/qt/platform_hid.h"

namespace tovrix::qt {

// The Linux hidraw backend goes here when it lands:
//   #include "hid/linux/linux_hid.h"   and   return MakeLinuxHidApi();
std::unique_ptr<HidApi> MakePlatformHidApi() { return std::make_unique<NoDevicesHidApi>(); }

}  // namespace tovrix::qt
