#include "app/cli/flash.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <ostream>
#include <string_view>

#include "app/cli/output.h"
#include "app/cli/sha256.h"
#include "app/cli/units.h"
#include "app/update.h"
#include "app/version.h"  // TOVRIX_VERSION, from project(VERSION)
#include "emulator/options.h"
#include "hid/pass_through.h"
#include "hid/platform.h"
#include "hid/unit_identity.h"
#include "messages/messages.h"
#include "protocol/protocol.h"


namespace tovrix::cli {
namespace {

// The emulated unit in real time: each report 1 ms, the erase 1.2 s (the
// tool's waits of 500 ms: two "(waiting) ... " fragments, then the reply).
constexpr int64_t kEmulatedReportMicros = 1000;
constexpr int64_t kEmulatedEraseMicros = 1'200'000;
// Between two lists of the interfaces while waiting: the longest a stop
// request or a missed hotplug event can go unseen.
constexpr int64_t kWaitSliceMs = 250;
// A unit that came but cannot be opened yet: udev gives the user access a
// moment after the kernel makes the node. After this long it is taken as it
// is, and the search says why it cannot be opened.
constexpr int64_t kAccessGraceMs = 3000;
constexpr int64_t kMaxWaitSeconds = 10'000'000;
constexpr int kMaxEmulatedUnits = 16;

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

// SECONDS: digits, optionally a point and up to three more.
bool ParseSeconds(std::string_view text, int64_t& ms) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  if (whole.empty() || whole.size() > 8 || fraction.size() > 3 ||
      (point != std::string_view::npos && fraction.empty())) {
    return false;
  }
  int64_t seconds = 0;
  for (const char c : whole) {
    if (c < '0' || c > '9') return false;
    seconds = seconds * 10 + (c - '0');
  }
  int64_t thousandths = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const char c = i < fraction.size() ? fraction[i] : '0';
    if (c < '0' || c > '9') return false;
    thousandths = thousandths * 10 + (c - '0');
  }
  if (seconds > kMaxWaitSeconds) return false;
  ms = seconds * 1000 + thousandths;
  return true;
}

// The platform's HID operations, passed through, telling the program which
// unit the search takes and every report written, with the result.
class ObservedHid final : public PassThroughHid {
 public:
  std::function<void(const std::string& path, const HidAttributes&)> unitSeen;
  std::function<void(const uint8_t* report, int32_t result)> written;

  using PassThroughHid::PassThroughHid;

  HidHandle Open(const std::string& path) override {
    const HidHandle handle = inner_.Open(path);
    if (handle != kInvalidHandle) paths_[handle] = path;
    return handle;
  }
  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override {
    const int32_t result = inner_.GetAttributes(handle, attributes);
    const auto it = paths_.find(handle);
    if (result != 0 && IsTheUnit(attributes) && it != paths_.end() && unitSeen) {
      unitSeen(it->second, attributes);
    }
    return result;
  }
  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override {
    const int32_t result = inner_.WriteReport(handle, report, length);
    if (length > 6 && written) written(report, result);
    return result;
  }
  int32_t Close(HidHandle handle) override {
    paths_.erase(handle);
    return inner_.Close(handle);
  }

 private:
  std::map<HidHandle, std::string> paths_;
};

// The session's shell: the log's lines once complete, the boxes as errors,
// no window. Its "event pumps" are where a stop request is taken up: the
// unit is closed as the window's close does (UpdateSession::Unload), and
// the session ends there.
//
// A fatal error that the session reports in the log (a write failure, no
// reply after ERASE, a bad QUERY reply) logs its text as one line end piece
// and then aborts: standard error gets that text before "Program Abort!",
// so that the reason is there too; for a write that failed, what it means
// for the unit instead.
class FlashShell final : public Shell {
 public:
  FlashShell(Report& report, std::function<bool()> stopRequested, const std::optional<WriteFailure>& writeFailure)
      : report_(report), stopRequested_(std::move(stopRequested)), writeFailure_(writeFailure) {}

  void Attach(UpdateSession& session) { session_ = &session; }

  void SetCaption(std::string_view) override {}
  void AppendLog(std::string_view text, bool newline) override {
    afterBox_ = false;
    line_ += text;
    if (!newline) return;
    lastPiece_ = text;
    report_.Log(line_);
    line_.clear();
  }
  void ShowCritical(std::string_view text) override {
    if (text == AbortText && !afterBox_) {
      if (writeFailure_) {
        report_.WriteFailed(*writeFailure_);
      } else if (!lastPiece_.empty()) {
        report_.Error(lastPiece_);
      }
    }
    afterBox_ = true;
    report_.Error(text);
  }
  // The only question is the one Esc asks, and there is no Esc here. Were it
  // asked, the answer lets the update go on.
  bool AskQuestion(std::string_view) override { return false; }
  void ShowWindow() override {}
  void PumpEvents() override { TakeStopRequest(); }

  void TakeStopRequest() {
    if (interrupted_ || !session_ || !stopRequested_ || !stopRequested_()) return;
    interrupted_ = true;
    report_.EndProgress();
    session_->Unload();
  }
  // A line the log left open (the program ended in its middle) as it stands.
  void FinishLog() {
    if (line_.empty()) return;
    report_.Log(line_);
    line_.clear();
  }
  bool Interrupted() const { return interrupted_; }
  // The text of the last LogText that ended a line.
  const std::string& LastPiece() const { return lastPiece_; }

 private:
  Report& report_;
  std::function<bool()> stopRequested_;
  const std::optional<WriteFailure>& writeFailure_;
  UpdateSession* session_ = nullptr;
  std::string line_;
  std::string lastPiece_;
  bool afterBox_ = false;
  bool interrupted_ = false;
};

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

std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args,
                                              std::string& error) {
  FlashOptions options;
  emu::EmulatorOptionReader unit;
  std::string unitOption;  // the last option given that sets up the emulated unit
  bool eraseWaitsGiven = false;
  bool unitsGiven = false;
  bool imageGiven = false;
  // The number that followed a bare --wait, taken for an image: --wait takes
  // its value only as --wait=SECONDS, like every optional value.
  std::string waitNumber;
  bool emulate = false;
  bool optionsEnd = false;
  for (const std::string& arg : args) {
    if (arg == "--emulate" || arg.rfind("--emulate=", 0) == 0) emulate = true;
    if (arg == "--") break;
  }

  auto fail = [&](const std::string& why) -> std::optional<FlashOptions> {
    error = why;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
      int64_t ignored = 0;
      if (!optionsEnd && i > 0 && args[i - 1] == "--wait" && ParseSeconds(arg, ignored)) waitNumber = arg;
      if (imageGiven) {
        std::string why = "one image only: " + arg;
        if (!waitNumber.empty()) why += "; did you mean --wait=" + waitNumber + "?";
        return fail(why);
      }
      options.image = arg;
      options.imageNamed = true;
      imageGiven = true;
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    std::optional<std::string> inlineValue;
    if (equals != std::string::npos) inlineValue = arg.substr(equals + 1);
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    auto noValue = [&]() { return !inlineValue; };

    if ((name == "--help" || name == "-h") && noValue()) {
      options.help = true;
    } else if (name == "--version" && noValue()) {
      options.version = true;
    } else if (name == "--list" && noValue()) {
      options.list = true;
    } else if (name == "--json" && noValue()) {
      options.json = true;
    } else if ((name == "--quiet" || name == "-q") && noValue()) {
      options.quiet = true;
    } else if ((name == "--all" || name == "--repeat" || name == "--pack") && noValue()) {
      (name == "--all" ? options.all : name == "--repeat" ? options.repeat : options.pack) = true;
    } else if (name == "--units") {
      const auto v = value();
      if (!v || v->size() > 2 || v->find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(*v) < 1 || std::stoi(*v) > kMaxEmulatedUnits) {
        return fail("--units takes a number of units, 1 to " + std::to_string(kMaxEmulatedUnits));
      }
      options.units = std::stoi(*v);
      unitsGiven = true;
    } else if (name == "--device" || name == "--port") {
      const auto v = value();
      if (!v || v->empty()) return fail(name + " needs a value");
      (name == "--device" ? options.device : options.port) = *v;
    } else if (name == "--wait") {
      options.wait = true;
      options.waitMs = -1;
      if (inlineValue && !ParseSeconds(*inlineValue, options.waitMs)) {
        return fail("--wait=SECONDS takes a number of seconds, such as 30 or 2.5");
      }
    } else if (name == "--emulate") {
      if (!inlineValue) {
        options.emulation = Emulation::RealTime;
      } else if (*inlineValue == "fast") {
        options.emulation = Emulation::Fast;
      } else {
        return fail("--emulate takes no value, or =fast");
      }
    } else if (const std::string unitName = name == "--unit-version" ? "--version" : name;
               name != "--version" && emu::EmulatorOptionReader::Takes(unitName)) {
      // The emulated unit's --version is --unit-version here: --version is
      // the program's.
      std::string v;
      if (emu::EmulatorOptionReader::TakesValue(unitName)) {
        const auto given = value();
        if (!given) return fail(name + " needs a value");
        v = *given;
      } else if (!noValue()) {
        return fail(name + " takes no value");
      }
      if (!unit.Apply(unitName, v, error)) {
        if (unitName != name && error.rfind(unitName, 0) == 0) error.replace(0, unitName.size(), name);
        return std::nullopt;
      }
      unitOption = name;
      eraseWaitsGiven = eraseWaitsGiven || name == "--erase-waits";
    } else {
      return fail("unknown option: " + arg);
    }
  }

  if (!options.device.empty() && !options.port.empty()) {
    return fail("--device and --port both choose the unit: give one of them");
  }
  if (options.list && (options.all || options.repeat)) {
    return fail("--list lists the interfaces and ends: not with --all or --repeat");
  }
  if (unitsGiven && !(emulate && (options.all || options.repeat))) {
    return fail("--units sets up the emulated bench: it needs --emulate and --all or --repeat");
  }
  if (!emulate && !unitOption.empty()) {
    return fail(unitOption + " sets up the emulated unit: it needs --emulate");
  }
  if (emulate) {
    if (!unit.Finish(options.emulator, error)) return std::nullopt;
    // Fast is tovrix-emulate's unit: no delays, the erase's reply in the
    // first wait unless --erase-waits says otherwise.
    if (options.emulation == Emulation::RealTime) {
      if (!eraseWaitsGiven) options.emulator.unit.eraseMicros = kEmulatedEraseMicros;
      options.emulator.reportMicros = kEmulatedReportMicros;
    }
  }
  return options;
}

std::string UsageText() {
  return "Usage: tovrix-flash [OPTIONS] [IMAGE]\n"
         "Writes the firmware image IMAGE (TOVRIXPRO.HEX in the current directory by\n"
         "default) into the TovrixPro unit attached in update mode, as TovrixPro Update's\n"
         "window does, from the command line.\n"
         "\n"
         "  --device PATH      update the unit at this interface path only\n"
         "  --port PORT        update the unit on this USB port only (see --list)\n"
         "  --wait[=SECONDS]   wait for a unit to be plugged in (for ever, or SECONDS)\n"
         "  --all              update every unit attached, all at once\n"
         "  --repeat           station mode: update each unit attached or plugged in,\n"
         "                     one after another (--all: every port at once), until\n"
         "                     Ctrl-C; on a terminal, standard error shows the board\n"
         "  --pack             fill each PROGRAM report up to the unit's packet size\n"
         "  --list             list every HID interface and end\n"
         "  --json             JSON Lines on standard output, one object per event\n"
         "  -q, --quiet        errors only\n"
         "  --emulate[=fast]   run against the emulated unit, in real time or without\n"
         "                     delays; with it: --memory START:END, --unit-version HEX,\n"
         "                     --caps IN,OUT,VALUES, --query HEX, --silent-query,\n"
         "                     --erase-waits N, --fail-write N, --before LIST,\n"
         "                     --after LIST, --no-unit (see tovrix-flash(1));\n"
         "                     --units N: N units on a bench (with --all or --repeat)\n"
         "  -h, --help         this text\n"
         "  --version          the program's version\n"
         "\n"
         "Standard output carries the update's log; errors go to standard error.\n"
         "Exit status: 0 the unit was updated; 1 the update failed or was refused;\n"
         "2 bad usage; 3 no unit found (or the wait timed out); 4 several units and\n"
         "none chosen; 130 interrupted (Ctrl-C stops after the report in flight).\n"
         "A station (--all, --repeat): the first Ctrl-C takes no more units and lets\n"
         "those being written finish, then 0 when no unit failed, else 1 (--all: 3\n"
         "when no unit was there, 130 when stopped before it took one); a second\n"
         "Ctrl-C interrupts them: 130. See tovrix-flash(1).\n";
}

std::string VersionText() { return std::string("tovrix-flash ") + TOVRIX_VERSION + "\n"; }

std::string WaitRanOutText(int64_t waitMs) {
  std::string seconds = std::to_string(waitMs / 1000);
  if (waitMs % 1000 != 0) {
    std::string fraction = std::to_string(1000 + waitMs % 1000).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    seconds += "." + fraction;
  }
  return "no TovrixPro was plugged in within " + seconds + " s";
}

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

namespace {

// What the choice of the unit came to.
struct Choice {
  std::optional<int> status;          // the program ends with this status now
  std::string only;                   // the session's OnlyInterface
  std::vector<ListedInterface> seen;  // the interfaces as last listed
};

// Lists the interfaces, and with --wait waits until a unit that the
// options allow is there (and can be opened, or has had kAccessGraceMs to
// become so), or the wait is over. Several such units end the program.
Choice ChooseUnit(const FlashOptions& options, FlashIo& io, HidApi& hid, Report& report,
                  const std::function<bool()>& stopRequested) {
  Choice choice;
  std::unique_ptr<InterfaceWatch> watch;
  const int64_t waitStarted = io.nowMs();
  int64_t blockedSince = -1;
  for (bool announced = false;; announced = true) {
    if (stopRequested()) {
      report.Error("Interrupted before a unit was found; nothing was changed");
      choice.status = kInterrupted;
      return choice;
    }
    choice.seen = ListInterfaces(hid, options.wait);
    const auto units = Candidates(choice.seen, options.device, options.port);
    if (units.size() > 1) {
      report.Error("Several TovrixPro units are attached: choose one with --device PATH or --port PORT");
      for (const ListedInterface& entry : units) report.Candidate(entry);
      choice.status = kSeveralUnits;
      return choice;
    }
    const int64_t now = io.nowMs();
    if (units.size() == 1) {
      if (units[0].opens) break;
      if (blockedSince < 0) blockedSince = now;
      if (now - blockedSince >= kAccessGraceMs) break;
    }
    const int64_t waited = now - waitStarted;
    if (!options.wait) break;
    if (options.waitMs >= 0 && waited >= options.waitMs) {
      if (units.empty()) report.Error(WaitRanOutText(options.waitMs));
      break;
    }
    if (!announced) report.Waiting();
    if (!watch) watch = io.makeWatch();
    int64_t slice = kWaitSliceMs;
    if (options.waitMs >= 0) slice = std::min(slice, options.waitMs - waited);
    watch->Wait(static_cast<int>(slice));
  }
  if (!options.device.empty()) {
    choice.only = options.device;
  } else if (!options.port.empty()) {
    const auto units = Candidates(choice.seen, "", options.port);
    // Nothing on that port: a path that no interface has, so that the
    // search passes every interface by and ends in the not-found block.
    choice.only = units.empty() ? "<no unit on port " + options.port + ">" : units[0].info.path;
  }
  return choice;
}

}  // namespace

int UpdateUnit(const FlashOptions& options, FlashIo& io, HidApi& hid, Report& report, const std::string& only,
               const std::vector<ListedInterface>& seen, const std::function<bool()>& stopRequested) {
  Progress progress;
  int64_t firstReportAt = -1;
  ObservedHid observed(hid);
  observed.unitSeen = [&](const std::string& path, const HidAttributes& attributes) {
    HidInterfaceInfo unit{path, {}, true, attributes};
    for (const ListedInterface& entry : seen) {
      if (entry.info.path == path) unit.port = entry.info.port;
    }
    report.Unit(unit);
  };
  // The first write that failed, and where: the session aborts on it.
  std::optional<WriteFailure> writeFailure;
  bool eraseSent = false;
  observed.written = [&](const uint8_t* sent, int32_t result) {
    const uint8_t command = sent[1];
    const bool ofTheWrite = command == PROGRAM || command == COMPLETE;
    if (result != 1) {
      if (writeFailure) return;
      using At = WriteFailure::At;
      WriteFailure failure;
      failure.at = ofTheWrite         ? At::Write
                   : command == ERASE ? At::Erase
                   : command == RESET ? At::Reset
                   : eraseSent        ? At::AfterErase
                                      : At::Query;
      failure.report = progress.reports + 1;
      failure.totalReports = progress.totalReports;
      // A result of 0 is the platform's failure without a code.
      if (result != 0) failure.code = result;
      writeFailure = failure;
      return;
    }
    eraseSent = eraseSent || command == ERASE;
    if (!ofTheWrite) return;
    const int64_t now = io.nowMs();
    if (firstReportAt < 0) firstReportAt = now;
    ++progress.reports;
    if (command == PROGRAM) progress.bytes += sent[6];
    progress.elapsedMs = now - firstReportAt;
    report.Advance(progress);
  };
  FlashShell shell(report, stopRequested, writeFailure);
  ImageSource source = options.imageNamed ? ImageSource::Named(options.image) : ImageSource(options.image);
  source.read = options.imageRead;
  UpdateSession session(shell, observed, std::move(source));
  session.hid.OnlyInterface = only;
  session.boot.Pack = options.pack;
  session.BeforeErase = [&](const WritePlan& plan) {
    progress.totalBytes = plan.bytes;
    progress.totalReports = plan.reports;
    shell.TakeStopRequest();
  };
  shell.Attach(session);
  const UpdateOutcome outcome = session.RunUpdate();
  report.EndProgress();
  shell.FinishLog();
  // The unit closed as the window's close does (once: after a stop request
  // it already is, and nothing is closed twice).
  session.Unload();

  if (shell.Interrupted()) {
    if (session.Stage() >= UpdateStage::Erase) {
      report.Error("Interrupted after " + std::to_string(progress.reports) + " of " +
                   std::to_string(progress.totalReports) +
                   " reports; the unit was erased and must be flashed again");
    } else {
      report.Error("Interrupted before ERASE; the unit was not changed");
    }
    return kInterrupted;
  }
  // Ended at once: an abort, the image's box, the refusal; each said why.
  if (outcome.ended) return kFailed;
  // The sequence returned: the unit updated, or the search's end.
  switch (session.Stage()) {
    case UpdateStage::Done:
      return kUpdated;
    case UpdateStage::NotFound:
      report.Error("Cannot find TovrixPro!");
      return kNoUnit;
    default:  // UpdateStage::NotTheUnit: the log's last line says it
      report.Error(shell.LastPiece());
      return kFailed;
  }
}

std::shared_ptr<const ImageBytes> ReadImage(const FlashOptions& options, Report& report, std::string* sha256) {
  // The default image is found whatever the case of its name.
  const std::string path = options.imageNamed ? options.image : FindDefaultImage(options.image);
  std::shared_ptr<const ImageBytes> image = ReadImageFile(path);
  if (!image->read) return image;
  const std::string digest = Sha256Hex(image->bytes);
  report.Image(path, image->size, digest);
  if (sha256) *sha256 = digest;
  return image;
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
    FlashOptions run = options;
    run.imageRead = ReadImage(options, *report);
    Choice choice;
    if (run.imageRead->read) choice = ChooseUnit(run, io, *platform.hid, *report, stopRequested);
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
