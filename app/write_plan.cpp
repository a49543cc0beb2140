#include "app/write_plan.h"

#include <string>

#include "hex/hex.h"
#include "hid/hid.h"
#include "hid/platform.h"
#include "hid/unit_identity.h"
#include "messages/messages.h"
#include "protocol/protocol.h"

namespace tovrix {
namespace {

// Takes every report and counts what the unit would be sent.
class CountingHid final : public NoDevicesHidApi {
 public:
  WritePlan plan;

  int32_t WriteReport(HidHandle, const uint8_t* report, std::size_t length) override {
    if (length < 7) return 1;
    if (report[1] == PROGRAM) {
      ++plan.reports;
      plan.bytes += report[6];
    } else if (report[1] == COMPLETE) {
      ++plan.reports;
    }
    return 1;
  }
};

}  // namespace

WritePlan PlanWrite(ImageFile& image, int64_t memoryStart, int64_t memoryEnd, bool pack,
                    int packetSize) {
  CountingHid counter;
  SilentShell shell;
  Messages messages(shell);
  HidTransport hid(counter, messages);
  hid.Device.DeviceCaps = kUnitCaps;
  hid.Device.WriteHandle = 1;  // never opened, never closed: the counter takes any
  Bootloader boot(hid, messages);
  boot.MemoryStart = memoryStart;
  boot.MemoryEnd = memoryEnd;
  boot.Pack = pack;
  boot.PacketSize = packetSize;
  boot.StartProgramming();

  HexRecord record;
  std::string_view line;
  int32_t lineNumber = 0;
  try {
    while (image.ReadLine(line)) {
      ++lineNumber;
      const HexLineResult parsed = ParseHexLine(line, record);
      if (parsed.error != HexError::None) break;
      record.DataCount = parsed.count;
      if (record.DataCount != 0) boot.ProgramRecord(record, lineNumber);
    }
    record.DataCount = 0;
    boot.ProgramRecord(record, lineNumber);
    boot.FinishProgramming();
  } catch (const ProgramEnd&) {
    // An odd record: the update's own check reports it.
  }
  image.Rewind();
  return counter.plan;
}

}  // namespace tovrix
