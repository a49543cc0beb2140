#include "app/cli/flash.h"

#include <chrono>
#include <ostream>

#include "app/cli/output.h"
#include "app/cli/record.h"
#include "app/cli/sha256.h"
#include "app/cli/units.h"
#include "hid/platform.h"
#include "messages/messages.h"

namespace tovrix::cli {
namespace {

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
  io.wallClock = [] { return LocalWallTime(); };
  io.hostName = [] { return HostName(); };
  io.openRecord = [](const std::string& path) { return OpenRecordFile(path); };
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
    std::unique_ptr<RecordFile> record;
    if (!OpenRecord(options, io, *report, record)) {
      report->Done(kFailed, static_cast<double>(io.nowMs() - started) / 1000.0);
      return kFailed;
    }
    // An image refused (not approved, not signed) touches no unit.
    FlashOptions run = options;
    const ImageRead read = ReadImage(options, *report);
    run.imageRead = read.image;
    const std::string& sha256 = read.sha256;
    Choice choice;
    if (read.refused) {
      choice.status = kFailed;
    } else if (run.imageRead->read) {
      choice = ChooseUnit(run, io, *platform.hid, *report, stopRequested);
    }
    if (choice.status) {
      status = *choice.status;
    } else {
      ReasonKeeper keeper(*report);
      UnitEnd end;
      const int64_t unitStarted = io.nowMs();
      status = UpdateUnit(run, io, *platform.hid, keeper, choice.only, choice.seen, stopRequested, &end);
      // A unit was taken (the search found one): its record.
      if (!end.path.empty()) {
        UnitResult result = NewResult(io, StationName(options, io), 1, sha256);
        result.path = end.path;
        result.port = end.path;
        for (const ListedInterface& entry : choice.seen) {
          if (entry.info.path == end.path && !entry.info.port.empty()) result.port = entry.info.port;
        }
        result.status = status;
        result.code = end.code;
        if (status != kUpdated) result.reason = keeper.Reason().empty() ? "the update failed" : keeper.Reason();
        result.writeFailure = keeper.Failure();
        result.seconds = static_cast<double>(io.nowMs() - unitStarted) / 1000.0;
        result.phases = end.phases;
        if (record) {
          if (const std::string error = record->Append(UnitEventLine(result)); !error.empty()) {
            report->Error(RecordFailedText(options.record, error));
            status = kFailed;  // updated but not recorded: a unit lost
          }
        }
        // The text's standard output is the window's log alone: the unit
        // event is JSON's (and the record's).
        if (options.json) report->Result(result);
      }
    }
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
