#include "emulator/emulate.h"

#include <ostream>
#include <string_view>

#include "app/update.h"
#include "emulator/options.h"
#include "emulator/platform_hid.h"
#include "emulator/reporting_hid.h"

namespace tovrix::emu {
namespace {

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

std::optional<EmulateOptions> ParseEmulateOptions(const std::vector<std::string>& args,
                                                  std::string& error) {
  EmulateOptions options;
  EmulatorOptions& emu = options.emulator;
  UnitOptionReader unit;
  std::string unitOption;  // the last option given that sets up the emulated unit

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

    if (name == "--real") {
      options.real = true;
      continue;
    }
    if (name == "--no-unit") {
      emu.unitPresent = false;
      unitOption = name;
      continue;
    }
    if (UnitOptionReader::Takes(name)) {
      std::string_view v;
      if (UnitOptionReader::TakesValue(name)) {
        const auto given = value();
        if (!given) return fail(name + " needs a value");
        v = *given;
      }
      if (!unit.Apply(name, v, error)) return std::nullopt;
      unitOption = name;
      continue;
    }
    const bool known = name == "--image" || name == "--version" || name == "--caps" ||
                       name == "--fail-write" || name == "--before" || name == "--after" ||
                       name == "--esc" || name == "--close";
    if (!known) return fail("unknown option: " + name);
    const auto v = value();
    if (!v) return fail(name + " needs a value");

    if (name == "--image") {
      options.image = std::string(*v);
      continue;
    }
    if (name == "--esc") {
      const auto parts = Split(*v, ':');
      int64_t n = 0;
      if (parts.size() != 2 || !ParseDecimal(parts[0], 1, INT32_MAX, n) ||
          (parts[1] != "yes" && parts[1] != "no")) {
        return fail("--esc takes N:yes or N:no");
      }
      options.script.insert(
          {static_cast<int>(n), {parts[1] == "yes" ? PumpAction::EscYes : PumpAction::EscNo}});
      continue;
    }
    if (name == "--close") {
      int64_t n = 0;
      if (!ParseDecimal(*v, 1, INT32_MAX, n)) return fail("--close takes a number from 1");
      options.script.insert({static_cast<int>(n), {PumpAction::Close}});
      continue;
    }

    unitOption = name;
    if (name == "--version") {
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
    } else if (name == "--fail-write") {
      int64_t n = 0;
      if (!ParseDecimal(*v, 1, INT32_MAX, n)) return fail("--fail-write takes a number from 1");
      emu.failWrite = static_cast<int>(n);
    } else if (name == "--before" || name == "--after") {
      if (!ParseDevices(*v, name == "--before" ? emu.before : emu.after)) {
        return fail(name + " takes VID:PID:VER in hex, comma-separated");
      }
    }
  }
  if (options.real && !unitOption.empty()) {
    error = "--real talks to the unit that is plugged in: " + unitOption + " cannot be used with it";
    return std::nullopt;
  }
  if (options.real && !HavePlatformHid()) {
    error = "--real: this build has no HID platform";
    return std::nullopt;
  }
  if (!unit.Finish(emu.unit, error)) return std::nullopt;
  options.eraseWaits = unit.EraseWaits();
  return options;
}

int RunEmulated(const EmulateOptions& options, std::ostream& out) {
  // The real unit keeps real time: every line goes out as it happens.
  auto write = [&out, real = options.real](std::string_view keyword, std::string_view text) {
    out << TranscriptLine(keyword, text) << '\n';
    if (real) out.flush();
  };
  TranscriptShell shell(write, options.script);
  EmulatorEvents events;
  events.sent = [&](const uint8_t* report, std::size_t length) {
    write("send", TranscriptShell::SendText(report, length));
  };
  events.closed = [&] { write("closed", ""); };
  events.fault = [&](const std::string& text) { write("fault", text); };

  auto run = [&](HidApi& hid) {
    UpdateSession session(shell, hid, options.image);
    shell.Attach(session);
    const UpdateOutcome outcome = session.RunUpdate();
    write(outcome.ended ? "exit" : "end", "");
    out.flush();
    return outcome.ended ? 1 : 0;
  };

  if (options.real) {
    const std::unique_ptr<HidApi> platform = MakePlatformHidApi();
    if (!platform) {
      write("fault", "this build has no HID platform");
      return 2;
    }
    ReportingHid hid(*platform, events);
    return run(hid);
  }
  VirtualClock clock;
  EmulatedHid hid(options.emulator, clock, events);
  return run(hid);
}

}  // namespace tovrix::emu
