// The HID operations in the browser, over WebHID: the devices that the user
// chose in the browser's device chooser, reached through the page's bridge
// (app/web/webhid.js, Module.tovrixHid).
//
// The engine's calls are synchronous; WebHID's are promises. Each call that
// waits for the browser (open, close, sending a report, waiting for an
// input report) awaits its promise through Asyncify, so the engine stops
// there while the browser goes on, and carries on when the promise settles.
//
// Interfaces are the chosen devices, in the chooser's order, with the paths
// "webhid:0", "webhid:1", ... A device is opened once in the browser
// whatever the number of handles on it, and closed with its last handle.
// Input reports are queued by the bridge from the moment the device is
// open, as the platform's driver keeps them; a read takes the oldest.
//
// WebHID does not tell the USB device's version: GetAttributes gives
// VersionNumber 0, as the Linux backend does for a device that is not on
// USB. The report lengths and the input value capabilities come from the
// report items that WebHID lists for the device (webhid.js, caps()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hid/ApiDeclarations.h"

namespace tovrix::web {

class WebHidApi : public HidApi {
 public:
  std::vector<std::string> ListInterfaces() override;
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

 private:
  struct Handle {
    int device = 0;
    bool reading = false;
    bool pending = false;
    uint8_t* buffer = nullptr;
    std::size_t length = 0;
  };
  // The device index of a path, or -1.
  static int DeviceOf(const std::string& path);
  HidHandle NewHandle(const std::string& path, bool reading);
  Handle* Find(HidHandle handle);

  std::map<HidHandle, Handle> handles_;
  std::map<int, int> opens_;  // device -> handles open on it
  HidHandle nextHandle_ = 1;
};

}  // namespace tovrix::web
