#include "emulator/image_writer.h"

#include <array>
#include <cstdio>

namespace tovrix::emu {

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

uint8_t ImageByte(uint64_t byteAddress) {
  uint64_t x = byteAddress * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  return static_cast<uint8_t>(x >> 24);
}

namespace {

void Records(HexImageWriter& writer, uint32_t from, uint32_t to) {
  std::array<uint8_t, 16> data{};
  for (uint32_t address = from; address < to; address += 16) {
    for (uint32_t i = 0; i < 16; ++i) data[i] = ImageByte(address + i);
    writer.Data(address, data.data(), data.size());
  }
}

}  // namespace

std::string SampleImage() {
  std::string out;
  HexImageWriter writer(out);
  Records(writer, 0x0000, 0x0010);  // reset vector, below the unit's memory
  Records(writer, 0x0800, 0x8800);  // 32 KB of code
  Records(writer, 0x9000, 0xB000);  // 8 KB after a gap: its first record is preceded by COMPLETE
  Records(writer, 0xB000, 0xD000);  // 8 KB above the default memory: ignored
  Records(writer, 0x300000, 0x300010);  // configuration bytes, far above
  writer.End();
  return out;
}

std::string FilledImage(std::size_t targetBytes) {
  std::string out;
  out.reserve(targetBytes + 64);
  HexImageWriter writer(out);
  std::array<uint8_t, 16> data{};
  for (uint32_t address = 0x1000; out.size() < targetBytes; address += 16) {
    for (uint32_t i = 0; i < 16; ++i) data[i] = ImageByte(address + i);
    writer.Data(address, data.data(), data.size());
  }
  writer.End();
  return out;
}

}  // namespace tovrix::emu
