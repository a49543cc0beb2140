// Intel HEX images made by the tools: the sample image, images of a given
// size for measurements, and the unit's memory written out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovrix::emu {

// Appends one record with its checksum and CR LF.
void AppendHexRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data,
                     std::size_t count);

// Writes data records at increasing byte addresses, with a type-04 record
// wherever the upper address word changes (and before the first record).
class HexImageWriter {
 public:
  explicit HexImageWriter(std::string& out) : out_(out) {}
  void Data(uint32_t byteAddress, const uint8_t* data, std::size_t count);
  void End();

 private:
  std::string& out_;
  int64_t upper_ = -1;
};

// The sample image: about 48 KB of code in 16-byte records from byte 0x800
// on, with a break in its addresses, a reset vector below and code and
// configuration bytes above the unit's default memory (words 0x400..0x57FF).
std::string SampleImage();

// An image of 16-byte records, at least targetBytes long, with extended
// addresses; its data lie from byte 0x1000 on.
std::string FilledImage(std::size_t targetBytes);

// The deterministic byte at a byte address in the made images.
uint8_t ImageByte(uint64_t byteAddress);

}  // namespace tovrix::emu
