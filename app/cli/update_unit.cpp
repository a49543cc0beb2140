#include "app/cli/update_unit.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <string_view>

#include "app/cli/image_check.h"
#include "app/cli/sha256.h"
#include "app/update.h"
#include "hid/pass_through.h"
#include "hid/unit_identity.h"
#include "messages/messages.h"
#include "protocol/protocol.h"

namespace tovrix::cli {
namespace {

// The platform's HID operations, passed through, telling the program which
// unit the search takes and every report written, with the result.
class ObservedHid final : public PassThroughHid {
 public:
  std::function<void(const std::string& path, const HidAttributes&)> unitSeen;
  std::function<void(const SentCommand& command, int32_t result)> written;
  bool lastReadAnswered = false;  // the last wait for a reply got one

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
    if (const std::optional<SentCommand> command = ReadOutputReport(report, length); command && written) {
      written(*command, result);
    }
    return result;
  }
  int32_t WaitRead(HidHandle reading, int timeoutMs) override {
    const int32_t result = inner_.WaitRead(reading, timeoutMs);
    lastReadAnswered = result == kWaitReady;
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

// The failure's code, from where the update ended: its status, the stage
// it came to, the report that was not taken, whether the last wait for a
// reply got one, and whether the unit is still there.
FailureCode CodeOf(int status, UpdateStage stage, const std::optional<WriteFailure>& failure, bool answered,
                   bool gone) {
  using At = WriteFailure::At;
  if (status == kUpdated) return FailureCode::None;
  if (status == kInterrupted) return FailureCode::Interrupted;
  if (status == kNoUnit) return FailureCode::NotFound;
  if (stage == UpdateStage::Image || stage == UpdateStage::Refused) return FailureCode::ImageRefused;
  if (stage == UpdateStage::NotTheUnit) return FailureCode::NotAUnit;
  if (failure) {
    if (gone) return FailureCode::Gone;
    switch (failure->at) {
      case At::Query: return FailureCode::QueryFailed;
      case At::Erase:
      case At::AfterErase: return FailureCode::EraseFailed;
      case At::Write: return FailureCode::WriteFailed;
      case At::Reset: return FailureCode::ResetFailed;
    }
  }
  if (stage == UpdateStage::Check) return gone ? FailureCode::Gone : answered ? FailureCode::QueryRefused : FailureCode::NoReply;
  if (stage == UpdateStage::Erase) return gone ? FailureCode::Gone : FailureCode::EraseNoReply;
  return FailureCode::Failed;
}

int Ended(FlashShell& shell, const UpdateOutcome& outcome, const UpdateSession& session, const Progress& progress,
          Report& report);

}  // namespace

int UpdateUnit(const FlashOptions& options, FlashIo& io, HidApi& hid, Report& report, const std::string& only,
               const std::vector<ListedInterface>& seen, const std::function<bool()>& stopRequested,
               UnitEnd* end) {
  Progress progress;
  int64_t firstReportAt = -1;
  // When each phase began (-1: not reached).
  const int64_t startedAt = io.nowMs();
  int64_t eraseAt = -1, writeAt = -1, resetAt = -1;
  std::string unitPath;
  ObservedHid observed(hid);
  observed.unitSeen = [&](const std::string& path, const HidAttributes& attributes) {
    unitPath = path;
    HidInterfaceInfo unit{path, {}, true, attributes};
    for (const ListedInterface& entry : seen) {
      if (entry.info.path == path) unit.port = entry.info.port;
    }
    report.Unit(unit);
  };
  // The first write that failed, and where: the session aborts on it.
  std::optional<WriteFailure> writeFailure;
  bool eraseSent = false;
  observed.written = [&](const SentCommand& sent, int32_t result) {
    const uint8_t command = sent.code;
    const bool ofTheWrite = command == PROGRAM || command == COMPLETE;
    if (command == ERASE && eraseAt < 0) eraseAt = io.nowMs();
    if (ofTheWrite && writeAt < 0) writeAt = io.nowMs();
    if (command == RESET && resetAt < 0) resetAt = io.nowMs();
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
    progress.bytes += sent.dataBytes;
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
  const int status = Ended(shell, outcome, session, progress, report);
  if (end) {
    const int64_t endedAt = io.nowMs();
    // A unit that failed and is no longer listed was pulled out; so was
    // one whose node is listed a moment longer without the port it had.
    bool gone = false;
    if (status == kFailed && !unitPath.empty()) {
      bool hadPort = false;
      for (const ListedInterface& entry : seen) hadPort = hadPort || (entry.info.path == unitPath && !entry.info.port.empty());
      const std::vector<HidInterfaceInfo> listed = hid.DescribeInterfaces();
      const auto it = std::find_if(listed.begin(), listed.end(), [&](const auto& info) { return info.path == unitPath; });
      gone = it == listed.end() || (hadPort && it->port.empty());
    }
    end->code = CodeOf(status, session.Stage(), writeFailure, observed.lastReadAnswered, gone);
    end->path = unitPath;
    const auto span = [&](int64_t from, std::initializer_list<int64_t> next) -> std::optional<int64_t> {
      if (from < 0) return std::nullopt;
      for (const int64_t to : next) {
        if (to >= 0) return to - from;
      }
      return endedAt - from;
    };
    end->phases.check = span(startedAt, {eraseAt, writeAt, resetAt});
    end->phases.erase = span(eraseAt, {writeAt, resetAt});
    end->phases.write = span(writeAt, {resetAt});
    end->phases.reset = span(resetAt, {});
  }
  return status;
}

namespace {

// The status of a session that ran, told where the session did not say it.
int Ended(FlashShell& shell, const UpdateOutcome& outcome, const UpdateSession& session, const Progress& progress,
          Report& report) {
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

}  // namespace

ImageRead ReadImage(const FlashOptions& options, Report& report) {
  // The default image is found whatever the case of its name.
  const std::string path = options.imageNamed ? options.image : FindDefaultImage(options.image);
  ImageRead read;
  read.image = ReadImageFile(path);
  if (!read.image->read) return read;
  read.sha256 = Sha256Hex(read.image->bytes);
  // The bytes checked are those read, and those written.
  const ImageCheck check = CheckImage(options, path, read.image->bytes, read.sha256);
  report.Image(path, read.image->size, read.sha256, check.trust);
  if (check.refused) {
    report.Error(check.reason);
    read.refused = true;
    read.refusedBrief = check.brief;
  }
  return read;
}

}  // namespace tovrix::cli
