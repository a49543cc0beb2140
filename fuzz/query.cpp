// QUERY reply bytes of any length through the check. The input is the
// reply exactly as long as the fuzzer made it, so a read past it is caught.
#include <cstdint>
#include <cstdlib>

#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const tovrix::QueryReplyCheck check = tovrix::CheckQueryBytes(data, size);
  using Check = tovrix::QueryReplyCheck;
  if (check.result == Check::Ok || check.result == Check::InvalidData) {
    // Only a reply that echoes QUERY and carries its markers gets this far,
    // and its bounds are unsigned 32-bit words.
    if (size < 14 || data[1] != tovrix::QUERY || data[4] != 1 || data[13] != 0xFF) std::abort();
    if (check.MemoryStart < 0 || check.MemoryStart > 0xFFFFFFFF) std::abort();
    if (check.MemoryEnd < 0 || check.MemoryEnd > 0xFFFFFFFF) std::abort();
    if ((check.result == Check::Ok) != (data[2] == 56 && data[3] == 2)) std::abort();
  }
  return 0;
}
