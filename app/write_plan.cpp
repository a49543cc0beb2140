#include "app/write_plan.h"

#include <string>

#include "hex/hex.h"
#include "hid/hid.h"
#include "hid/unit_identity.h"
#include "messages/messages.h"
#include "protocol/protocol.h"

namespace tovrix {
namespace {

// Takes every report and counts what the unit would be sent.
class CountingHid final : public HidApi {
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
  std::vector<std::string> ListInterfaces() override { return {}; }
  HidHandle Open(const std::string&) override { return kInvalidHandle; }
  std::string OpenFailureNote(const std::string&) override { return {}; }
  int32_t GetAttributes(HidHandle, HidAttributes&) override { return 0; }
  int32_t GetCaps(HidHandle, HidCaps&) override { return 0; }
  HidHandle OpenForReading(const std::string&) override { return kInvalidHandle; }
  int32_t PrepareRead(HidHandle) override { return 0; }
  int32_t StartRead(HidHandle, uint8_t*, std::size_t) override { return 0; }
  int32_t WaitRead(HidHandle, int) override { return -1; }
  int32_t CancelRead(HidHandle) override { return 0; }
  int32_t Close(HidHandle) override { return 0; }
};

// The log lines of the count go nowhere.
class SilentShell final : public Shell {
 public:
  void SetCaption(std::string_view) override {}
  void AppendLog(std::string_view, bool) override {}
  void ShowCritical(std::string_view) override {}
  bool AskQuestion(std::string_view) override { return false; }
  void ShowWindow() override {}
  void PumpEvents() override {}
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
  std::string line;
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
  counter.plan.readable = !image.Failed() && image.Rewind();
  return counter.plan;
}

}  // namespace tovrix
