#include "emulator/images.h"

#include <array>
#include <cstdio>

#include "hex/hex_writer.h"

namespace tovrix::images {

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

}  // namespace tovrix::images
