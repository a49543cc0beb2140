#include "protocol/protocol.h"

#include <algorithm>
#include <string>

#include "messages/messages.h"
#include "hid/hid.h"

namespace tovrix {
namespace {

int64_t LittleEndian32(const uint8_t* bytes) {
  return static_cast<int64_t>(static_cast<uint32_t>(bytes[0]) |
                              static_cast<uint32_t>(bytes[1]) << 8 |
                              static_cast<uint32_t>(bytes[2]) << 16 |
                              static_cast<uint32_t>(bytes[3]) << 24);
}

std::string AddressLine(const char* what, int64_t word, int32_t LineNumber) {
  return std::string(what) + Hex(static_cast<uint64_t>(word)) + " (line " +
         std::to_string(LineNumber) + ") ...";
}

}  // namespace

QueryReplyCheck CheckQueryBytes(const uint8_t* reply, std::size_t length) {
  QueryReplyCheck check;
  if (length < 14 || reply[1] != QUERY || reply[4] != 1 || reply[13] != 0xFF) {
    check.result = QueryReplyCheck::InvalidResponse;
    return check;
  }
  check.MemoryStart = LittleEndian32(reply + 5);
  check.MemoryEnd = LittleEndian32(reply + 9);
  check.PacketSize = reply[2];
  check.result = (reply[3] != 2 || reply[2] != 56) ? QueryReplyCheck::InvalidData
                                                   : QueryReplyCheck::Ok;
  return check;
}

int PackedProgramSize(int declared) {
  int size = std::min(declared, kMaxProgramData);
  size -= size % 2;
  return size >= 2 ? size : 0;
}

std::optional<SentCommand> ReadOutputReport(const uint8_t* report, std::size_t length) {
  if (length < 7) return std::nullopt;
  SentCommand command;
  command.code = report[1];
  if (command.code == PROGRAM) command.dataBytes = report[6];
  return command;
}

bool IsOddRecord(const HexRecord& record) {
  const int64_t byteAddress = record.RecordAddress + record.ExtendedBase;
  return (byteAddress % 2) != 0 || (record.DataCount % 2) != 0;
}

std::string OddRecordMessage(int32_t LineNumber) {
  return "Odd address or count at line " + std::to_string(LineNumber);
}

void Bootloader::SendCommand(uint8_t code) {
  PayloadBuffer[0] = code;
  hid_.SendOutputReport(PayloadBuffer.data(), 1);
}

void Bootloader::CheckQueryReply() {
  const auto& reply = hid_.InputBuffer;
  const QueryReplyCheck check = CheckQueryBytes(reply.data(), reply.size());
  if (check.result == QueryReplyCheck::InvalidResponse) {
    messages_.LogText("Invalid QUERY response - not connected to TovrixPro?", 1);
    messages_.AbortProgram();
  }
  MemoryStart = check.MemoryStart;
  MemoryEnd = check.MemoryEnd;
  PacketSize = check.PacketSize;
  if (check.result == QueryReplyCheck::InvalidData) {
    messages_.LogText("Invalid QUERY data - not connected to TovrixPro?", 1);
    messages_.AbortProgram();
  }
  messages_.LogText("OK (memory from $" + Hex(static_cast<uint64_t>(MemoryStart)) + " to $" +
                        Hex(static_cast<uint64_t>(MemoryEnd)) + ")",
                    1);
}

void Bootloader::StartProgramming() {
  NextAddress = -1;
  HighestAddress = -1;
  Skipping = -1;
  heldCount_ = 0;
}

void Bootloader::ProgramRecord(const HexRecord& record, int32_t LineNumber) {
  const int64_t byteAddress = record.RecordAddress + record.ExtendedBase;
  if (IsOddRecord(record)) {
    messages_.CriticalBox(OddRecordMessage(LineNumber));
    messages_.AbortProgram();
  }
  const int64_t word = byteAddress / 2;

  if (word < MemoryStart || word > MemoryEnd) {
    if (!Skipping) {
      messages_.LogText(AddressLine("Ignoring data from $", word, LineNumber), 1);
      Skipping = 1;
    }
    return;
  }
  if (Skipping) {
    messages_.LogText(AddressLine("Writing data from $", word, LineNumber), 1);
    Skipping = 0;
  }

  if (NextAddress >= 0 && NextAddress != word) {
    SendHeld();
    SendCommand(COMPLETE);
  }

  const int count = record.DataCount;
  const int packet = Pack ? PackedProgramSize(PacketSize) : 0;
  if (count > 0 && packet > 0) {
    Gather(word, record.RecordData.data(), count, packet);
  } else if (count > 0) {
    SendHeld();  // data held from before packing was turned off go first
    // Up to 58 bytes in one PROGRAM; longer records in 56-byte pieces, each
    // where the last ended.
    const int piece = count <= kMaxProgramData ? count : kProgramChunk;
    for (int offset = 0; offset < count; offset += piece) {
      SendProgram(word + offset / 2, record.RecordData.data() + offset,
                  std::min(piece, count - offset));
    }
  }

  NextAddress = (byteAddress + count) / 2;
  if (word > HighestAddress) HighestAddress = word;
}

void Bootloader::FinishProgramming() { SendHeld(); }

// Adds count bytes at word to the held data, sending every packet that
// fills. The held data always end where these begin: anything else was
// preceded by COMPLETE, which sent them.
void Bootloader::Gather(int64_t word, const uint8_t* data, int count, int packet) {
  if (heldCount_ > 0 && heldWord_ + heldCount_ / 2 != word) SendHeld();
  if (heldCount_ == 0) heldWord_ = word;
  while (count > 0) {
    if (heldCount_ >= packet) SendHeld();
    const int take = std::min(count, packet - heldCount_);
    std::copy_n(data, take, held_.begin() + heldCount_);
    heldCount_ += take;
    data += take;
    count -= take;
    if (heldCount_ == packet) SendHeld();
  }
}

void Bootloader::SendHeld() {
  if (heldCount_ == 0) return;
  SendProgram(heldWord_, held_.data(), heldCount_);
  heldWord_ += heldCount_ / 2;
  heldCount_ = 0;
}

void Bootloader::SendProgram(int64_t word, const uint8_t* data, int count) {
  PayloadBuffer[0] = PROGRAM;
  uint64_t a = static_cast<uint64_t>(word);
  for (int i = 1; i <= 4; ++i) {
    PayloadBuffer[i] = static_cast<uint8_t>(a % 256);
    a /= 256;
  }
  PayloadBuffer[5] = static_cast<uint8_t>(count);
  std::copy_n(data, count, PayloadBuffer.begin() + (kPayloadUpperBound - count));
  hid_.SendOutputReport(PayloadBuffer.data(), kPayloadUpperBound);
}

}  // namespace tovrix
