#include "app/qt/platform_hid.h"

namespace tovrix::qt {

// A platform without a HID backend in this build.
std::unique_ptr<HidApi> MakePlatformHidApi() { return std::make_unique<NoDevicesHidApi>(); }

}  // namespace tovrix::qt
