// The HID platform of the machine the program runs on, when this build has
// one (hidraw on Linux).
#pragma once

#include <memory>

#include "hid/ApiDeclarations.h"

namespace tovrix::emu {

// True when this build has a platform HID backend.
bool HavePlatformHid();

// The platform's HidApi, or null when this build has none.
std::unique_ptr<HidApi> MakePlatformHidApi();

}  // namespace tovrix::emu
