// The HID backend that the product uses on this platform. The choice is made
// in app/qt/CMakeLists.txt, by the platform_hid_*.cpp it builds.
#pragma once

#include <memory>

#include "hid/ApiDeclarations.h"

namespace tovrix::qt {

// A platform without HID devices: the search finds nothing, so the tool
// reports "Cannot find TovrixPro!". The backend of a build for a platform
// without one, and a window with no unit for tests.
class NoDevicesHidApi : public HidApi {
 public:
  std::vector<std::string> ListInterfaces() override { return {}; }
  HidHandle Open(const std::string&) override { return kInvalidHandle; }
  std::string OpenFailureNote(const std::string&) override { return {}; }
  int32_t GetAttributes(HidHandle, HidAttributes&) override { return 0; }
  int32_t GetCaps(HidHandle, HidCaps&) override { return 0; }
  HidHandle OpenForReading(const std::string&) override { return kInvalidHandle; }
  int32_t PrepareRead(HidHandle) override { return 0; }
  int32_t WriteReport(HidHandle, const uint8_t*, std::size_t) override { return 0; }
  int32_t StartRead(HidHandle, uint8_t*, std::size_t) override { return 0; }
  int32_t WaitRead(HidHandle, int) override { return -1; }
  int32_t CancelRead(HidHandle) override { return 0; }
  int32_t Close(HidHandle) override { return 0; }
};

// The backend of the platform the product runs on.
std::unique_ptr<HidApi> MakePlatformHidApi();

}  // namespace tovrix::qt
