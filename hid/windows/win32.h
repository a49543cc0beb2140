// The Windows headers as this program uses them: windows.h without the
// rarely used parts, and the SetupAPI and HID headers, which declare C
// functions without saying so to C++.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

extern "C" {
#include <cfgmgr32.h>
#include <setupapi.h>
#include <hidsdi.h>
#include <hidpi.h>
}
