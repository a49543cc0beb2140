#include "emulator/platform_hid.h"
#include "hid/windows/windows_hid.h"

namespace tovrix::emu {

bool HavePlatformHid() { return true; }

std::unique_ptr<HidApi> MakePlatformHidApi() { return win::MakeWindowsHidApi(); }

}  // namespace tovrix::emu
