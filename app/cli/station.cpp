// Station runs: --all and --repeat (flash.h). The station's own thread
// lists the interfaces, starts an update on a thread of its own for each
// unit it takes (one HidApi and one report per unit), writes each unit's
// result when its thread ends, and keeps the ports of units that are done
// until they leave: a unit is taken again only once it has gone and come
// back. A stop request reaches every running update (each closes its unit
// as the window's close does); the station then writes its summary.
#include <algorithm>
#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "app/cli/flash.h"
#include "app/cli/output.h"
#include "app/cli/units.h"
#include "emulator/bench.h"
#include "hid/platform.h"

namespace tovrix::cli {
namespace {

// Between two lists of the interfaces: the longest a unit's end, a stop
// request or a missed hotplug event can go unseen.
constexpr int64_t kSliceMs = 250;
// A unit that cannot be opened yet: udev gives the user access a moment
// after the kernel makes the node.
constexpr int64_t kAccessGraceMs = 3000;
// The emulated bench with --repeat: a fresh unit on a port this long after
// the last one left.
constexpr int64_t kEmulatedReplugMicros = 2'000'000;
constexpr const char* kRetry = "; plug it in again to retry";

// The unit's report, passed through, keeping the first error: the reason
// of its result.
class ReasonKeeper final : public Report {
 public:
  explicit ReasonKeeper(Report& inner) : inner_(inner) {}
  const std::string& Reason() const { return reason_; }

  void Log(std::string_view line) override { inner_.Log(line); }
  void Error(std::string_view text) override {
    if (reason_.empty()) reason_ = text;
    inner_.Error(text);
  }
  void Unit(const HidInterfaceInfo& unit) override { inner_.Unit(unit); }
  void Advance(const Progress& progress) override { inner_.Advance(progress); }
  void EndProgress() override { inner_.EndProgress(); }
  void Listed(const ListedInterface& entry) override { inner_.Listed(entry); }
  void Candidate(const ListedInterface& entry) override { inner_.Candidate(entry); }
  void Waiting() override { inner_.Waiting(); }
  void Result(const UnitResult& result) override { inner_.Result(result); }
  void Summary(int updated, const std::vector<std::string>& failed) override { inner_.Summary(updated, failed); }
  void Done(int status, double seconds) override { inner_.Done(status, seconds); }

 private:
  Report& inner_;
  std::string reason_;
};

// The log lines and errors of a run, kept to be told later, or not.
class Recorder final : public Report {
 public:
  void Replay(Report& report) const {
    for (const auto& [error, text] : said_) error ? report.Error(text) : report.Log(text);
  }
  void Log(std::string_view line) override { said_.emplace_back(false, line); }
  void Error(std::string_view text) override { said_.emplace_back(true, text); }
  void Unit(const HidInterfaceInfo&) override {}
  void Advance(const Progress&) override {}
  void EndProgress() override {}
  void Listed(const ListedInterface&) override {}
  void Candidate(const ListedInterface&) override {}
  void Waiting() override {}
  void Result(const UnitResult&) override {}
  void Summary(int, const std::vector<std::string>&) override {}
  void Done(int, double) override {}

 private:
  std::vector<std::pair<bool, std::string>> said_;
};

// One unit's update on its own thread.
struct Worker {
  ListedInterface unit;
  std::string key;  // its port, or its path where the port is unknown
  int64_t startedMs = 0;
  std::thread thread;
  std::atomic<bool> finished{false};
  int status = kFailed;
  std::string reason;
  bool left = false;  // its unit was listed no more before its update ended
};

std::string KeyOf(const ListedInterface& unit) {
  return unit.info.port.empty() ? unit.info.path : unit.info.port;
}

// Whether a listed unit is the one that was taken on that port or at that
// path. Both count: while a unit is pulled out its node can still be
// listed a moment without its port.
bool SameUnit(const ListedInterface& listed, const ListedInterface& taken) {
  return listed.info.path == taken.info.path ||
         (!listed.info.port.empty() && listed.info.port == taken.info.port);
}

class Station {
 public:
  Station(const FlashOptions& options, FlashIo& io) : options_(options), io_(io) {
    settings_.json = options.json;
    settings_.quiet = options.quiet;
    settings_.errIsTerminal = io.errIsTerminal;
    settings_.nowMs = io.nowMs;
    settings_.terminal = NewTerminal();
    report_ = MakeReport(settings_, *io.out, *io.err);
    newHid_ = io.makeHid;
    newWatch_ = io.makeWatch;
    if (options.emulation != Emulation::None) {
      emu::BenchSettings bench;
      bench.ports = options.units;
      bench.realTime = options.emulation == Emulation::RealTime;
      if (options.repeat) bench.replugMicros = kEmulatedReplugMicros;
      if (!options.emulator.unitPresent) bench.pluggedAtStart = false;
      bench.plan = [unit = options.emulator](int, int) { return emu::UnitPlan{unit, 0}; };
      bench_ = std::make_unique<emu::EmulatedBench>(std::move(bench));
      newHid_ = [this] { return bench_->NewView(); };
      newWatch_ = [this] { return bench_->NewWatch(); };
    }
  }

  int Run() {
    const int64_t started = io_.nowMs();
    const int status = Serve();
    report_->Done(status, static_cast<double>(io_.nowMs() - started) / 1000.0);
    return status;
  }

 private:
  bool StopRequested() const { return io_.stopRequested && io_.stopRequested(); }

  int Serve() {
    {
      // The image is checked once, before any unit is taken: a session on
      // a platform without devices reads and checks it, then finds no
      // unit. Anything else it comes to is what every unit would come to:
      // the station says so and ends.
      NoDevicesHidApi none;
      Recorder check;
      const int status = UpdateUnit(options_, io_, none, check, "", {}, [] { return false; });
      if (status != kNoUnit) {
        check.Replay(*report_);
        return status;
      }
    }
    const std::unique_ptr<HidApi> hid = newHid_();
    std::unique_ptr<InterfaceWatch> watch;
    const int64_t waitStarted = io_.nowMs();
    bool announced = false;
    for (;;) {
      Reap();
      // --all without --repeat: the units present were taken, none waits for access.
      const bool allStarted = !options_.repeat && startedAny_ && pending_.empty();
      if (StopRequested() || allStarted) {
        if (workers_.empty()) break;
      } else {
        TakeUnits(*hid);
        if (!options_.repeat && !startedAny_ && pending_.empty()) {
          const int64_t waited = io_.nowMs() - waitStarted;
          if (!options_.wait || (options_.waitMs >= 0 && waited >= options_.waitMs)) {
            report_->Error("Cannot find TovrixPro!");
            return kNoUnit;
          }
        }
        if (workers_.empty() && !announced) {
          report_->Waiting();
          announced = true;
        }
      }
      if (!watch) watch = newWatch_();
      watch->Wait(static_cast<int>(kSliceMs));
    }
    Reap();
    report_->Summary(updated_, failedPorts_);
    if (!options_.repeat && StopRequested()) return kInterrupted;
    return failedPorts_.empty() ? kUpdated : kFailed;
  }

  // Starts an update for each unit the station may take now.
  void TakeUnits(HidApi& hid) {
    const std::vector<ListedInterface> listed = ListInterfaces(hid, false);
    const std::vector<ListedInterface> units = Candidates(listed, options_.device, options_.port);
    std::set<std::string> present;
    for (const ListedInterface& unit : units) present.insert(KeyOf(unit));
    // Units that were done and have left: their ports are free again.
    const auto gone = [&](const ListedInterface& taken) {
      return std::none_of(units.begin(), units.end(), [&](const auto& unit) { return SameUnit(unit, taken); });
    };
    std::erase_if(done_, gone);
    // ... and so are those that leave while their update is still ending.
    for (const auto& worker : workers_) worker->left = worker->left || gone(worker->unit);
    for (auto it = pending_.begin(); it != pending_.end();) {
      it = present.count(it->first) ? std::next(it) : pending_.erase(it);
    }
    for (ListedInterface unit : units) {
      const std::string key = KeyOf(unit);
      if (Taken(unit)) continue;
      if (!options_.all && !workers_.empty()) break;
      TryOpen(hid, unit);
      if (!unit.opens) {
        const int64_t now = io_.nowMs();
        const auto first = pending_.emplace(key, now).first;
        if (now - first->second < kAccessGraceMs) continue;
      }
      pending_.erase(key);
      Start(unit, listed);
      startedAny_ = true;
    }
  }

  // Whether unit is being updated, or was and has not left yet.
  bool Taken(const ListedInterface& unit) const {
    for (const auto& worker : workers_) {
      if (SameUnit(unit, worker->unit)) return true;
    }
    return std::any_of(done_.begin(), done_.end(), [&](const auto& taken) { return SameUnit(unit, taken); });
  }

  void Start(const ListedInterface& unit, const std::vector<ListedInterface>& listed) {
    auto worker = std::make_unique<Worker>();
    Worker& w = *worker;
    w.unit = unit;
    w.key = KeyOf(unit);
    w.startedMs = io_.nowMs();
    ReportSettings settings = settings_;
    settings.port = w.key;
    w.thread = std::thread([this, &w, settings, listed] {
      const std::unique_ptr<Report> report = MakeReport(settings, *io_.out, *io_.err);
      ReasonKeeper keeper(*report);
      const std::unique_ptr<HidApi> hid = newHid_();
      w.status = UpdateUnit(options_, io_, *hid, keeper, w.unit.info.path, listed, [this] { return StopRequested(); });
      w.reason = keeper.Reason();
      w.finished = true;
    });
    workers_.push_back(std::move(worker));
  }

  // Writes the result of each unit whose update ended.
  void Reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
      Worker& w = **it;
      if (!w.finished) {
        ++it;
        continue;
      }
      w.thread.join();
      UnitResult result;
      result.time = io_.localTime ? io_.localTime() : std::string();
      result.port = w.key;
      result.path = w.unit.info.path;
      result.status = w.status;
      result.seconds = static_cast<double>(io_.nowMs() - w.startedMs) / 1000.0;
      if (w.status == kUpdated) {
        ++updated_;
      } else {
        result.reason = (w.reason.empty() ? std::string("the update failed") : w.reason) +
                        (options_.repeat ? kRetry : "");
        failedPorts_.push_back(w.key);
      }
      report_->Result(result);
      if (!w.left) done_.push_back(w.unit);
      it = workers_.erase(it);
    }
  }

  const FlashOptions& options_;
  FlashIo& io_;
  ReportSettings settings_;
  std::unique_ptr<Report> report_;
  std::unique_ptr<emu::EmulatedBench> bench_;
  std::function<std::unique_ptr<HidApi>()> newHid_;
  std::function<std::unique_ptr<InterfaceWatch>()> newWatch_;
  std::list<std::unique_ptr<Worker>> workers_;
  std::vector<ListedInterface> done_;         // units done and still there
  std::map<std::string, int64_t> pending_;    // units that cannot be opened yet, since when
  bool startedAny_ = false;
  int updated_ = 0;
  std::vector<std::string> failedPorts_;
};

}  // namespace

int RunStation(const FlashOptions& options, FlashIo& io) { return Station(options, io).Run(); }

}  // namespace tovrix::cli
