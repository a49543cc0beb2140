#include "emulator/emulated_hid.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace tovrix::emu {
namespace {

constexpr const char* kPathPrefix = "emu:";

HidCaps OtherDeviceCaps() { return HidCaps{9, 2, 0}; }  // a keyboard, say

}  // namespace

RealClock::RealClock() : origin_(0) { origin_ = Now(); }

int64_t RealClock::Now() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count() - origin_;
}

void RealClock::SleepUntil(int64_t when) {
  const int64_t now = Now();
  if (when > now) std::this_thread::sleep_for(std::chrono::microseconds(when - now));
}

EmulatorOptions RealTimeDemoOptions() {
  EmulatorOptions options;
  options.unit.eraseMicros = 1'200'000;
  options.reportMicros = 1000;
  return options;
}

int64_t EraseMicrosForWaits(int failedWaits) {
  if (failedWaits > 10) return kNever;
  return static_cast<int64_t>(failedWaits) * 500'000 + 250'000;
}

EmulatedHid::EmulatedHid(EmulatorOptions options, Clock& clock, EmulatorEvents events)
    : options_(std::move(options)), clock_(clock), events_(std::move(events)), unit_(options_.unit) {
  for (const OtherDevice& d : options_.before) {
    devices_.push_back({{d.VendorID, d.ProductID, d.VersionNumber}, OtherDeviceCaps(), false});
  }
  if (options_.unitPresent) {
    devices_.push_back(
        {{kUnitVendorID, kUnitProductID, options_.unitVersion}, options_.unitCaps, true});
  }
  for (const OtherDevice& d : options_.after) {
    devices_.push_back({{d.VendorID, d.ProductID, d.VersionNumber}, OtherDeviceCaps(), false});
  }
}

void EmulatedHid::Fault(const std::string& text) {
  faults_.push_back(text);
  if (events_.fault) events_.fault(text);
}

EmulatedHid::Handle* EmulatedHid::Use(HidHandle handle, const char* operation) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) {
    Fault(std::string(operation) + " on handle " + std::to_string(handle) + ", never opened");
    return nullptr;
  }
  if (!it->second.open) {
    Fault(std::string(operation) + " on handle " + std::to_string(handle) + " after it was closed");
    return nullptr;
  }
  return &it->second;
}

EmulatedHid::Handle* EmulatedHid::Reader(HidHandle reading, const char* operation) {
  Handle* h = Use(reading, operation);
  if (h && !h->reading) {
    Fault(std::string(operation) + " on handle " + std::to_string(reading) +
          ", which was not opened for reading");
    return nullptr;
  }
  return h;
}

std::vector<std::string> EmulatedHid::ListInterfaces() {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < devices_.size(); ++i) paths.push_back(kPathPrefix + std::to_string(i));
  return paths;
}

std::vector<HidInterfaceInfo> EmulatedHid::DescribeInterfaces() {
  std::vector<HidInterfaceInfo> interfaces;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    interfaces.push_back(
        {kPathPrefix + std::to_string(i), "emu-" + std::to_string(i + 1), true, devices_[i].attributes});
  }
  return interfaces;
}

HidHandle EmulatedHid::NewHandle(const std::string& path, bool reading) {
  if (path.rfind(kPathPrefix, 0) != 0) return kInvalidHandle;
  const std::string index = path.substr(std::strlen(kPathPrefix));
  if (index.empty() || index.find_first_not_of("0123456789") != std::string::npos ||
      index.size() > 6) {
    return kInvalidHandle;
  }
  const auto device = static_cast<std::size_t>(std::stoul(index));
  if (device >= devices_.size()) return kInvalidHandle;
  const HidHandle handle = nextHandle_++;
  Handle h;
  h.device = static_cast<int>(device);
  h.reading = reading;
  handles_[handle] = h;
  return handle;
}

HidHandle EmulatedHid::Open(const std::string& path) { return NewHandle(path, false); }

std::optional<OpenFailure> EmulatedHid::OpenFailureOf(const std::string&) { return std::nullopt; }

int32_t EmulatedHid::GetAttributes(HidHandle handle, HidAttributes& attributes) {
  Handle* h = Use(handle, "GetAttributes");
  if (!h) return 0;
  attributes = devices_[h->device].attributes;
  return 1;
}

int32_t EmulatedHid::GetCaps(HidHandle handle, HidCaps& caps) {
  Handle* h = Use(handle, "GetCaps");
  if (!h) return 0;
  caps = devices_[h->device].caps;
  return 1;
}

HidHandle EmulatedHid::OpenForReading(const std::string& path) { return NewHandle(path, true); }

int32_t EmulatedHid::PrepareRead(HidHandle reading) { return Reader(reading, "PrepareRead") ? 1 : 0; }

int32_t EmulatedHid::WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) {
  Handle* h = Use(handle, "WriteReport");
  if (!h) return 0;
  ++writes_;
  if (options_.failWrite == writes_) return 0;
  const Device& device = devices_[h->device];
  if (length != device.caps.OutputReportByteLength) {
    Fault("report of " + std::to_string(length) + " bytes written, the device takes " +
          std::to_string(device.caps.OutputReportByteLength));
  }
  if (options_.reportMicros > 0) {
    // The report goes in the next frame: a writer that comes late (not
    // scheduled at once) loses the rest of a frame, never more, so its
    // delays do not add up over the write.
    const int64_t frame = std::max(nextFrame_, (clock_.Now() / options_.reportMicros + 1) * options_.reportMicros);
    clock_.SleepUntil(frame);
    nextFrame_ = frame + options_.reportMicros;
  }
  if (events_.sent) events_.sent(report, length);
  if (device.isUnit && length >= 1) {
    if (report[0] != 0) Fault("report ID " + std::to_string(report[0]) + " written to the unit");
    unit_.Receive(std::span<const uint8_t>(report + 1, length - 1), clock_.Now());
  }
  return 1;
}

int32_t EmulatedHid::StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) {
  Handle* h = Reader(reading, "StartRead");
  if (!h) return 0;
  if (h->pending) {
    Fault("read started on handle " + std::to_string(reading) + " while one is pending");
    return 0;
  }
  h->pending = true;
  h->pendingBuffer = buffer;
  h->pendingLength = length;
  return 0;  // pending, as an overlapped read is
}

int32_t EmulatedHid::WaitRead(HidHandle reading, int timeoutMs) {
  Handle* h = Reader(reading, "WaitRead");
  if (!h) return -1;
  if (!h->pending) {
    Fault("wait on handle " + std::to_string(reading) + " without a pending read");
    return -1;
  }
  const int64_t deadline = clock_.Now() + static_cast<int64_t>(timeoutMs) * 1000;
  const auto due = devices_[h->device].isUnit ? unit_.NextReplyAt() : std::nullopt;
  if (!due || *due > deadline) {
    clock_.SleepUntil(deadline);
    return kWaitTimeout;
  }
  clock_.SleepUntil(*due);
  const ReportData data = unit_.TakeReply();
  if (h->pendingLength > 0) {
    h->pendingBuffer[0] = 0;  // report ID
    std::memcpy(h->pendingBuffer + 1, data.data(), std::min(h->pendingLength - 1, data.size()));
  }
  h->pending = false;
  return kWaitReady;
}

int32_t EmulatedHid::CancelRead(HidHandle reading) {
  Handle* h = Reader(reading, "CancelRead");
  if (!h) return 0;
  h->pending = false;
  return 1;
}

int32_t EmulatedHid::Close(HidHandle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) {
    Fault("close of handle " + std::to_string(handle) + ", never opened");
    return 0;
  }
  if (!it->second.open) {
    Fault("handle " + std::to_string(handle) + " closed twice");
    return 0;
  }
  it->second.open = false;
  it->second.pending = false;
  const int device = it->second.device;
  if (devices_[device].isUnit) {
    const bool unitStillOpen = std::any_of(handles_.begin(), handles_.end(), [&](const auto& e) {
      return e.second.open && e.second.device == device;
    });
    if (!unitStillOpen && events_.closed) events_.closed();
  }
  return 1;
}

int EmulatedHid::OpenHandles() const {
  return static_cast<int>(std::count_if(handles_.begin(), handles_.end(),
                                        [](const auto& e) { return e.second.open; }));
}

}  // namespace tovrix::emu
