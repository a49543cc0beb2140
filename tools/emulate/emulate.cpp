#include "tools/emulate/emulate.h"

#include <climits>
#include <string_view>

#include "app/update.h"
#include "emulator/options.h"
#include "hid/platform.h"
#include "tools/emulate/reporting_hid.h"

namespace tovrix::headless {

using emu::EmulatorOptionReader;
using emu::ParseDecimal;
using emu::Split;

std::optional<EmulateOptions> ParseEmulateOptions(const std::vector<std::string>& args,
                                                  std::string& error) {
  EmulateOptions options;
  EmulatorOptionReader unit;
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
    if (name == "--pack") {
      options.pack = true;
      continue;
    }
    if (EmulatorOptionReader::Takes(name)) {
      std::string_view v;
      if (EmulatorOptionReader::TakesValue(name)) {
        const auto given = value();
        if (!given) return fail(name + " needs a value");
        v = *given;
      }
      if (!unit.Apply(name, v, error)) return std::nullopt;
      unitOption = name;
      continue;
    }
    const bool known = name == "--image" || name == "--esc" || name == "--close";
    if (!known) return fail("unknown option: " + name);
    const auto v = value();
    if (!v) return fail(name + " needs a value");

    if (name == "--image") {
      options.image = std::string(*v);
    } else if (name == "--esc") {
      const auto parts = Split(*v, ':');
      int64_t n = 0;
      if (parts.size() != 2 || !ParseDecimal(parts[0], 1, INT32_MAX, n) ||
          (parts[1] != "yes" && parts[1] != "no")) {
        return fail("--esc takes N:yes or N:no");
      }
      options.script.insert(
          {static_cast<int>(n), {parts[1] == "yes" ? PumpAction::EscYes : PumpAction::EscNo}});
    } else {
      int64_t n = 0;
      if (!ParseDecimal(*v, 1, INT32_MAX, n)) return fail("--close takes a number from 1");
      options.script.insert({static_cast<int>(n), {PumpAction::Close}});
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
  if (!unit.Finish(options.emulator, error)) return std::nullopt;
  options.eraseWaits = unit.EraseWaits();
  return options;
}

int RunEmulated(const EmulateOptions& options, const TranscriptOut& out) {
  auto flush = [&out] {
    if (out.flush) out.flush();
  };
  // The real unit keeps real time: every line goes out as it happens.
  auto write = [&out, &flush, real = options.real](std::string_view keyword, std::string_view text) {
    out.line(TranscriptLine(keyword, text));
    if (real) flush();
  };
  TranscriptShell shell(write, options.script);
  emu::EmulatorEvents events;
  events.sent = [&](const uint8_t* report, std::size_t length) {
    write("send", TranscriptShell::SendText(report, length));
  };
  events.closed = [&] { write("closed", ""); };
  events.fault = [&](const std::string& text) { write("fault", text); };

  auto run = [&](HidApi& hid) {
    UpdateSession session(shell, hid, options.image);
    session.boot.Pack = options.pack;
    shell.Attach(session);
    const UpdateOutcome outcome = session.RunUpdate();
    write(outcome.ended ? "exit" : "end", "");
    flush();
    return outcome.ended ? 1 : 0;
  };

  if (options.real) {
    const std::unique_ptr<HidApi> platform = MakePlatformHidApi();
    ReportingHid hid(*platform, events);
    return run(hid);
  }
  emu::VirtualClock clock;
  emu::EmulatedHid hid(options.emulator, clock, events);
  return run(hid);
}

}  // namespace tovrix::headless
