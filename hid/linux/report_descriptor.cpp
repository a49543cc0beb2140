#include "hid/linux/report_descriptor.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace tovrix {
namespace {

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };

// Main item tags.
constexpr uint8_t kInput = 0x8;
constexpr uint8_t kOutput = 0x9;
constexpr uint8_t kCollection = 0xA;
constexpr uint8_t kFeature = 0xB;
constexpr uint8_t kEndCollection = 0xC;
// Global item tags.
constexpr uint8_t kReportSize = 0x7;
constexpr uint8_t kReportId = 0x8;
constexpr uint8_t kReportCount = 0x9;
constexpr uint8_t kPush = 0xA;
constexpr uint8_t kPop = 0xB;
// Local item tags.
constexpr uint8_t kUsage = 0x0;
constexpr uint8_t kUsageMinimum = 0x1;
constexpr uint8_t kUsageMaximum = 0x2;

constexpr uint8_t kLongItemPrefix = 0xFE;

// Main item data bits.
constexpr uint32_t kConstantBit = 1u << 0;
constexpr uint32_t kVariableBit = 1u << 1;

constexpr uint64_t kMaxReportBits = (uint64_t{kMaxReportBytes} - 1) * 8;

struct Globals {
  uint32_t reportSize = 0;
  uint32_t reportCount = 0;
  uint8_t reportId = 0;
};

// One usage of the local items: how many fields it can describe.
struct UsageEntry {
  uint64_t fields;
};

class Parser {
 public:
  Parser(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  ReportDescriptorResult Run() {
    while (pos_ < size_ && result_.Ok()) Item();
    if (result_.Ok() && collectionDepth_ > 0) Fail(size_, "a collection is still open at the end");
    if (result_.Ok()) {
      result_.summary.InputReportByteLength = Longest(input_);
      result_.summary.OutputReportByteLength = Longest(output_);
      result_.summary.NumberInputValueCaps = static_cast<uint16_t>(valueCaps_);
      result_.summary.UsesReportIds = usesReportIds_;
    }
    return result_;
  }

 private:
  struct Report {
    std::array<uint64_t, 256> bits{};  // by report ID
    bool any = false;
  };

  void Fail(std::size_t offset, std::string why) {
    if (!result_.Ok()) return;
    result_.error = std::move(why);
    result_.errorOffset = offset;
    result_.summary = {};
  }

  void Item() {
    itemStart_ = pos_;
    const uint8_t prefix = data_[pos_++];
    if (prefix == kLongItemPrefix) {
      // Data size byte, tag byte, then the data: skipped.
      if (size_ - pos_ < 2) return Fail(itemStart_, "long item header runs past the end");
      const std::size_t dataSize = data_[pos_];
      pos_ += 2;
      if (size_ - pos_ < dataSize) return Fail(itemStart_, "long item data runs past the end");
      pos_ += dataSize;
      return;
    }
    const std::size_t dataSize = (prefix & 3u) == 3u ? 4 : (prefix & 3u);
    if (size_ - pos_ < dataSize) return Fail(itemStart_, "item data runs past the end");
    uint32_t value = 0;
    for (std::size_t i = 0; i < dataSize; ++i) value |= uint32_t{data_[pos_ + i]} << (8 * i);
    pos_ += dataSize;

    const uint8_t tag = prefix >> 4;
    switch ((prefix >> 2) & 3u) {
      case kMain: return MainItem(tag, value);
      case kGlobal: return GlobalItem(tag, value);
      case kLocal: return LocalItem(tag, value);
      default: return;  // reserved type: nothing defined, skipped
    }
  }

  void MainItem(uint8_t tag, uint32_t value) {
    switch (tag) {
      case kInput:
        AddBits(input_);
        if (result_.Ok()) CountValueCaps(value);
        break;
      case kOutput: AddBits(output_); break;
      case kFeature: AddBits(feature_); break;
      case kCollection:
        if (collectionDepth_ == kMaxCollectionDepth) return Fail(itemStart_, "collections nested too deep");
        ++collectionDepth_;
        break;
      case kEndCollection:
        if (collectionDepth_ == 0) return Fail(itemStart_, "End Collection without a collection");
        --collectionDepth_;
        break;
      default: break;  // unknown main item: skipped
    }
    ClearLocals();
  }

  void GlobalItem(uint8_t tag, uint32_t value) {
    switch (tag) {
      case kReportSize: globals_.reportSize = value; break;
      case kReportCount: globals_.reportCount = value; break;
      case kReportId:
        if (value == 0 || value > 255) return Fail(itemStart_, "Report ID outside 1 to 255");
        globals_.reportId = static_cast<uint8_t>(value);
        usesReportIds_ = true;
        break;
      case kPush:
        if (stack_.size() == kMaxPushDepth) return Fail(itemStart_, "Push nested too deep");
        stack_.push_back(globals_);
        break;
      case kPop:
        if (stack_.empty()) return Fail(itemStart_, "Pop without Push");
        globals_ = stack_.back();
        stack_.pop_back();
        break;
      default: break;  // usage page, logical and physical ranges, units: not needed
    }
  }

  void LocalItem(uint8_t tag, uint32_t value) {
    switch (tag) {
      case kUsage: usages_.push_back({1}); break;
      case kUsageMinimum:
        if (minimum_) usages_.push_back({1});  // the earlier one had no partner
        minimum_ = value;
        PairRange();
        break;
      case kUsageMaximum:
        if (maximum_) usages_.push_back({1});
        maximum_ = value;
        PairRange();
        break;
      default: break;  // designators, strings, delimiters: not needed
    }
  }

  void PairRange() {
    if (!minimum_ || !maximum_) return;
    const uint64_t fields = *maximum_ >= *minimum_ ? uint64_t{*maximum_} - *minimum_ + 1 : 1;
    usages_.push_back({fields});
    minimum_.reset();
    maximum_.reset();
  }

  void ClearLocals() {
    usages_.clear();
    minimum_.reset();
    maximum_.reset();
  }

  void AddBits(Report& report) {
    // Both factors are below 2^32, so the product fits 64 bits.
    const uint64_t bits = uint64_t{globals_.reportSize} * globals_.reportCount;
    uint64_t& total = report.bits[globals_.reportId];
    if (bits > kMaxReportBits - total) return Fail(itemStart_, "report longer than 65535 bytes");
    total += bits;
    report.any = true;
  }

  void CountValueCaps(uint32_t flags) {
    if ((flags & kConstantBit) || !(flags & kVariableBit) || globals_.reportSize <= 1) return;
    uint64_t fields = globals_.reportCount;
    if (fields == 0) return;
    if (minimum_ || maximum_) usages_.push_back({1});  // a bound without its partner
    uint32_t caps = 0;
    for (const UsageEntry& usage : usages_) {
      if (fields == 0) break;
      ++caps;
      fields -= std::min(fields, usage.fields);
    }
    if (caps == 0) caps = 1;
    valueCaps_ += caps;
    if (valueCaps_ > 0xFFFF) Fail(itemStart_, "more than 65535 input value capabilities");
  }

  static uint16_t Longest(const Report& report) {
    if (!report.any) return 0;
    const uint64_t bits = *std::max_element(report.bits.begin(), report.bits.end());
    return static_cast<uint16_t>((bits + 7) / 8 + 1);
  }

  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::size_t itemStart_ = 0;
  ReportDescriptorResult result_;

  Globals globals_;
  std::vector<Globals> stack_;
  std::size_t collectionDepth_ = 0;
  std::vector<UsageEntry> usages_;
  std::optional<uint32_t> minimum_;
  std::optional<uint32_t> maximum_;
  bool usesReportIds_ = false;

  Report input_;
  Report output_;
  Report feature_;
  uint64_t valueCaps_ = 0;
};

}  // namespace

ReportDescriptorResult ParseReportDescriptor(const uint8_t* data, std::size_t size) {
  if (data == nullptr) size = 0;
  return Parser(data, size).Run();
}

}  // namespace tovrix
