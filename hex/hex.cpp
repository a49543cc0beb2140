#include "hex/hex.h"

#include <array>
#include <string>

namespace tovrix {
namespace {

// Digit values of "0123456789ABCDEF", lower case included: the parser
// upper-cases the line before it reads digits, and no other character
// becomes a digit by that.
constexpr std::array<int8_t, 256> MakeDigitTable() {
  std::array<int8_t, 256> table{};
  for (auto& value : table) value = -1;
  for (int d = 0; d < 10; ++d) table['0' + d] = static_cast<int8_t>(d);
  for (int d = 0; d < 6; ++d) {
    table['A' + d] = static_cast<int8_t>(10 + d);
    table['a' + d] = static_cast<int8_t>(10 + d);
  }
  return table;
}
constexpr std::array<int8_t, 256> kDigitValue = MakeDigitTable();

int DigitValue(char c) { return kDigitValue[static_cast<unsigned char>(c)]; }

}  // namespace

HexBytesResult ReadHexBytes(std::string_view& text, int n) {
  HexBytesResult result;
  for (; n > 0; --n) {
    if (text.size() < 2) {
      result.error = HexError::UnexpectedEnd;
      return result;
    }
    const int high = DigitValue(text[0]);
    const int low = DigitValue(text[1]);
    text.remove_prefix(2);
    if (high < 0 || low < 0) {
      result.error = HexError::InvalidDigit;
      return result;
    }
    result.value = result.value * 256 + high * 16 + low;
  }
  return result;
}

HexLineResult ParseHexLine(std::string_view line, HexRecord& record) {
  HexLineResult result;
  if (line.empty() || line.front() != ':') {
    result.error = HexError::NotRecord;
    return result;
  }
  std::string_view rest = line.substr(1);

  auto read = [&](int n, int32_t& value) {
    const HexBytesResult bytes = ReadHexBytes(rest, n);
    result.error = bytes.error;
    value = bytes.value;
    return bytes.error == HexError::None;
  };

  int32_t count = 0;
  if (!read(1, count)) return result;
  int32_t sum = count;  // at most 260 x 255: no overflow

  int32_t address = 0;
  if (!read(2, address)) return result;
  record.RecordAddress = address;
  sum += (address >> 8) + (address & 0xFF);

  int32_t type = 0;
  if (!read(1, type)) return result;
  result.type = type;
  sum += type;

  for (int32_t k = 0; k < count; ++k) {
    int32_t byte = 0;
    if (!read(1, byte)) return result;
    record.RecordData[k] = static_cast<uint8_t>(byte);
    sum += byte;
  }

  int32_t checksum = 0;
  if (!read(1, checksum)) return result;
  sum += checksum;
  if (sum % 256 != 0) {
    result.error = HexError::InvalidChecksum;
    return result;
  }

  switch (type) {
    case 0x00:
      result.count = static_cast<int16_t>(count);
      break;
    case 0x01:
      break;
    case 0x04:
      record.ExtendedBase =
          (static_cast<int64_t>(record.RecordData[0]) * 256 + record.RecordData[1]) * 65536;
      break;
    default:
      result.error = HexError::UnknownType;
      break;
  }
  return result;
}

std::string HexErrorMessage(const HexLineResult& result, int32_t LineNumber) {
  const std::string line = std::to_string(LineNumber);
  switch (result.error) {
    case HexError::None:
      break;
    case HexError::NotRecord:
      return "Invalid HEX on line " + line;
    case HexError::UnexpectedEnd:
      return "Unexpected end of line " + line;
    case HexError::InvalidDigit:
      return "Invalid HEX digit in line " + line;
    case HexError::InvalidChecksum:
      return "Invalid checksum on line " + line;
    case HexError::UnknownType:
      return "Unknown HEX record type " + std::to_string(result.type) + " on line " + line;
  }
  return {};
}

}  // namespace tovrix
