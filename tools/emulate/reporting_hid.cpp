#include "tools/emulate/reporting_hid.h"

#include <algorithm>

namespace tovrix::headless {

HidHandle ReportingHid::Opened(HidHandle handle, const std::string& path) {
  if (handle != kInvalidHandle) open_[handle] = path;
  return handle;
}

void ReportingHid::Check(HidHandle handle, const char* operation) {
  if (!open_.contains(handle) && events_.fault) {
    events_.fault(std::string(operation) + " on handle " + std::to_string(handle) +
                  ", which is not open");
  }
}

HidHandle ReportingHid::Open(const std::string& path) { return Opened(inner_.Open(path), path); }

HidHandle ReportingHid::OpenForReading(const std::string& path) {
  return Opened(inner_.OpenForReading(path), path);
}

int32_t ReportingHid::GetAttributes(HidHandle handle, HidAttributes& attributes) {
  Check(handle, "GetAttributes");
  const int32_t result = inner_.GetAttributes(handle, attributes);
  const auto it = open_.find(handle);
  if (result != 0 && it != open_.end() && IsTheUnit(attributes)) {
    unitPaths_.insert(it->second);
  }
  return result;
}

int32_t ReportingHid::GetCaps(HidHandle handle, HidCaps& caps) {
  Check(handle, "GetCaps");
  return inner_.GetCaps(handle, caps);
}

int32_t ReportingHid::PrepareRead(HidHandle reading) {
  Check(reading, "PrepareRead");
  return inner_.PrepareRead(reading);
}

int32_t ReportingHid::WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) {
  Check(handle, "WriteReport");
  const int32_t result = inner_.WriteReport(handle, report, length);
  if (result == 1 && events_.sent) events_.sent(report, length);
  return result;
}

int32_t ReportingHid::StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) {
  Check(reading, "StartRead");
  return inner_.StartRead(reading, buffer, length);
}

int32_t ReportingHid::WaitRead(HidHandle reading, int timeoutMs) {
  Check(reading, "WaitRead");
  return inner_.WaitRead(reading, timeoutMs);
}

int32_t ReportingHid::CancelRead(HidHandle reading) {
  Check(reading, "CancelRead");
  return inner_.CancelRead(reading);
}

int32_t ReportingHid::Close(HidHandle handle) {
  Check(handle, "Close");
  const int32_t result = inner_.Close(handle);
  const auto it = open_.find(handle);
  if (it == open_.end()) return result;
  const std::string path = it->second;
  open_.erase(it);
  const bool stillOpen =
      std::any_of(open_.begin(), open_.end(), [&](const auto& e) { return e.second == path; });
  if (unitPaths_.contains(path) && !stillOpen && events_.closed) events_.closed();
  return result;
}

}  // namespace tovrix::headless
