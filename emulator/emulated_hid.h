// The emulated HID platform: a TovrixPro in update mode among other HID
// devices, behind the engine's HidApi.
//
// Time runs on a Clock. With the VirtualClock a wait never sleeps: it
// decides at once whether the unit's reply is due within it and moves the
// clock on. With the RealClock the emulator keeps real time (the demo).
//
// Misuse is reported, never hidden: a handle used after it was closed or
// never opened, a handle closed twice, a read started while one is
// pending, a wait without a pending read.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "emulator/unit.h"
#include "hid/ApiDeclarations.h"
#include "hid/unit_identity.h"

namespace tovrix::emu {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t Now() = 0;                 // microseconds
  virtual void SleepUntil(int64_t when) = 0;
};

// Time that only moves when the emulator waits or works.
class VirtualClock : public Clock {
 public:
  int64_t Now() override { return now_; }
  void SleepUntil(int64_t when) override {
    if (when > now_) now_ = when;
  }

 private:
  int64_t now_ = 0;
};

// The machine's steady clock.
class RealClock : public Clock {
 public:
  RealClock();
  int64_t Now() override;
  void SleepUntil(int64_t when) override;

 private:
  int64_t origin_;
};

struct OtherDevice {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t VersionNumber = 0;
};

struct EmulatorOptions {
  std::vector<OtherDevice> before;  // listed before the unit
  std::vector<OtherDevice> after;   // listed after it
  bool unitPresent = true;
  uint16_t unitVersion = 0x102;
  HidCaps unitCaps = kUnitCaps;
  UnitOptions unit;
  int failWrite = 0;           // the N-th write fails (1-based); 0: none
  // The link's frame: one output report a frame, the frames on a fixed
  // grid from the clock's origin (0: no time at all).
  int64_t reportMicros = 0;
};

// The unit of the demos and of the window's --emulate, on the RealClock:
// the erase takes 1.2 s, each report 1 ms.
EmulatorOptions RealTimeDemoOptions();

// Failed waits before the erase reply, as unit erase time: N waits of 500 ms
// time out and the reply comes in the next. 11 or more: never.
int64_t EraseMicrosForWaits(int failedWaits);

// What the emulated platform tells the outside as it happens.
struct EmulatorEvents {
  std::function<void(const uint8_t* report, std::size_t length)> sent;  // a report written
  std::function<void()> closed;                      // the unit's last open handle closed
  std::function<void(const std::string&)> fault;     // misuse
};

class EmulatedHid : public HidApi {
 public:
  EmulatedHid(EmulatorOptions options, Clock& clock, EmulatorEvents events = {});

  std::vector<std::string> ListInterfaces() override;
  // Each interface with its attributes and a port of its own, "emu-1" for
  // the first listed, "emu-2" for the second, and so on.
  std::vector<HidInterfaceInfo> DescribeInterfaces() override;
  HidHandle Open(const std::string& path) override;
  std::optional<OpenFailure> OpenFailureOf(const std::string& path) override;
  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override;
  int32_t GetCaps(HidHandle handle, HidCaps& caps) override;
  HidHandle OpenForReading(const std::string& path) override;
  int32_t PrepareRead(HidHandle reading) override;
  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override;
  int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) override;
  int32_t WaitRead(HidHandle reading, int timeoutMs) override;
  int32_t CancelRead(HidHandle reading) override;
  int32_t Close(HidHandle handle) override;

  TovrixUnit& Unit() { return unit_; }
  const std::vector<std::string>& Faults() const { return faults_; }
  int Writes() const { return writes_; }
  int OpenHandles() const;

 private:
  struct Device {
    HidAttributes attributes;
    HidCaps caps;
    bool isUnit = false;
  };
  struct Handle {
    int device = 0;
    bool open = true;
    bool reading = false;
    uint8_t* pendingBuffer = nullptr;
    std::size_t pendingLength = 0;
    bool pending = false;
  };
  Handle* Use(HidHandle handle, const char* operation);
  Handle* Reader(HidHandle reading, const char* operation);  // Use, on a reading handle
  HidHandle NewHandle(const std::string& path, bool reading);
  void Fault(const std::string& text);

  EmulatorOptions options_;
  Clock& clock_;
  EmulatorEvents events_;
  TovrixUnit unit_;
  std::vector<Device> devices_;
  std::map<HidHandle, Handle> handles_;
  HidHandle nextHandle_ = 100;
  std::vector<std::string> faults_;
  int writes_ = 0;
  int64_t nextFrame_ = 0;  // the first frame free for the next report
};

}  // namespace tovrix::emu
