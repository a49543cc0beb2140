// A HidApi in front of another one that tells the outside what happens on
// it, as the emulated platform does for its own unit: every report that was
// written, the moment the unit's last open handle is closed, and misuse of
// handles (a handle used or closed that is not open). Everything else is
// passed through unchanged, results included.
//
// The unit is recognised by the attributes read on one of its handles
// (vendor 0x04D8, product 0x003C); its handles are those opened on the same
// path.
#pragma once

#include <map>
#include <set>
#include <string>

#include "emulator/emulated_hid.h"
#include "hid/pass_through.h"
#include "hid/unit_identity.h"

namespace tovrix::headless {

class ReportingHid : public PassThroughHid {
 public:
  ReportingHid(HidApi& inner, emu::EmulatorEvents events) : PassThroughHid(inner), events_(std::move(events)) {}

  HidHandle Open(const std::string& path) override;
  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override;
  int32_t GetCaps(HidHandle handle, HidCaps& caps) override;
  HidHandle OpenForReading(const std::string& path) override;
  int32_t PrepareRead(HidHandle reading) override;
  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override;
  int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) override;
  int32_t WaitRead(HidHandle reading, int timeoutMs) override;
  int32_t CancelRead(HidHandle reading) override;
  int32_t Close(HidHandle handle) override;

  // Handles open now.
  std::size_t OpenHandles() const { return open_.size(); }

 private:
  HidHandle Opened(HidHandle handle, const std::string& path);
  void Check(HidHandle handle, const char* operation);

  emu::EmulatorEvents events_;
  std::map<HidHandle, std::string> open_;  // handle -> path
  std::set<std::string> unitPaths_;
};

}  // namespace tovrix::headless
