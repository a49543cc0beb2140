// The HID report descriptor, read item by item, and what the update needs
// of it: the report lengths and the number of input value capabilities, as
// the Windows HID class driver reports them for the same descriptor.
//
// Plain code over a byte array, no system calls: the Linux backend feeds it
// the descriptor from the kernel, tests and fuzzers feed it anything.
//
// Items. A short item is a prefix byte (size in bits 0-1: 0, 1, 2 or 4 data
// bytes; type in bits 2-3: main, global, local, reserved; tag in bits 4-7)
// and its little-endian data. The prefix 0xFE starts a long item: a data
// size byte, a tag byte and that many data bytes; long items carry nothing
// the update uses and are skipped. Items of the reserved type and unknown
// tags are skipped too.
//
// State. Global items (Report Size, Report Count, Report ID, ...) hold until
// changed; Push saves all of them and Pop restores the last saved set. Local
// items (Usage, Usage Minimum, Usage Maximum, ...) belong to the next main
// item and are cleared by every main item.
//
// Reports. Every Input, Output and Feature item adds Report Size x Report
// Count bits to the report of its kind with the current Report ID (constant
// padding included). A report's byte length is its bits rounded up to whole
// bytes, plus one byte for the report ID, which is counted also when the
// device uses no report IDs. InputReportByteLength and
// OutputReportByteLength are those of the longest input and output report;
// a kind without reports gives 0. Feature reports are checked but not
// counted anywhere.
//
// Input value capabilities. An Input item that is Data and Variable with a
// Report Size above one bit gives its fields one value capability per usage
// in its local items, a Usage Minimum to Usage Maximum pair giving one for
// the range. Usages are taken in order, a single usage for one field and a
// range for as many fields as it spans; usages left over when the fields run
// out give none, and fields left over share the last capability (or one of
// their own when the item has no usage). Constant items are padding, Array
// items and one-bit Variable items are buttons: none of them counts. A Usage
// Minimum or Maximum without its partner counts as a single usage.
//
// Rejected, with the offset of the offending item:
// - an item whose data runs past the end of the descriptor (short or long);
// - Pop without a matching Push; more than kMaxPushDepth nested Pushes;
// - End Collection without an open collection; a collection still open at
//   the end; more than kMaxCollectionDepth nested collections;
// - Report ID 0 or above 255;
// - a report longer than kMaxReportBytes (the lengths are 16-bit); sizes
//   and counts are 32-bit, and the bit counts are formed without overflow;
// - more than 65,535 input value capabilities.
// An empty descriptor is not an error: it describes no reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovrix {

inline constexpr std::size_t kMaxPushDepth = 64;
inline constexpr std::size_t kMaxCollectionDepth = 256;
// The longest report that fits a 16-bit byte length, its ID byte included.
inline constexpr uint32_t kMaxReportBytes = 65535;

struct ReportDescriptorSummary {
  uint16_t InputReportByteLength = 0;
  uint16_t OutputReportByteLength = 0;
  uint16_t NumberInputValueCaps = 0;
  // True when the descriptor has a Report ID item: every report then starts
  // with its ID byte on the wire.
  bool UsesReportIds = false;
};

struct ReportDescriptorResult {
  ReportDescriptorSummary summary;  // valid when error is empty
  std::string error;                // why the descriptor was rejected
  std::size_t errorOffset = 0;      // offset of the item that was rejected

  bool Ok() const { return error.empty(); }
};

// Reads size bytes at data (data may be null when size is 0). Never reads
// outside them.
ReportDescriptorResult ParseReportDescriptor(const uint8_t* data, std::size_t size);

}  // namespace tovrix
