#include "app/cli/flash.h"

#include <chrono>
#include <ctime>
#include <ostream>

#include "app/cli/output.h"
#include "app/cli/sha256.h"
#include "app/cli/units.h"
#include "hid/platform.h"
#include "messages/messages.h"

namespace tovrix::cli {
namespace {

// The local time now, as result lines show it.
std::string LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

struct Platform {
  std::unique_ptr<emu::Clock> clock;
  std::unique_ptr<HidApi> hid;
};

Platform MakePlatform(const FlashOptions& options, FlashIo& io) {
  Platform platform;
  if (options.emulation == Emulation::None) {
    platform.hid = io.makeHid();
    return platform;
  }
  if (options.emulation == Emulation::RealTime) {
    platform.clock = std::make_unique<emu::RealClock>();
  } else {
    platform.clock = std::make_unique<emu::VirtualClock>();
  }
  platform.hid = std::make_unique<emu::EmulatedHid>(options.emulator, *platform.clock, io.emulatorEvents);
  return platform;
}

}  // namespace

FlashIo StandardIo(std::ostream& out, std::ostream& err) {
  FlashIo io;
  io.out = &out;
  io.err = &err;
  io.nowMs = [] {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  };
  io.stopRequests = [] { return 0; };
  io.localTime = [] { return LocalTime(); };
  io.makeHid = [] { return MakePlatformHidApi(); };
  io.makeWatch = [] { return MakePlatformInterfaceWatch(); };
  io.systemFailure = [](const FlashOptions& options) -> std::optional<SystemLibraryFailure> {
    if (options.emulation == Emulation::None) {
      if (std::optional<SystemLibraryFailure> failure = PlatformHidFailure()) return failure;
    }
    if (options.list) return std::nullopt;
    return Sha256Failure();
  };
  return io;
}

int RunFlash(const FlashOptions& options, FlashIo& io) {
  if (options.all || options.repeat) return RunStation(options, io);
  const int64_t started = io.nowMs();
  ReportSettings settings;
  settings.json = options.json;
  settings.quiet = options.quiet;
  settings.errIsTerminal = io.errIsTerminal;
  settings.nowMs = io.nowMs;
  const std::unique_ptr<Report> report = MakeReport(settings, *io.out, *io.err);
  const std::function<bool()> stopRequested = [&] { return io.stopRequests && io.stopRequests() > 0; };
  Platform platform = MakePlatform(options, io);

  int status = kUpdated;
  if (options.list) {
    const std::vector<ListedInterface> listed = ListInterfaces(*platform.hid, true);
    for (const ListedInterface& entry : listed) report->Listed(entry);
    // Only people are told that there is nothing to list.
    if (listed.empty() && !options.json && !options.quiet) *io.err << "tovrix-flash: " << kNoInterfaceText << '\n';
  } else {
    // The image is read once, here: the session checks and writes those
    // bytes. One that cannot be read is the session's to report, before
    // any search, as the window does: no choice of a unit, no wait.
    // An image refused (not approved, not signed) touches no unit.
    FlashOptions run = options;
    const ImageRead read = ReadImage(options, *report);
    run.imageRead = read.image;
    Choice choice;
    if (read.refused) {
      choice.status = kFailed;
    } else if (run.imageRead->read) {
      choice = ChooseUnit(run, io, *platform.hid, *report, stopRequested);
    }
    status = choice.status ? *choice.status
                           : UpdateUnit(run, io, *platform.hid, *report, choice.only, choice.seen, stopRequested);
  }
  report->Done(status, static_cast<double>(io.nowMs() - started) / 1000.0);
  return status;
}

int FlashMain(const std::vector<std::string>& args, FlashIo& io) {
  std::string error;
  const auto options = ParseFlashOptions(args, error);
  if (!options) {
    bool json = false;
    for (const std::string& arg : args) json = json || arg == "--json";
    if (json) {
      *io.out << "{\"event\":\"error\",\"text\":" << JsonString(error) << "}\n"
              << "{\"event\":\"done\",\"status\":" << kBadUsage << ",\"seconds\":0.000}\n";
    } else {
      *io.err << PeopleLines("tovrix-flash: ", TerminalText(error), 14) << "Try 'tovrix-flash --help'.\n";
    }
    return kBadUsage;
  }
  if (options->help) {
    *io.out << UsageText();
    return kUpdated;
  }
  if (options->version) {
    *io.out << VersionText();
    return kUpdated;
  }
  if (const std::optional<SystemLibraryFailure> failure = io.systemFailure ? io.systemFailure(*options) : std::nullopt) {
    ReportSettings settings;
    settings.json = options->json;
    settings.quiet = options->quiet;
    settings.errIsTerminal = io.errIsTerminal;
    settings.nowMs = io.nowMs;
    const std::unique_ptr<Report> report = MakeReport(settings, *io.out, *io.err);
    report->Error(SystemLibraryFailureText(*failure));
    report->Done(kFailed, 0.0);
    return kFailed;
  }
  return RunFlash(*options, io);
}

}  // namespace tovrix::cli
