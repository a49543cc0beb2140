#include "app/qt/platform_hid.h"
#include "hid/linux/linux_hid.h"

namespace tovrix::qt {

// Linux: the kernel's hidraw interfaces.
std::unique_ptr<HidApi> MakePlatformHidApi() { return MakeLinuxHidApi(); }

}  // namespace tovrix::qt
