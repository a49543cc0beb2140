// The platform's HID operations, as the engine needs them: declarations
// only. Each platform implements HidApi in its own folder (hid/linux,
// hid/windows; hid/platform.h chooses one for the build); the emulated unit
// implements it for tests and the demo.
//
// Threads: the calls on one HidApi object come from one thread at a time,
// the thread of the session that owns it. Objects share no state, so two
// sessions, each with an object of its own, may run at once on two
// threads, also on two units of the same platform. Handles are small
// integers chosen by the object; kInvalidHandle is never a valid one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tovrix {

using HidHandle = std::int64_t;
inline constexpr HidHandle kInvalidHandle = -1;

// Identity of a HID interface.
struct HidAttributes {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t VersionNumber = 0;
};

// What the update needs of a device's report capabilities. Report lengths
// count the report ID byte, also for devices that use no report IDs.
struct HidCaps {
  uint16_t InputReportByteLength = 0;
  uint16_t OutputReportByteLength = 0;
  uint16_t NumberInputValueCaps = 0;
};

// What the platform tells about one interface without opening it, for
// listings (HidApi::DescribeInterfaces).
struct HidInterfaceInfo {
  std::string path;
  // The USB port the device hangs on, as the platform names it: on Linux the
  // port name in sysfs ("1-1.2"), on Windows the location path. Empty where
  // the platform does not know (not on USB, or no such record).
  std::string port;
  // True when attributes hold the vendor, product and version; otherwise
  // they can only be read through an open handle.
  bool identified = false;
  HidAttributes attributes;
};

// Why the unit's interface could not be opened, as the platform tells it:
// data until a front end shows it (hid/open_failure.h makes the log line).
struct OpenFailure {
  enum class Kind {
    Denied,   // the system refused access (no udev rule gives the user the node)
    Claimed,  // another update holds the unit (hid/unit_claims.h)
    Gone,     // the interface is no longer there (unplugged, its node missing)
    Other,    // anything else
  };
  Kind kind = Kind::Other;
  std::string path;    // the interface
  std::string reason;  // the system's own text for the error ("Permission denied")
  std::string name;    // the device's name where the platform tells one (WebHID), else empty

  bool operator==(const OpenFailure&) const = default;
};

// Results of HidApi::WaitRead.
inline constexpr int32_t kWaitReady = 0;      // a report arrived
inline constexpr int32_t kWaitTimeout = 258;  // none within the time limit
// Any other value: the wait failed.

class HidApi {
 public:
  virtual ~HidApi() = default;

  // Paths of the HID interfaces present now, in a stable order.
  virtual std::vector<std::string> ListInterfaces() = 0;

  // The interfaces present now, in the order of ListInterfaces, with what
  // the platform knows of each without opening it. Only listings call it
  // (the update's search never does). A platform that knows nothing more
  // than the paths keeps this default.
  virtual std::vector<HidInterfaceInfo> DescribeInterfaces() {
    std::vector<HidInterfaceInfo> interfaces;
    for (std::string& path : ListInterfaces()) interfaces.push_back({std::move(path), {}, false, {}});
    return interfaces;
  }

  // Opens path for shared reading and writing; writes on the handle block
  // until the report is taken. Returns kInvalidHandle on failure.
  virtual HidHandle Open(const std::string& path) = 0;

  // After Open(path) or OpenForReading(path) failed: why, when the
  // interface is the unit's (the user may be able to mend it: no
  // permission, another update holding it). Nothing for any other device;
  // a backend that keeps its last open answers nothing either when that
  // was not a failed one of path.
  virtual std::optional<OpenFailure> OpenFailureOf(const std::string& path) = 0;

  // Vendor, product and version of an open interface. Non-zero on success;
  // zero leaves attributes unspecified.
  virtual int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) = 0;

  // Report lengths and the number of input value capabilities. Non-zero on
  // success; zero leaves caps unchanged.
  virtual int32_t GetCaps(HidHandle handle, HidCaps& caps) = 0;

  // Opens path a second time, for reads with a bounded wait.
  virtual HidHandle OpenForReading(const std::string& path) = 0;

  // Makes the reading handle ready for StartRead (on Windows: the event and
  // the overlapped record). Returns non-zero on success.
  virtual int32_t PrepareRead(HidHandle reading) = 0;

  // Writes one output report: report[0] is the report ID. Returns 1 when
  // the report was written, any other value on failure.
  virtual int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) = 0;

  // Starts the read of one input report into buffer. The report ID is put
  // in buffer[0] and the report's data after it, whatever the platform
  // delivers. At most one read is pending on a handle; buffer stays valid
  // until the read completes or is withdrawn.
  virtual int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) = 0;

  // Waits at most timeoutMs for the pending read: kWaitReady when the report
  // is in the buffer (the read is then over), kWaitTimeout when none came in
  // time (the read is still pending), any other value on failure.
  virtual int32_t WaitRead(HidHandle reading, int timeoutMs) = 0;

  // Withdraws the pending read, so that the next read can start.
  virtual int32_t CancelRead(HidHandle reading) = 0;

  // Closes a handle. Called at most once per handle.
  virtual int32_t Close(HidHandle handle) = 0;
};

// Waits for HID interfaces to come or change (a device plugged in, its
// node made or its access changed), for programs that wait for a unit. Each
// platform watches in its own way (hid/platform.h makes the build's).
class InterfaceWatch {
 public:
  virtual ~InterfaceWatch() = default;

  // Returns after at most timeoutMs: true when the interfaces may have
  // changed (the caller lists them again), false when nothing was seen in
  // that time or a signal cut the wait short. A platform that cannot watch
  // returns true after a short sleep, so that the caller polls.
  virtual bool Wait(int timeoutMs) = 0;
};

}  // namespace tovrix
