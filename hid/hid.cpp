#include "hid/hid.h"

#include <algorithm>
#include <string>
#include <vector>

#include "hid/open_failure.h"
#include "messages/messages.h"

namespace tovrix {

int16_t HidTransport::FindTheHid() {
  int16_t found = kFalse;
  Device.DeviceOpen = kFalse;

  for (const std::string& path : api_.ListInterfaces()) {
    if (!OnlyInterface.empty() && path != OnlyInterface) continue;
    HidAttributes attributes;
    if (!Examine(path, attributes)) continue;
    LogDeviceLine(attributes);
    if (IsTheUnit(attributes)) {
      messages_.LogText(" <- TovrixPro found!", 1);
      Device.DeviceOpen = kTrue;
      devicePath_ = path;
      break;
    }
    messages_.LogText(" <- Unknown device", 1);
    CloseHandle(Device.WriteHandle);
  }

  if (Device.DeviceOpen) {
    found = kTrue;
    ReadDeviceCaps();
    Device.ReadHandle = api_.OpenForReading(devicePath_);
    PrepareOverlappedRead();
  }
  return found;
}

bool HidTransport::Examine(const std::string& path, HidAttributes& attributes) {
  Device.WriteHandle = api_.Open(path);
  if (Device.WriteHandle == kInvalidHandle) {
    if (const auto failure = api_.OpenFailureOf(path)) messages_.LogText(OpenFailureText(*failure), 1);
    return false;
  }
  Device.LastResult = api_.GetAttributes(Device.WriteHandle, attributes);
  if (Device.LastResult == 0) {
    CloseHandle(Device.WriteHandle);
    return false;
  }
  return true;
}

void HidTransport::LogDeviceLine(const HidAttributes& attributes) {
  messages_.LogText("Found USB device:", 0);
  messages_.LogText("  VID=" + Hex(attributes.VendorID), 0);
  messages_.LogText(", PID=" + Hex(attributes.ProductID), 0);
  messages_.LogText(", Version=" + Hex(attributes.VersionNumber), 0);
}

void HidTransport::ReadDeviceCaps() {
  Device.LastResult = api_.GetCaps(Device.WriteHandle, Device.DeviceCaps);
}

void HidTransport::PrepareOverlappedRead() {
  if (Device.ReadHandle == kInvalidHandle) return;
  Device.LastResult = api_.PrepareRead(Device.ReadHandle);
}

void HidTransport::SendOutputReport(const uint8_t* payload, int16_t count) {
  // The report: ID 0, then count payload bytes, zero to the end.
  std::vector<uint8_t> report(Device.DeviceCaps.OutputReportByteLength, 0);
  if (!report.empty() && count > 0) {
    std::copy_n(payload, std::min<std::size_t>(count, report.size() - 1), report.begin() + 1);
  }

  Device.LastResult = Device.WriteHandle == kInvalidHandle
                          ? 0
                          : api_.WriteReport(Device.WriteHandle, report.data(), report.size());
  if (Device.LastResult != 1) {
    messages_.LogText("Write Failure (code=" + std::to_string(Device.LastResult) + ")", 1);
    messages_.AbortProgram();
  }
}

void HidTransport::StartRead() {
  const std::size_t length =
      std::min<std::size_t>(Device.DeviceCaps.InputReportByteLength, InputBuffer.size());
  Device.LastResult = api_.StartRead(Device.ReadHandle, InputBuffer.data(), length);
}

void HidTransport::ReadInputReport() {
  if (Device.ReadHandle == kInvalidHandle) {
    // Nothing to read from: as a read that never completes.
    if (InputBuffer.size() > 1) InputBuffer[1] = 0;
    return;
  }
  StartRead();
  Device.LastResult = api_.WaitRead(Device.ReadHandle, kReadWaitMs);
  if (Device.LastResult == kWaitReady) return;
  if (Device.LastResult == kWaitTimeout) {
    Device.LastResult = api_.CancelRead(Device.ReadHandle);
  } else {
    messages_.LogText("Readfile undefined error", 1);
  }
  if (InputBuffer.size() > 1) InputBuffer[1] = 0;
}

void HidTransport::AwaitEraseResponse() {
  int16_t failedWaits = 0;
  for (;;) {
    messages_.PumpEvents();
    if (Device.ReadHandle != kInvalidHandle) {
      StartRead();
      Device.LastResult = api_.WaitRead(Device.ReadHandle, kReadWaitMs);
      if (Device.LastResult == kWaitReady) return;
      Device.LastResult = api_.CancelRead(Device.ReadHandle);
    }
    messages_.LogText("(waiting) ... ", 0);
    ++failedWaits;
    if (failedWaits > kEraseWaitLimit) {
      messages_.LogText("No response after ERASE!", 1);
      messages_.AbortProgram();
    }
  }
}

void HidTransport::CloseHandle(HidHandle& handle) {
  if (handle == kInvalidHandle) return;
  Device.LastResult = api_.Close(handle);
  handle = kInvalidHandle;
}

void HidTransport::CloseDevice() {
  CloseHandle(Device.WriteHandle);
  CloseHandle(Device.ReadHandle);
  Device.DeviceOpen = kFalse;
}

}  // namespace tovrix
