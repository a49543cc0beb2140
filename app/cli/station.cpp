// Station runs: --all and --repeat. The station's own thread
// lists the interfaces, starts an update on a thread of its own for each
// unit it takes (one HidApi and one report per unit), writes each unit's
// result when its thread ends, and keeps the ports of units that are done
// until they leave: a unit is taken again only once it has gone and come
// back. The first stop request ends the shift: no more units are taken,
// the running updates finish, and the station says how many; a second one
// reaches every running update (each closes its unit as the window's close
// does). The station then writes its summary.
#include "app/cli/station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "app/cli/output.h"
#include "app/cli/record.h"
#include "app/cli/unit_choice.h"  // WaitRanOutText
#include "app/cli/units.h"
#include "app/cli/update_unit.h"
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

// The log lines and errors of a run, kept to be told later, or not.
class Recorder final : public Report {
 public:
  void Replay(Report& report) const {
    for (const auto& [error, text] : said_) error ? report.Error(text) : report.Log(text);
  }
  void Image(std::string_view, int64_t, std::string_view, const ImageTrust&) override {}
  void Log(std::string_view line) override { said_.emplace_back(false, line); }
  void Error(std::string_view text) override { said_.emplace_back(true, text); }
  void WriteFailed(const WriteFailure& failure) override { said_.emplace_back(true, WriteFailureText(failure)); }
  void Unit(const HidInterfaceInfo&) override {}
  void Advance(const Progress&) override {}
  void EndProgress() override {}
  void Listed(const ListedInterface&) override {}
  void Candidate(const ListedInterface&) override {}
  void Waiting() override {}
  void Result(const UnitResult&) override {}
  void Stopping(int64_t, bool) override {}
  void Summary(int64_t, int64_t, const std::vector<std::string>&) override {}
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
  int64_t count = 0;  // the station's running number of it
  int status = kFailed;
  std::string reason;
  std::optional<WriteFailure> writeFailure;  // the reason, when a write failed
  UnitEnd end;
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
    // The board where standard error is a terminal that can show it.
    settings_.terminal = io.errIsTerminal && io.errSize && !options.quiet
                             ? NewBoardTerminal(*io.err, io.errSize, io.nowMs, io.outIsTerminal)
                             : NewTerminal();
    report_ = MakeReport(settings_, *io.out, *io.err);
    station_ = StationName(options, io);
    BoardStation(*settings_.terminal, station_);
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
    // The first stop request ends the shift, the second interrupts the
    // units in flight, and only a third ends the program at once.
    if (io_.takeStops) io_.takeStops(2);
    const int64_t started = io_.nowMs();
    const int status = Serve();
    report_->Done(status, static_cast<double>(io_.nowMs() - started) / 1000.0);
    return status;
  }

 private:
  int StopRequests() const { return io_.stopRequests ? io_.stopRequests() : 0; }

  // Tells once that the station stops, and once that it interrupts the
  // units in flight (when there are any).
  void SayStopping(int stops) {
    stops = std::min(stops, 2);
    if (workers_.empty() || stops <= said_) return;
    report_->Stopping(static_cast<int64_t>(workers_.size()), stops > 1);
    said_ = stops;
  }

  int Serve() {
    if (!OpenRecord(options_, io_, *report_, record_)) return kFailed;
    {
      // The image is read and checked once, before any unit is taken, and
      // every unit gets the bytes of that read, however long the station
      // runs: a session on a platform without devices checks them, then
      // finds no unit. Anything else it comes to is what every unit would
      // come to: the station says so and ends.
      const ImageRead read = ReadImage(options_, *report_);
      options_.imageRead = read.image;
      sha256_ = read.sha256;
      // An image refused (not approved, not signed) starts no station:
      // the board shows why.
      if (read.refused) {
        BoardRefused(*settings_.terminal, read.refusedBrief);
        return kFailed;
      }
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
    int stops = 0;
    for (;;) {
      Reap();
      stops = StopRequests();
      // --all without --repeat: the units present were taken, none waits for access.
      const bool allStarted = !options_.repeat && startedAny_ && pending_.empty();
      const bool takesNoMore = stops > 0 || allStarted || recordFailed_;
      if (takesNoMore) {
        if (workers_.empty()) break;
        SayStopping(stops);
      } else {
        TakeUnits(*hid);
        if (!options_.repeat && !startedAny_ && pending_.empty()) {
          const int64_t waited = io_.nowMs() - waitStarted;
          if (!options_.wait || (options_.waitMs >= 0 && waited >= options_.waitMs)) {
            if (options_.wait) report_->Error(WaitRanOutText(options_.waitMs));
            report_->Error("Cannot find TovrixPro!");
            return kNoUnit;
          }
        }
        if (workers_.empty() && !announced) {
          report_->Waiting();
          announced = true;
        }
      }
      BoardRefresh(*settings_.terminal);
      if (takesNoMore) {
        // Only the units' ends matter now: the result is written as a
        // unit ends, not at the next look at the ports.
        std::unique_lock<std::mutex> lock(endMutex_);
        ended_.wait_for(lock, std::chrono::milliseconds(kSliceMs), [this] { return AnyFinished(); });
        continue;
      }
      if (!watch) watch = newWatch_();
      watch->Wait(static_cast<int>(kSliceMs));
    }
    Reap();
    report_->Summary(updated_, failed_, failedPorts_);
    if (interrupted_ || (!options_.repeat && !startedAny_ && stops > 0)) return kInterrupted;
    // A unit updated but not recorded is a unit lost.
    return failed_ == 0 && !recordFailed_ ? kUpdated : kFailed;
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
    for (const ListedInterface& unit : units) {
      if (!Taken(unit)) BoardWaiting(*settings_.terminal, KeyOf(unit));
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
    w.count = ++taken_;
    BoardTaken(*settings_.terminal, w.key);
    ReportSettings settings = settings_;
    settings.port = w.key;
    w.thread = std::thread([this, &w, settings, listed] {
      const std::unique_ptr<Report> report = MakeReport(settings, *io_.out, *io_.err);
      ReasonKeeper keeper(*report);
      const std::unique_ptr<HidApi> hid = newHid_();
      // Only the second stop request stops the update: the first lets it finish.
      w.status = UpdateUnit(options_, io_, *hid, keeper, w.unit.info.path, listed,
                            [this] { return StopRequests() > 1; }, &w.end);
      w.reason = keeper.Reason();
      w.writeFailure = keeper.Failure();
      {
        const std::lock_guard<std::mutex> lock(endMutex_);
        w.finished = true;
      }
      ended_.notify_all();
    });
    workers_.push_back(std::move(worker));
  }

  // Under endMutex_.
  bool AnyFinished() const {
    return std::any_of(workers_.begin(), workers_.end(), [](const auto& w) { return w->finished.load(); });
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
      UnitResult result = NewResult(io_, station_, w.count, sha256_);
      result.port = w.key;
      result.path = w.unit.info.path;
      result.status = w.status;
      result.code = w.end.code;
      // A unit that left while it failed was pulled out.
      if (w.left && w.status == kFailed) result.code = FailureCode::Gone;
      result.seconds = static_cast<double>(io_.nowMs() - w.startedMs) / 1000.0;
      result.phases = w.end.phases;
      result.writeFailure = w.writeFailure;
      interrupted_ = interrupted_ || w.status == kInterrupted;
      if (w.status == kUpdated) {
        ++updated_;
      } else {
        result.reason = (w.reason.empty() ? std::string("the update failed") : w.reason) +
                        (options_.repeat ? kRetry : "");
        ++failed_;
        // A port whose units fail again is named once.
        if (std::find(failedPorts_.begin(), failedPorts_.end(), w.key) == failedPorts_.end()) {
          failedPorts_.push_back(w.key);
        }
      }
      Record(result);
      report_->Result(result);
      if (!w.left) done_.push_back(w.unit);
      it = workers_.erase(it);
    }
  }

  // The unit's event into the record file, before the station takes
  // another; once that fails, the station takes no more units, and says so.
  void Record(const UnitResult& result) {
    if (!record_) return;
    const std::string error = record_->Append(UnitEventLine(result));
    if (error.empty() || recordFailed_) return;
    recordFailed_ = true;
    const std::string text = RecordFailedText(options_.record, error);
    BoardRecordFailed(*settings_.terminal, text);
    report_->Error(text + "; the station takes no more units");
  }

  FlashOptions options_;  // with the image read at the start
  std::string sha256_;    // its digest
  std::string station_;   // the station's name
  std::unique_ptr<RecordFile> record_;  // --record
  bool recordFailed_ = false;           // it could not be written: no more units
  int64_t taken_ = 0;                   // units taken
  FlashIo& io_;
  ReportSettings settings_;
  std::unique_ptr<Report> report_;
  std::unique_ptr<emu::EmulatedBench> bench_;
  std::function<std::unique_ptr<HidApi>()> newHid_;
  std::function<std::unique_ptr<InterfaceWatch>()> newWatch_;
  std::list<std::unique_ptr<Worker>> workers_;
  std::mutex endMutex_;  // a unit's end, told to the station's thread
  std::condition_variable ended_;
  std::vector<ListedInterface> done_;         // units done and still there
  std::map<std::string, int64_t> pending_;    // units that cannot be opened yet, since when
  bool startedAny_ = false;
  int said_ = 0;              // the stop requests told (SayStopping)
  bool interrupted_ = false;  // a stop request interrupted a unit's update
  // What the station keeps of the units it took, however many: the counts,
  // and the ports where units failed.
  int64_t updated_ = 0;
  int64_t failed_ = 0;
  std::vector<std::string> failedPorts_;
};

}  // namespace

int RunStation(const FlashOptions& options, FlashIo& io) { return Station(options, io).Run(); }

}  // namespace tovrix::cli
