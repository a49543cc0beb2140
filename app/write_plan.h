// What writing an image into the unit's memory will send, counted before
// anything is sent: the same record programming as the update (the same
// bounds test, the same COMPLETE before a record that breaks a run, the
// same pieces for long records or the same packets when packing, the final
// flush), run on the image against a counter instead of a unit.
//
// A front end that shows the progress of the write (the command line)
// learns the totals from it; the update refuses an image without any data
// inside the unit's memory on its word (UpdateSession, before ERASE).
#pragma once

#include <cstdint>

#include "app/image_file.h"

namespace tovrix {

struct WritePlan {
  int64_t reports = 0;  // PROGRAM and COMPLETE reports, the final flush included
  int64_t bytes = 0;    // data bytes in the PROGRAM reports
};

// Reads image from its first line to its end and rewinds it. The image is
// expected to have passed the update's check: a line that does not parse
// ends the count there.
// pack and packetSize as the update's Bootloader has them (Pack, PacketSize).
WritePlan PlanWrite(ImageFile& image, int64_t memoryStart, int64_t memoryEnd, bool pack = false,
                    int packetSize = 0);

}  // namespace tovrix
