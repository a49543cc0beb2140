// The unit's command protocol: command codes, the payload buffer, the QUERY
// reply and the mapping of image records onto PROGRAM and COMPLETE.
//
// Every command is one output report whose first payload byte is its code.
// One-byte commands (QUERY, ERASE, COMPLETE, RESET) send only that byte; the
// rest of the report is zero. PROGRAM sends all 64 payload bytes:
//     0: 0x05   1..4: word address, little-endian   5: data byte count D
//     64-D..63: the data, right-aligned
// Offsets 6..63-D are not written and go out with whatever an earlier
// PROGRAM left there: the payload buffer is never cleared.
//
// QUERY reply (InputBuffer, element 0 the report ID): 1 = 0x02, 2 = 56,
// 3 = 2, 4 = 1, 5..8 = MemoryStart, 9..12 = MemoryEnd (little-endian word
// addresses, unsigned), 13 = 0xFF.
//
// ProgramRecord takes one parsed data record: its byte address must be even
// and its count even, or the box "Odd address or count at line N" and the
// abort follow. A record whose start word lies outside MemoryStart ..
// MemoryEnd is dropped; the first record of every dropped run after a
// written one logs "Ignoring data from $W (line N) ...", the first record of
// every written run "Writing data from $W (line N) ...". A written record
// that does not start where the previous written one ended is preceded by
// COMPLETE. Records of up to 58 bytes go out as one PROGRAM; longer ones as
// PROGRAMs of 56 bytes and a shorter last one, each at the word where the
// one before ended.
//
// Packing (Pack, off by default): the data of written records that continue
// each other are gathered and go out in PROGRAMs of the packet size that the
// unit declared in its QUERY reply (byte 2, 56), the last one of a run
// shorter. The unit receives the same bytes at the same word addresses in
// the same order, with COMPLETE at the same places: held data go out before
// every COMPLETE, and the rest with FinishProgramming, which the sequence
// calls before RESET. The log lines are the same; only the number of
// reports changes. The declared size is guarded (PackedProgramSize).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "hex/hex.h"

namespace tovrix {

class HidTransport;
class Messages;

enum BootloaderCommand : uint8_t {
  QUERY = 0x02,
  ERASE = 0x04,
  PROGRAM = 0x05,
  COMPLETE = 0x06,
  RESET = 0x08,
};

// Payload bytes 0 .. 64; element 64 is never sent.
using Payload = std::array<uint8_t, 65>;
inline constexpr int16_t kPayloadUpperBound = 64;
inline constexpr int kMaxProgramData = 58;  // room behind the six header bytes
inline constexpr int kProgramChunk = 56;    // the unit's packet size, for longer records

// Outcome of the checks on a QUERY reply.
struct QueryReplyCheck {
  enum Result : uint8_t { Ok, InvalidResponse, InvalidData } result = InvalidResponse;
  int64_t MemoryStart = 0;
  int64_t MemoryEnd = 0;
  int PacketSize = 0;  // byte 2: the data bytes per packet the unit takes
};
QueryReplyCheck CheckQueryBytes(const uint8_t* reply, std::size_t length);

// The data bytes of one packed PROGRAM for a unit that declares `declared`
// bytes per packet: at most 58 (the room behind the payload's header),
// rounded down to an even count so that every packet ends on a whole word
// and the next one starts at the word after it. 0 when that leaves less than
// one word (a unit that declares 0 or 1): packing then falls back to one
// PROGRAM per record.
int PackedProgramSize(int declared);

// An output report read back (report ID 0, then the payload): the command
// it carries, and for PROGRAM the count of its data bytes (payload byte 5).
struct SentCommand {
  uint8_t code = 0;
  int dataBytes = 0;  // 0 but for PROGRAM
};
// Nothing for a report too short for a command's header (7 bytes: the ID,
// the code, the word address and the count).
std::optional<SentCommand> ReadOutputReport(const uint8_t* report, std::size_t length);

// True when a data record's byte address or count is odd.
bool IsOddRecord(const HexRecord& record);
std::string OddRecordMessage(int32_t LineNumber);

class Bootloader {
 public:
  Bootloader(HidTransport& hid, Messages& messages) : hid_(hid), messages_(messages) {}

  Payload PayloadBuffer{};
  int64_t MemoryStart = 0;  // word addresses, both inclusive
  int64_t MemoryEnd = 0;
  int64_t NextAddress = -1;     // word after the last record written; -1: none
  int64_t HighestAddress = -1;  // highest start word of a record written; -1: none
  int16_t Skipping = -1;        // non-zero while records lie outside the bounds
  bool Pack = false;            // gather contiguous data into whole packets
  int PacketSize = 0;           // data bytes per packet, from the QUERY reply

  // Sends a one-byte command.
  void SendCommand(uint8_t code);
  // Checks the QUERY reply in InputBuffer and takes the memory bounds from
  // it, logging "OK (memory from $S to $E)"; logs the failure and aborts.
  void CheckQueryReply();
  // The programming state before the first line.
  void StartProgramming();
  // Turns record (DataCount bytes, read from line LineNumber) into commands.
  void ProgramRecord(const HexRecord& record, int32_t LineNumber);
  // Sends the packed data still held back (nothing without Pack).
  void FinishProgramming();

 private:
  void SendProgram(int64_t word, const uint8_t* data, int count);
  void Gather(int64_t word, const uint8_t* data, int count, int packet);
  void SendHeld();

  // Packed data not sent yet: heldCount_ bytes from word heldWord_.
  std::array<uint8_t, kMaxProgramData> held_{};
  int heldCount_ = 0;
  int64_t heldWord_ = 0;

  HidTransport& hid_;
  Messages& messages_;
};

}  // namespace tovrix
