// Writing Intel HEX: records with their checksums, and images of data at
// increasing addresses. The emulated unit writes its memory with it, and
// the tools their images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovrix {

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

}  // namespace tovrix
