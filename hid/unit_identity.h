// Who the unit is: what a TovrixPro in update mode shows on USB, and the
// report capabilities that only a real unit has. The backends, the engine,
// the emulated unit and the tests all take them from here.
#pragma once

#include <cstdint>

#include "hid/ApiDeclarations.h"

namespace tovrix {

inline constexpr uint16_t kUnitVendorID = 0x04D8;
inline constexpr uint16_t kUnitProductID = 0x003C;

// A real unit reports 64 data bytes each way behind the report ID (65 with
// it, as the lengths are counted) and one input value capability. Anything
// else is not a TovrixPro, whatever its vendor and product say.
inline constexpr uint16_t kUnitReportByteLength = 65;
inline constexpr uint16_t kUnitInputValueCaps = 1;
inline constexpr HidCaps kUnitCaps{kUnitReportByteLength, kUnitReportByteLength, kUnitInputValueCaps};

inline constexpr bool IsTheUnit(const HidAttributes& attributes) {
  return attributes.VendorID == kUnitVendorID && attributes.ProductID == kUnitProductID;
}

inline constexpr bool HasTheUnitsCaps(const HidCaps& caps) {
  return caps.InputReportByteLength == kUnitCaps.InputReportByteLength &&
         caps.OutputReportByteLength == kUnitCaps.OutputReportByteLength &&
         caps.NumberInputValueCaps == kUnitCaps.NumberInputValueCaps;
}

}  // namespace tovrix
