#include "emulator/emulate.h"

#include <charconv>
#include <ostream>
#include <string_view>

#include "app/update.h"

namespace tovrix::emu {
namespace {

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

std::optional<EmulateOptions> ParseEmulateOptions(const std::vector<std::string>& args,
                                                  std::string& error) {
  EmulateOptions options;
  EmulatorOptions& emu = options.emulator;
  bool queryGiven = false, memoryGiven = false;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string_view(args[++i]);
    };
    auto fail = [&](const std::string& why) -> std::optional<EmulateOptions> {
      error = why;
      return std::nullopt;
    };

    if (name == "--silent-query") {
      emu.unit.silentFirstQuery = true;
      continue;
    }
    if (name == "--no-unit") {
      emu.unitPresent = false;
      continue;
    }
    const bool known = name == "--image" || name == "--memory" || name == "--version" ||
                       name == "--caps" || name == "--query" || name == "--erase-waits" ||
                       name == "--fail-write" || name == "--before" || name == "--after" ||
                       name == "--esc" || name == "--close";
    if (!known) return fail("unknown option: " + name);
    const auto v = value();
    if (!v) return fail(name + " needs a value");

    if (name == "--image") {
      options.image = std::string(*v);
    } else if (name == "--memory") {
      const auto parts = Split(*v, ':');
      uint64_t start = 0, end = 0;
      if (parts.size() != 2 || !ParseHexNumber(parts[0], 0xFFFFFFFF, start) ||
          !ParseHexNumber(parts[1], 0xFFFFFFFF, end)) {
        return fail("--memory takes START:END in hex, e.g. 400:57FF");
      }
      emu.unit.MemoryStart = static_cast<uint32_t>(start);
      emu.unit.MemoryEnd = static_cast<uint32_t>(end);
      memoryGiven = true;
    } else if (name == "--version") {
      uint64_t version = 0;
      if (!ParseHexNumber(*v, 0xFFFF, version)) return fail("--version takes a hex number up to FFFF");
      emu.unitVersion = static_cast<uint16_t>(version);
    } else if (name == "--caps") {
      const auto parts = Split(*v, ',');
      int64_t in = 0, out = 0, values = 0;
      if (parts.size() != 3 || !ParseDecimal(parts[0], 0, 0xFFFF, in) ||
          !ParseDecimal(parts[1], 0, 0xFFFF, out) || !ParseDecimal(parts[2], 0, 0xFFFF, values)) {
        return fail("--caps takes IN,OUT,VALUECAPS in decimal, e.g. 65,65,1");
      }
      emu.unitCaps = {static_cast<uint16_t>(in), static_cast<uint16_t>(out),
                      static_cast<uint16_t>(values)};
    } else if (name == "--query") {
      ReportData reply{};
      if (!ParseQuery(*v, reply)) return fail("--query takes up to 64 bytes as hex digit pairs");
      emu.unit.rawQueryReply = reply;
      queryGiven = true;
    } else if (name == "--erase-waits") {
      int64_t waits = 0;
      if (!ParseDecimal(*v, 0, 1'000'000, waits)) return fail("--erase-waits takes a count");
      options.eraseWaits = waits;
    } else if (name == "--fail-write") {
      int64_t n = 0;
      if (!ParseDecimal(*v, 1, INT32_MAX, n)) return fail("--fail-write takes a number from 1");
      emu.failWrite = static_cast<int>(n);
    } else if (name == "--before" || name == "--after") {
      if (!ParseDevices(*v, name == "--before" ? emu.before : emu.after)) {
        return fail(name + " takes VID:PID:VER in hex, comma-separated");
      }
    } else if (name == "--esc") {
      const auto parts = Split(*v, ':');
      int64_t n = 0;
      if (parts.size() != 2 || !ParseDecimal(parts[0], 1, INT32_MAX, n) ||
          (parts[1] != "yes" && parts[1] != "no")) {
        return fail("--esc takes N:yes or N:no");
      }
      options.script.insert(
          {static_cast<int>(n), {parts[1] == "yes" ? PumpAction::EscYes : PumpAction::EscNo}});
    } else if (name == "--close") {
      int64_t n = 0;
      if (!ParseDecimal(*v, 1, INT32_MAX, n)) return fail("--close takes a number from 1");
      options.script.insert({static_cast<int>(n), {PumpAction::Close}});
    }
  }
  if (queryGiven && memoryGiven) {
    error = "--query replaces --memory: give one of them";
    return std::nullopt;
  }
  emu.unit.eraseMicros = EraseMicrosForWaits(static_cast<int>(std::min<int64_t>(options.eraseWaits, 11)));
  return options;
}

int RunEmulated(const EmulateOptions& options, std::ostream& out) {
  auto write = [&out](std::string_view keyword, std::string_view text) {
    out << TranscriptLine(keyword, text) << '\n';
  };
  TranscriptShell shell(write, options.script);
  VirtualClock clock;
  EmulatorEvents events;
  events.sent = [&](const uint8_t* report, std::size_t length) {
    write("send", TranscriptShell::SendText(report, length));
  };
  events.closed = [&] { write("closed", ""); };
  events.fault = [&](const std::string& text) { write("fault", text); };
  EmulatedHid hid(options.emulator, clock, events);

  UpdateSession session(shell, hid, options.image);
  shell.Attach(session);
  const UpdateOutcome outcome = session.RunUpdate();
  write(outcome.ended ? "exit" : "end", "");
  out.flush();
  return outcome.ended ? 1 : 0;
}

}  // namespace tovrix::emu
