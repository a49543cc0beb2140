// The HID backend of the platform the program runs on: the one choice of
// the whole build (hid/CMakeLists.txt builds one platform_*.cpp). Linux has
// hidraw (hid/linux), Windows the HID class driver (hid/windows); a build
// for any other platform has no backend and finds no devices.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "hid/ApiDeclarations.h"

namespace tovrix {

// A platform without HID devices: the search finds nothing, so the tool
// says "Cannot find TovrixPro!". The backend of a build for a platform
// without one, and a machine with no unit for tests.
class NoDevicesHidApi : public HidApi {
 public:
  std::vector<std::string> ListInterfaces() override { return {}; }
  HidHandle Open(const std::string&) override { return kInvalidHandle; }
  std::optional<OpenFailure> OpenFailureOf(const std::string&) override { return std::nullopt; }
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

// The watch of a platform that cannot tell when devices come: a poll of the
// interface list every 250 ms at most.
class PollingInterfaceWatch : public InterfaceWatch {
 public:
  static constexpr int kPollMs = 250;
  bool Wait(int timeoutMs) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(timeoutMs, 0, kPollMs)));
    return true;
  }
};

// True when this build has a backend for its platform.
bool HavePlatformHid();

// Why a library of the system that a program needs cannot serve it: it
// does not load from the system's own folder, or it lacks a function the
// program calls.
struct SystemLibraryFailure {
  enum class Kind { NotLoaded, FunctionMissing };
  Kind kind = Kind::NotLoaded;
  std::string library;   // as the program names it: "hid.dll"
  std::string function;  // FunctionMissing: the function missing
  std::string reason;    // NotLoaded: the system's text for its error
};

// What a front end tells its user of failure: "hid.dll cannot be loaded
// from the system folder: REASON", "hid.dll of the system folder has no
// function NAME".
std::string SystemLibraryFailureText(const SystemLibraryFailure& failure);

// Why this machine cannot give the backend (on Windows: hid.dll, loaded
// from the system folder only, or one of its functions is missing); empty
// when it can, and on every other platform. Front ends ask before the
// first MakePlatformHidApi and show the failure; a backend made all the
// same finds no devices.
std::optional<SystemLibraryFailure> PlatformHidFailure();

// A new backend object of this platform (NoDevicesHidApi where the build
// has none). Each call gives an object of its own, sharing nothing with
// the others.
std::unique_ptr<HidApi> MakePlatformHidApi();

// A watch of this platform's HID interfaces: on Linux the device folder
// (inotify), elsewhere PollingInterfaceWatch.
std::unique_ptr<InterfaceWatch> MakePlatformInterfaceWatch();

}  // namespace tovrix
