// The wrappers over HidApi pass every call to the same call of the backend
// behind them, with the same arguments, and give back its result: a
// recording backend answers each call with values of its own, and every
// wrapper is driven through every method.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hid/pass_through.h"
#include "tools/emulate/reporting_hid.h"

namespace tovrix {
namespace {

// Each call as "Method(arguments)"; each result and out value its own.
class RecordingHid : public HidApi {
 public:
  std::vector<std::string> calls;

  std::vector<std::string> ListInterfaces() override {
    calls.push_back("ListInterfaces()");
    return {"listed"};
  }
  std::vector<HidInterfaceInfo> DescribeInterfaces() override {
    calls.push_back("DescribeInterfaces()");
    return {{"described", "port-7", true, {1, 2, 3}}};
  }
  HidHandle Open(const std::string& path) override { return Call("Open(" + path + ")", 101); }
  std::optional<OpenFailure> OpenFailureOf(const std::string& path) override {
    calls.push_back("OpenFailureOf(" + path + ")");
    return OpenFailure{OpenFailure::Kind::Gone, path, "gone", "name"};
  }
  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override {
    attributes = {0x1234, 0x5678, 0x9ABC};
    return Call("GetAttributes(" + std::to_string(handle) + ")", 11);
  }
  int32_t GetCaps(HidHandle handle, HidCaps& caps) override {
    caps = {65, 66, 2};
    return Call("GetCaps(" + std::to_string(handle) + ")", 12);
  }
  HidHandle OpenForReading(const std::string& path) override { return Call("OpenForReading(" + path + ")", 102); }
  int32_t PrepareRead(HidHandle reading) override {
    return Call("PrepareRead(" + std::to_string(reading) + ")", 13);
  }
  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override {
    return Call("WriteReport(" + std::to_string(handle) + "," + std::to_string(report[1]) + "," +
                    std::to_string(length) + ")",
                14);
  }
  int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) override {
    buffer[0] = 0x5A;
    return Call("StartRead(" + std::to_string(reading) + "," + std::to_string(length) + ")", 15);
  }
  int32_t WaitRead(HidHandle reading, int timeoutMs) override {
    return Call("WaitRead(" + std::to_string(reading) + "," + std::to_string(timeoutMs) + ")", 16);
  }
  int32_t CancelRead(HidHandle reading) override {
    return Call("CancelRead(" + std::to_string(reading) + ")", 17);
  }
  int32_t Close(HidHandle handle) override { return Call("Close(" + std::to_string(handle) + ")", 18); }

 private:
  int64_t Call(std::string call, int64_t result) {
    calls.push_back(std::move(call));
    return result;
  }
};

// One call of a wrapper: what it returned (and wrote back), and the call the
// backend must have seen.
struct Method {
  const char* name;
  std::function<std::string(HidApi&)> call;
  std::string seen;
  std::string result;
};

std::string Attributes(const HidAttributes& a) {
  return std::to_string(a.VendorID) + ":" + std::to_string(a.ProductID) + ":" + std::to_string(a.VersionNumber);
}

const std::vector<Method>& Methods() {
  static const std::vector<Method> methods = {
      {"ListInterfaces", [](HidApi& h) { return h.ListInterfaces().at(0); }, "ListInterfaces()", "listed"},
      {"DescribeInterfaces",
       [](HidApi& h) {
         const auto info = h.DescribeInterfaces().at(0);
         return info.path + " " + info.port + " " + Attributes(info.attributes);
       },
       "DescribeInterfaces()", "described port-7 1:2:3"},
      {"Open", [](HidApi& h) { return std::to_string(h.Open("unit:3")); }, "Open(unit:3)", "101"},
      {"OpenFailureOf",
       [](HidApi& h) {
         const auto f = h.OpenFailureOf("unit:4").value();
         return std::to_string(static_cast<int>(f.kind)) + " " + f.path + " " + f.reason + " " + f.name;
       },
       "OpenFailureOf(unit:4)", "2 unit:4 gone name"},
      {"GetAttributes",
       [](HidApi& h) {
         HidAttributes a;
         const int32_t r = h.GetAttributes(7, a);
         return std::to_string(r) + " " + Attributes(a);
       },
       "GetAttributes(7)", "11 4660:22136:39612"},
      {"GetCaps",
       [](HidApi& h) {
         HidCaps c;
         const int32_t r = h.GetCaps(8, c);
         return std::to_string(r) + " " + std::to_string(c.InputReportByteLength) + "," +
                std::to_string(c.OutputReportByteLength) + "," + std::to_string(c.NumberInputValueCaps);
       },
       "GetCaps(8)", "12 65,66,2"},
      {"OpenForReading", [](HidApi& h) { return std::to_string(h.OpenForReading("unit:5")); },
       "OpenForReading(unit:5)", "102"},
      {"PrepareRead", [](HidApi& h) { return std::to_string(h.PrepareRead(9)); }, "PrepareRead(9)", "13"},
      {"WriteReport",
       [](HidApi& h) {
         const uint8_t report[65] = {0, 0x06};
         return std::to_string(h.WriteReport(10, report, sizeof report));
       },
       "WriteReport(10,6,65)", "14"},
      {"StartRead",
       [](HidApi& h) {
         uint8_t buffer[65] = {};
         const int32_t r = h.StartRead(11, buffer, 40);
         return std::to_string(r) + " " + std::to_string(buffer[0]);
       },
       "StartRead(11,40)", "15 90"},
      {"WaitRead", [](HidApi& h) { return std::to_string(h.WaitRead(12, 321)); }, "WaitRead(12,321)", "16"},
      {"CancelRead", [](HidApi& h) { return std::to_string(h.CancelRead(13)); }, "CancelRead(13)", "17"},
      {"Close", [](HidApi& h) { return std::to_string(h.Close(14)); }, "Close(14)", "18"},
  };
  return methods;
}

struct Wrapper {
  const char* name;
  std::function<std::unique_ptr<HidApi>(HidApi& inner)> make;
  friend void PrintTo(const Wrapper& w, std::ostream* os) { *os << w.name; }
};

class WrapperTest : public ::testing::TestWithParam<Wrapper> {};

TEST_P(WrapperTest, PassesEveryCallToTheSameCall) {
  for (const Method& method : Methods()) {
    RecordingHid inner;
    const std::unique_ptr<HidApi> wrapper = GetParam().make(inner);
    EXPECT_EQ(method.call(*wrapper), method.result) << method.name;
    EXPECT_EQ(inner.calls, std::vector<std::string>{method.seen}) << method.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wrappers, WrapperTest,
    ::testing::Values(
        Wrapper{"PassThroughHid", [](HidApi& inner) { return std::make_unique<PassThroughHid>(inner); }},
        Wrapper{"ReportingHid",
                [](HidApi& inner) { return std::make_unique<headless::ReportingHid>(inner, emu::EmulatorEvents{}); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovrix
