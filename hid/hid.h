// Finding the unit among the HID interfaces, opening it, and moving reports
// to and from it, over any platform's HidApi.
//
// Discovery: FindTheHid lists the present interfaces in the platform's
// order, opens each, reads its vendor, product and version and logs one
// line for it:
//     Found USB device:  VID=4D8, PID=3C, Version=102 <- TovrixPro found!
// (" <- Unknown device" for any other device, whose handle is then closed).
// An interface that cannot be opened or whose attributes cannot be read
// gets no line; it is closed if it was opened. When the platform tells why
// the unit itself could not be opened (HidApi::OpenFailureOf), its line
// (OpenFailureText) is logged. The search stops
// at the first unit (vendor 0x04D8, product 0x003C): interfaces after it are
// neither opened nor logged. The unit's handle stays open for writing; its
// capabilities are read and it is opened a second time for reading. With
// OnlyInterface set, the search looks at that one interface path alone
// (when it is listed) and passes every other by without a line: a program
// that updates several units gives each session its own.
//
// Report I/O: SendOutputReport frames count payload bytes behind report ID 0
// into one zero-filled output report of OutputReportByteLength bytes and
// writes it; a failed write logs "Write Failure (code=N)" and aborts.
// ReadInputReport reads one input report into InputBuffer with one wait of
// 500 ms; when none arrives (or the wait fails, which also logs "Readfile
// undefined error") InputBuffer[1] becomes 0. AwaitEraseResponse waits for
// any report with at most 11 waits of 500 ms, pumping the window's events
// before each and logging "(waiting) ... " after each failed one; the 11th
// failure logs "No response after ERASE!" and aborts.
//
// CloseDevice closes the handles that are open, each once, and clears
// DeviceOpen; after it no handle is used again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hid/ApiDeclarations.h"
#include "hid/unit_identity.h"

namespace tovrix {

class Messages;

inline constexpr int kReadWaitMs = 500;
inline constexpr int kEraseWaitLimit = 10;  // the wait gives up when its counter exceeds this

// Flags are 16-bit, true is -1.
inline constexpr int16_t kTrue = -1;
inline constexpr int16_t kFalse = 0;

// The open unit.
struct DeviceState {
  HidCaps DeviceCaps;
  HidHandle WriteHandle = kInvalidHandle;  // plain handle: writes and the capability query
  int16_t DeviceOpen = kFalse;             // true (-1) while a unit is open
  HidHandle ReadHandle = kInvalidHandle;   // second handle: reads with a bounded wait
  int32_t LastResult = 0;                  // result of the latest platform call
};

class HidTransport {
 public:
  HidTransport(HidApi& api, Messages& messages) : api_(api), messages_(messages) {}

  DeviceState Device;
  // The one interface the search may take; empty: every interface.
  std::string OnlyInterface;
  // One input report: the report ID in element 0, the report's data after
  // it. Sized by the update sequence to InputReportByteLength + 1 elements.
  std::vector<uint8_t> InputBuffer;

  // Searches for the unit and opens it; true (-1) when found, else false.
  int16_t FindTheHid();
  // The interface path of the unit found (empty before).
  const std::string& DevicePath() const { return devicePath_; }
  // Fills DeviceCaps through WriteHandle.
  void ReadDeviceCaps();
  // Makes ReadHandle ready for reads.
  void PrepareOverlappedRead();

  // Writes PayloadBuffer elements 0 .. count-1 as one output report.
  void SendOutputReport(const uint8_t* payload, int16_t count);
  // One read with one wait of 500 ms.
  void ReadInputReport();
  // Waits for the reply that ends the erase.
  void AwaitEraseResponse();
  // Closes the open handles and clears DeviceOpen.
  void CloseDevice();

 private:
  void StartRead();
  // Opens path into WriteHandle and reads its attributes; false (and the
  // handle closed) when either fails.
  bool Examine(const std::string& path, HidAttributes& attributes);
  void LogDeviceLine(const HidAttributes& attributes);
  void CloseHandle(HidHandle& handle);

  HidApi& api_;
  Messages& messages_;
  std::string devicePath_;
};

}  // namespace tovrix
