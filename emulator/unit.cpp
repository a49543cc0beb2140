#include "emulator/unit.h"

#include <algorithm>
#include <cstdio>

#include "hex/hex_writer.h"

namespace tovrix::emu {
namespace {

constexpr uint8_t kQuery = 0x02, kErase = 0x04, kProgram = 0x05, kComplete = 0x06, kReset = 0x08;
constexpr int kMaxProgramData = 58;

}  // namespace

UnitMemory::Page& UnitMemory::PageAt(uint64_t page) {
  if (page != lastPage_) {
    auto& slot = pages_[page];
    if (!slot) slot = std::make_unique<Page>();
    last_ = slot.get();
    lastPage_ = page;
  }
  return *last_;
}

void UnitMemory::Write(uint64_t byteAddress, const uint8_t* data, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const uint64_t address = byteAddress + i;
    Page& page = PageAt(address / kPageBytes);
    const std::size_t offset = address % kPageBytes;
    if (!page.written[offset]) ++bytes_;
    page.written[offset] = true;
    page.data[offset] = data[i];
  }
}

void UnitMemory::Clear() {
  pages_.clear();
  lastPage_ = UINT64_MAX;
  last_ = nullptr;
  bytes_ = 0;
}

std::optional<uint8_t> UnitMemory::Read(uint64_t byteAddress) const {
  const auto it = pages_.find(byteAddress / kPageBytes);
  if (it == pages_.end()) return std::nullopt;
  const std::size_t offset = byteAddress % kPageBytes;
  if (!it->second->written[offset]) return std::nullopt;
  return it->second->data[offset];
}

std::map<uint64_t, std::vector<uint8_t>> UnitMemory::Runs() const {
  std::vector<uint64_t> pages;
  pages.reserve(pages_.size());
  for (const auto& entry : pages_) pages.push_back(entry.first);
  std::sort(pages.begin(), pages.end());

  std::map<uint64_t, std::vector<uint8_t>> runs;
  std::vector<uint8_t>* run = nullptr;
  uint64_t runEnd = 0;
  for (uint64_t page : pages) {
    const Page& p = *pages_.at(page);
    for (std::size_t offset = 0; offset < kPageBytes; ++offset) {
      if (!p.written[offset]) continue;
      const uint64_t address = page * kPageBytes + offset;
      if (!run || address != runEnd) run = &runs[address];
      run->push_back(p.data[offset]);
      runEnd = address + 1;
    }
  }
  return runs;
}

std::string UnitMemory::ToIntelHex() const {
  std::string out;
  uint64_t upper = 0;
  for (const auto& [start, bytes] : Runs()) {
    std::size_t i = 0;
    while (i < bytes.size()) {
      const uint64_t address = start + i;
      if (address >> 16 != upper) {
        upper = address >> 16;
        const uint8_t word[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
        AppendHexRecord(out, 0x04, 0, word, 2);
      }
      // Up to 16 bytes, not across a 64 KB boundary.
      const std::size_t room = 0x10000 - (address & 0xFFFF);
      const std::size_t count = std::min({std::size_t{16}, bytes.size() - i, room});
      AppendHexRecord(out, 0x00, static_cast<uint16_t>(address & 0xFFFF), bytes.data() + i, count);
      i += count;
    }
  }
  AppendHexRecord(out, 0x01, 0, nullptr, 0);
  return out;
}

TovrixUnit::TovrixUnit(UnitOptions options) : options_(options) {}

ReportData TovrixUnit::QueryReply() const {
  if (options_.rawQueryReply) return *options_.rawQueryReply;
  ReportData reply{};
  reply[0] = kQuery;
  reply[1] = 56;  // packet size
  reply[2] = 2;
  reply[3] = 1;
  for (int i = 0; i < 4; ++i) {
    reply[4 + i] = static_cast<uint8_t>(options_.MemoryStart >> (8 * i));
    reply[8 + i] = static_cast<uint8_t>(options_.MemoryEnd >> (8 * i));
  }
  reply[12] = 0xFF;
  return reply;
}

void TovrixUnit::Receive(std::span<const uint8_t> data, int64_t now) {
  if (data.size() < kReportData) {
    ++protocolErrors_;
    return;
  }
  switch (data[0]) {
    case kQuery: {
      ++queries_;
      if (queries_ == 1 && options_.silentFirstQuery) break;
      const int64_t at = std::max(now, eraseEnds_);
      replies_.push_back({at, QueryReply()});
      if (queries_ == 1 && options_.repeatFirstReply) replies_.push_back({at, QueryReply()});
      break;
    }
    case kErase:
      ++erases_;
      memory_.Clear();
      eraseEnds_ = options_.eraseMicros >= kNever ? kNever : now + options_.eraseMicros;
      break;
    case kProgram:
      Program(data);
      break;
    case kComplete:
      ++completes_;
      break;
    case kReset:
      ++resets_;
      break;
    default:
      ++protocolErrors_;
      break;
  }
}

void TovrixUnit::Program(std::span<const uint8_t> data) {
  ++programs_;
  const uint64_t word = static_cast<uint64_t>(data[1]) | static_cast<uint64_t>(data[2]) << 8 |
                        static_cast<uint64_t>(data[3]) << 16 | static_cast<uint64_t>(data[4]) << 24;
  const std::size_t count = data[5];
  if (count == 0 || count > kMaxProgramData) {
    ++protocolErrors_;
    return;
  }
  memory_.Write(word * 2, data.data() + kReportData - count, count);
}

std::optional<int64_t> TovrixUnit::NextReplyAt() const {
  if (replies_.empty() || replies_.front().at >= kNever) return std::nullopt;
  return replies_.front().at;
}

ReportData TovrixUnit::TakeReply() {
  ReportData data = replies_.front().data;
  replies_.pop_front();
  return data;
}

}  // namespace tovrix::emu
