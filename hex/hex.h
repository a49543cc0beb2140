// Intel HEX line parser.
//
// ParseHexLine checks one image line in this order, and the first defect
// found is the result: the leading colon; the digit pairs from the count to
// the checksum, pair by pair (a pair cut short by the end of the line, then
// a character that is not a hexadecimal digit); the checksum (all bytes from
// the count to the checksum add up to a multiple of 256); the record type
// (00 data, 01 end of file, 04 extended linear address). Text after the
// checksum is not examined. Digits may be upper or lower case.
//
// The record's address and data bytes are stored in the HexRecord before the
// checksum is verified; a type-04 record sets ExtendedBase from the first
// two data bytes as they stand, whatever its count. Errors are returned as
// data; HexErrorMessage gives the text of the box that reports them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovrix {

// The line format allows up to 255 data bytes.
inline constexpr int kMaxRecordData = 255;

// The fields that the parser leaves for the current line.
struct HexRecord {
  int32_t RecordAddress = 0;  // the line's 16-bit address field
  int64_t ExtendedBase = 0;   // upper address word of the last type-04 record x 65536
  // RecordData[k - 1] is the k-th data byte of the last parsed record;
  // bytes beyond its count keep the values of earlier records.
  std::array<uint8_t, kMaxRecordData> RecordData{};
  int16_t DataCount = 0;      // the count ParseHexLine returned, stored by the sequence
};

enum class HexError : uint8_t {
  None,
  NotRecord,        // first character not ":"
  UnexpectedEnd,    // fewer than 2 characters left when a byte is due
  InvalidDigit,     // a character of a pair is not a hexadecimal digit
  InvalidChecksum,  // the bytes do not add up to a multiple of 256
  UnknownType,      // record type other than 00, 01 and 04
};

struct HexLineResult {
  HexError error = HexError::None;
  int16_t count = 0;  // data bytes of a data record; 0 for the other types
  int type = 0;       // the record type, once read
};

// Parses one line (without its line end) into record.
HexLineResult ParseHexLine(std::string_view line, HexRecord& record);

struct HexBytesResult {
  HexError error = HexError::None;
  int32_t value = 0;
};

// Reads n bytes (1 or 2) as digit pairs from the front of text, first byte
// most significant, and removes the pairs read from text.
HexBytesResult ReadHexBytes(std::string_view& text, int n);

// The message that reports error on line LineNumber, e.g.
// "Invalid checksum on line 12" or "Unknown HEX record type 5 on line 12".
std::string HexErrorMessage(const HexLineResult& result, int32_t LineNumber);

}  // namespace tovrix
