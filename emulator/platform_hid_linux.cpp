#include "emulator/platform_hid.h"
#include "hid/linux/linux_hid.h"

namespace tovrix::emu {

bool HavePlatformHid() { return true; }

std::unique_ptr<HidApi> MakePlatformHidApi() { return MakeLinuxHidApi(); }

}  // namespace tovrix::emu
