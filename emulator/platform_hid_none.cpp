#include "emulator/platform_hid.h"

namespace tovrix::emu {

bool HavePlatformHid() { return false; }

std::unique_ptr<HidApi> MakePlatformHidApi() { return nullptr; }

}  // namespace tovrix::emu
