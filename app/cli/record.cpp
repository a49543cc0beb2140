#include "app/cli/record.h"

#include "app/version.h"  // TOVRIX_VERSION

namespace tovrix::cli {

std::string StationName(const FlashOptions& options, const FlashIo& io) {
  if (!options.station.empty()) return options.station;
  return io.hostName ? io.hostName() : std::string("localhost");
}

UnitResult NewResult(const FlashIo& io, const std::string& station, int64_t count, const std::string& sha256) {
  UnitResult result;
  result.time = Rfc3339(io.wallClock ? io.wallClock() : WallTime{});
  result.station = station;
  result.count = count;
  result.version = TOVRIX_VERSION;
  result.sha256 = sha256;
  return result;
}

bool OpenRecord(const FlashOptions& options, const FlashIo& io, Report& report, std::unique_ptr<RecordFile>& record) {
  if (options.record.empty()) return true;
  RecordOpened opened = io.openRecord ? io.openRecord(options.record) : RecordOpened{nullptr, "no record files here"};
  if (!opened.file) {
    report.Error("Cannot open the record file " + options.record + ": " + opened.error);
    return false;
  }
  record = std::move(opened.file);
  return true;
}

std::string RecordFailedText(const std::string& path, const std::string& error) {
  return "Cannot write the record file " + path + ": " + error;
}

}  // namespace tovrix::cli
