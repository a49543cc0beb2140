// A HidApi in front of another one that passes every call through,
// results included: the base of the HidApis that watch another one and
// override only what they look at.
#pragma once

#include "hid/ApiDeclarations.h"

namespace tovrix {

class PassThroughHid : public HidApi {
 public:
  explicit PassThroughHid(HidApi& inner) : inner_(inner) {}

  std::vector<std::string> ListInterfaces() override { return inner_.ListInterfaces(); }
  std::vector<HidInterfaceInfo> DescribeInterfaces() override { return inner_.DescribeInterfaces(); }
  HidHandle Open(const std::string& path) override { return inner_.Open(path); }
  std::optional<OpenFailure> OpenFailureOf(const std::string& path) override { return inner_.OpenFailureOf(path); }
  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override {
    return inner_.GetAttributes(handle, attributes);
  }
  int32_t GetCaps(HidHandle handle, HidCaps& caps) override { return inner_.GetCaps(handle, caps); }
  HidHandle OpenForReading(const std::string& path) override { return inner_.OpenForReading(path); }
  int32_t PrepareRead(HidHandle reading) override { return inner_.PrepareRead(reading); }
  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override {
    return inner_.WriteReport(handle, report, length);
  }
  int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) override {
    return inner_.StartRead(reading, buffer, length);
  }
  int32_t WaitRead(HidHandle reading, int timeoutMs) override { return inner_.WaitRead(reading, timeoutMs); }
  int32_t CancelRead(HidHandle reading) override { return inner_.CancelRead(reading); }
  int32_t Close(HidHandle handle) override { return inner_.Close(handle); }

 protected:
  HidApi& inner_;
};

}  // namespace tovrix
