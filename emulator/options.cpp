#include "emulator/options.h"

#include <algorithm>
#include <charconv>
#include <climits>

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

bool ParseDevices(std::string_view text, std::vector<OtherDevice>& devices) {
  for (std::string_view item : Split(text, ',')) {
    const auto fields = Split(item, ':');
    uint64_t vid = 0, pid = 0, version = 0;
    if (fields.size() != 3 || !ParseHexNumber(fields[0], 0xFFFF, vid) ||
        !ParseHexNumber(fields[1], 0xFFFF, pid) || !ParseHexNumber(fields[2], 0xFFFF, version)) {
      return false;
    }
    devices.push_back({static_cast<uint16_t>(vid), static_cast<uint16_t>(pid),
                       static_cast<uint16_t>(version)});
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

bool EmulatorOptionReader::Takes(std::string_view name) {
  return UnitOptionReader::Takes(name) || name == "--version" || name == "--caps" ||
         name == "--fail-write" || name == "--before" || name == "--after" || name == "--no-unit";
}

bool EmulatorOptionReader::TakesValue(std::string_view name) {
  return Takes(name) && name != "--silent-query" && name != "--no-unit";
}

bool EmulatorOptionReader::Apply(std::string_view name, std::string_view value,
                                 std::string& error, std::string_view shownAs) {
  EmulatorOptions& emu = emulator_;
  const std::string option(shownAs.empty() ? name : shownAs);
  if (UnitOptionReader::Takes(name)) return unit_.Apply(name, value, error);
  if (name == "--no-unit") {
    emu.unitPresent = false;
  } else if (name == "--version") {
    uint64_t version = 0;
    if (!ParseHexNumber(value, 0xFFFF, version)) {
      error = option + " takes a hex number up to FFFF";
      return false;
    }
    emu.unitVersion = static_cast<uint16_t>(version);
  } else if (name == "--caps") {
    const auto parts = Split(value, ',');
    int64_t in = 0, out = 0, values = 0;
    if (parts.size() != 3 || !ParseDecimal(parts[0], 0, 0xFFFF, in) ||
        !ParseDecimal(parts[1], 0, 0xFFFF, out) || !ParseDecimal(parts[2], 0, 0xFFFF, values)) {
      error = "--caps takes IN,OUT,VALUECAPS in decimal, e.g. 65,65,1";
      return false;
    }
    emu.unitCaps = {static_cast<uint16_t>(in), static_cast<uint16_t>(out),
                    static_cast<uint16_t>(values)};
  } else if (name == "--fail-write") {
    int64_t n = 0;
    if (!ParseDecimal(value, 1, INT32_MAX, n)) {
      error = "--fail-write takes a number from 1";
      return false;
    }
    emu.failWrite = static_cast<int>(n);
  } else if (name == "--before" || name == "--after") {
    if (!ParseDevices(value, name == "--before" ? emu.before : emu.after)) {
      error = option + " takes VID:PID:VER in hex, comma-separated";
      return false;
    }
  } else {
    error = "not an option of the emulated unit: " + option;
    return false;
  }
  return true;
}

bool EmulatorOptionReader::Finish(EmulatorOptions& emulator, std::string& error) const {
  EmulatorOptions out = emulator_;
  if (!unit_.Finish(out.unit, error)) return false;
  out.reportMicros = emulator.reportMicros;
  emulator = out;
  return true;
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
