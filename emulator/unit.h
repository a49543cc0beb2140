// A TovrixPro in update mode: what it does with the commands it receives
// and the replies it gives. The same model serves the emulated HID platform
// (tests, the demo, tovrix-emulate) and the gadget-side unit on a real USB
// stack; each transport only moves its reports.
//
// QUERY is answered with the reply (from the memory bounds, or a raw reply
// given whole); the first QUERY may be left unanswered, or answered twice.
// ERASE clears the memory and takes eraseMicros: a QUERY that arrives during
// the erase is answered when it is over. PROGRAM writes its right-aligned
// data bytes at byte address 2 x its word address. COMPLETE and RESET are
// counted. Anything the unit would not understand is counted as a protocol
// error.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace tovrix::emu {

inline constexpr std::size_t kReportData = 64;  // data bytes of one report
using ReportData = std::array<uint8_t, kReportData>;

// Times are in microseconds on the transport's clock.
inline constexpr int64_t kNever = INT64_MAX / 4;

struct UnitOptions {
  uint32_t MemoryStart = 0x400;  // word addresses, inclusive
  uint32_t MemoryEnd = 0x57FF;
  std::optional<ReportData> rawQueryReply;  // replaces the reply made from the bounds
  bool silentFirstQuery = false;
  bool repeatFirstReply = false;  // the reply to the first QUERY goes out twice
  int64_t eraseMicros = 0;  // kNever: the erase never ends
};

// The memory the unit was given, sparse, by byte address.
class UnitMemory {
 public:
  void Write(uint64_t byteAddress, const uint8_t* data, std::size_t count);
  void Clear();
  std::optional<uint8_t> Read(uint64_t byteAddress) const;
  std::size_t ByteCount() const { return bytes_; }
  // Every written byte in address order, as (address, byte) runs.
  std::map<uint64_t, std::vector<uint8_t>> Runs() const;
  // The memory as Intel HEX, 16-byte records with extended addresses.
  std::string ToIntelHex() const;

 private:
  static constexpr uint64_t kPageBytes = 4096;
  struct Page {
    std::array<uint8_t, kPageBytes> data{};
    std::array<bool, kPageBytes> written{};
  };
  Page& PageAt(uint64_t page);
  std::unordered_map<uint64_t, std::unique_ptr<Page>> pages_;
  uint64_t lastPage_ = UINT64_MAX;
  Page* last_ = nullptr;
  std::size_t bytes_ = 0;
};

class TovrixUnit {
 public:
  explicit TovrixUnit(UnitOptions options = {});

  // One output report's data bytes (the report ID taken off), at time now.
  void Receive(std::span<const uint8_t> data, int64_t now);
  // When the next reply is ready, if one is on its way.
  std::optional<int64_t> NextReplyAt() const;
  // Takes the next reply. Only after NextReplyAt() gave a time.
  ReportData TakeReply();

  // The reply to QUERY.
  ReportData QueryReply() const;

  const UnitMemory& Memory() const { return memory_; }
  int Queries() const { return queries_; }
  int Erases() const { return erases_; }
  int Programs() const { return programs_; }
  int Completes() const { return completes_; }
  int Resets() const { return resets_; }
  int ProtocolErrors() const { return protocolErrors_; }
  bool Erased() const { return erases_ > 0; }

 private:
  struct Reply {
    int64_t at;
    ReportData data;
  };
  void Program(std::span<const uint8_t> data);

  UnitOptions options_;
  UnitMemory memory_;
  std::deque<Reply> replies_;
  int64_t eraseEnds_ = 0;
  int queries_ = 0, erases_ = 0, programs_ = 0, completes_ = 0, resets_ = 0;
  int protocolErrors_ = 0;
};

}  // namespace tovrix::emu
