// Each unit's record: its result with the station's name, its running
// number, the tool's version and the time (UnitResult), and the record file
// that --record appends it to (system.h: RecordFile).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/flash_io.h"
#include "app/cli/output.h"
#include "app/cli/system.h"

namespace tovrix::cli {

// The station's name: --station's, or the host's.
std::string StationName(const FlashOptions& options, const FlashIo& io);

// A unit's result as it ends now: its time (io's wall clock), station,
// count, the tool's version and the image's sha256; the rest is the unit's.
UnitResult NewResult(const FlashIo& io, const std::string& station, int64_t count, const std::string& sha256);

// Opens --record's file into record (nothing without --record); false when
// it cannot be opened, after the report said why.
bool OpenRecord(const FlashOptions& options, const FlashIo& io, Report& report, std::unique_ptr<RecordFile>& record);

// The unit's report, passed through, keeping the first error: the reason
// of its result.
class ReasonKeeper final : public Report {
 public:
  explicit ReasonKeeper(Report& inner) : inner_(inner) {}
  const std::string& Reason() const { return reason_; }

  void Image(std::string_view path, int64_t bytes, std::string_view sha256, const ImageTrust& trust) override {
    inner_.Image(path, bytes, sha256, trust);
  }
  void Log(std::string_view line) override { inner_.Log(line); }
  const std::optional<WriteFailure>& Failure() const { return failure_; }

  void Error(std::string_view text) override {
    if (reason_.empty()) reason_ = text;
    inner_.Error(text);
  }
  void WriteFailed(const WriteFailure& failure) override {
    if (reason_.empty()) {
      reason_ = WriteFailureText(failure);
      failure_ = failure;
    }
    inner_.WriteFailed(failure);
  }
  void Unit(const HidInterfaceInfo& unit) override { inner_.Unit(unit); }
  void Advance(const Progress& progress) override { inner_.Advance(progress); }
  void EndProgress() override { inner_.EndProgress(); }
  void Listed(const ListedInterface& entry) override { inner_.Listed(entry); }
  void Candidate(const ListedInterface& entry) override { inner_.Candidate(entry); }
  void Waiting() override { inner_.Waiting(); }
  void Result(const UnitResult& result) override { inner_.Result(result); }
  void Stopping(int64_t finishing, bool interrupt) override { inner_.Stopping(finishing, interrupt); }
  void Summary(int64_t updated, int64_t failed, const std::vector<std::string>& ports) override {
    inner_.Summary(updated, failed, ports);
  }
  void Done(int status, double seconds) override { inner_.Done(status, seconds); }

 private:
  Report& inner_;
  std::string reason_;
  std::optional<WriteFailure> failure_;
};

// "Cannot write the record file FILE: REASON".
std::string RecordFailedText(const std::string& path, const std::string& error);

}  // namespace tovrix::cli
