#include "hex/hex_writer.h"

namespace tovrix {

void AppendHexRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data,
                     std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  auto byte = [&out](unsigned value) {
    out += kDigits[(value >> 4) & 0xF];
    out += kDigits[value & 0xF];
  };
  unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFFu) + type;
  out += ':';
  byte(static_cast<unsigned>(count));
  byte(address >> 8);
  byte(address & 0xFFu);
  byte(type);
  for (std::size_t i = 0; i < count; ++i) {
    byte(data[i]);
    sum += data[i];
  }
  byte((0x100u - (sum & 0xFFu)) & 0xFFu);
  out += "\r\n";
}

void HexImageWriter::Data(uint32_t byteAddress, const uint8_t* data, std::size_t count) {
  const int64_t upper = byteAddress >> 16;
  if (upper != upper_) {
    const uint8_t word[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
    AppendHexRecord(out_, 0x04, 0, word, 2);
    upper_ = upper;
  }
  AppendHexRecord(out_, 0x00, static_cast<uint16_t>(byteAddress & 0xFFFF), data, count);
}

void HexImageWriter::End() { AppendHexRecord(out_, 0x01, 0, nullptr, 0); }

}  // namespace tovrix
