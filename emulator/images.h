// The images that the project makes for its tests, demos and measurements:
// the sample image and images of a given size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovrix::images {

// The sample image: about 48 KB of code in 16-byte records from byte 0x800
// on, with a break in its addresses, a reset vector below and code and
// configuration bytes above the unit's default memory (words 0x400..0x57FF).
std::string SampleImage();

// An image of 16-byte records, at least targetBytes long, with extended
// addresses; its data lie from byte 0x1000 on.
std::string FilledImage(std::size_t targetBytes);

// The deterministic byte at a byte address in the made images.
uint8_t ImageByte(uint64_t byteAddress);

}  // namespace tovrix::images
