#include "emulator/options.h"

#include <algorithm>
#include <charconv>

#include "emulator/emulated_hid.h"

namespace tovrix::emu {
namespace {

bool ParseQuery(std::string_view text, ReportData& reply) {
  if (text.size() % 2 != 0 || text.size() > 2 * reply.size()) return false;
  reply.fill(0);
  for (std::size_t i = 0; i < text.size() / 2; ++i) {
    uint64_t byte = 0;
    if (!ParseHexNumber(text.substr(2 * i, 2), 0xFF, byte)) return false;
    reply[i] = static_cast<uint8_t>(byte);
  }
  return true;
}

}  // namespace

bool ParseHexNumber(std::string_view text, uint64_t max, uint64_t& value) {
  if (text.empty() || text.size() > 16) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return error == std::errc() && end == text.data() + text.size() && value <= max;
}

bool ParseDecimal(std::string_view text, int64_t min, int64_t max, int64_t& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  return error == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

bool UnitOptionReader::Takes(std::string_view name) {
  return name == "--memory" || name == "--query" || name == "--silent-query" ||
         name == "--erase-waits";
}

bool UnitOptionReader::TakesValue(std::string_view name) {
  return Takes(name) && name != "--silent-query";
}

bool UnitOptionReader::Apply(std::string_view name, std::string_view value, std::string& error) {
  if (name == "--silent-query") {
    unit_.silentFirstQuery = true;
  } else if (name == "--memory") {
    const auto parts = Split(value, ':');
    uint64_t start = 0, end = 0;
    if (parts.size() != 2 || !ParseHexNumber(parts[0], 0xFFFFFFFF, start) ||
        !ParseHexNumber(parts[1], 0xFFFFFFFF, end)) {
      error = "--memory takes START:END in hex, e.g. 400:57FF";
      return false;
    }
    unit_.MemoryStart = static_cast<uint32_t>(start);
    unit_.MemoryEnd = static_cast<uint32_t>(end);
    memoryGiven_ = true;
  } else if (name == "--query") {
    ReportData reply{};
    if (!ParseQuery(value, reply)) {
      error = "--query takes up to 64 bytes as hex digit pairs";
      return false;
    }
    unit_.rawQueryReply = reply;
    queryGiven_ = true;
  } else if (name == "--erase-waits") {
    if (!ParseDecimal(value, 0, 1'000'000, eraseWaits_)) {
      error = "--erase-waits takes a count";
      return false;
    }
  } else {
    error = "not an option of the unit: " + std::string(name);
    return false;
  }
  return true;
}

bool UnitOptionReader::Finish(UnitOptions& unit, std::string& error) const {
  if (queryGiven_ && memoryGiven_) {
    error = "--query replaces --memory: give one of them";
    return false;
  }
  unit = unit_;
  unit.eraseMicros = EraseMicrosForWaits(static_cast<int>(std::min<int64_t>(eraseWaits_, 11)));
  return true;
}

}  // namespace tovrix::emu
