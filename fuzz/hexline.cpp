// One image line through the line parser and its message.
//
// Beyond the sanitizers: a line the parser accepts must be exactly the
// record it left behind, written out again (upper-cased, text after the
// checksum aside), and every refusal must have a message.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hex/hex.h"

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

void AppendByte(std::string& out, unsigned value) {
  out += kDigits[(value >> 4) & 0xF];
  out += kDigits[value & 0xF];
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  tovrix::HexRecord record;
  const tovrix::HexLineResult result = tovrix::ParseHexLine(line, record);
  const std::string message = tovrix::HexErrorMessage(result, static_cast<int32_t>(size));
  Check(message.empty() == (result.error == tovrix::HexError::None));
  if (result.error != tovrix::HexError::None) return 0;

  // Accepted: the count is the line's first byte, and the line starts with
  // the record written out again.
  const int count = std::stoi(std::string(line.substr(1, 2)), nullptr, 16);
  Check(result.type == 0 || result.type == 1 || result.type == 4);
  Check(result.count == (result.type == 0 ? count : 0));
  std::string again = ":";
  unsigned sum = 0;
  auto byte = [&](unsigned value) {
    AppendByte(again, value);
    sum += value;
  };
  byte(static_cast<unsigned>(count));
  byte(static_cast<unsigned>(record.RecordAddress) >> 8);
  byte(static_cast<unsigned>(record.RecordAddress) & 0xFF);
  byte(static_cast<unsigned>(result.type));
  for (int k = 0; k < count; ++k) byte(record.RecordData[k]);
  AppendByte(again, (0x100 - (sum & 0xFF)) & 0xFF);
  Check(line.size() >= again.size());
  for (std::size_t i = 0; i < again.size(); ++i) {
    Check(std::toupper(static_cast<unsigned char>(line[i])) == again[i]);
  }
  if (result.type == 4) {
    Check(record.ExtendedBase == (int64_t{record.RecordData[0]} * 256 + record.RecordData[1]) * 65536);
  }
  return 0;
}
