// Report descriptors of any shape through the parser of the Linux backend.
// The input is the descriptor exactly as long as the fuzzer made it, so a
// read past it is caught.
#include <cstdint>
#include <cstdlib>

#include "hid/linux/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const tovrix::ReportDescriptorResult result = tovrix::ParseReportDescriptor(data, size);
  if (!result.Ok()) {
    // A refusal names an item inside the descriptor, or its end (a
    // collection left open).
    if (result.errorOffset > size) std::abort();
    return 0;
  }
  // The same bytes give the same answer.
  const tovrix::ReportDescriptorResult again = tovrix::ParseReportDescriptor(data, size);
  const auto& a = result.summary;
  const auto& b = again.summary;
  if (!again.Ok() || a.InputReportByteLength != b.InputReportByteLength ||
      a.OutputReportByteLength != b.OutputReportByteLength ||
      a.NumberInputValueCaps != b.NumberInputValueCaps || a.UsesReportIds != b.UsesReportIds) {
    std::abort();
  }
  // Value capabilities come only with input reports.
  if (a.NumberInputValueCaps > 0 && a.InputReportByteLength == 0) std::abort();
  return 0;
}
