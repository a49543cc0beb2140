#include "app/cli/output.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/cli/json_report.h"
#include "app/cli/text_report.h"

namespace tovrix::cli {
namespace {

std::string Duration(int64_t ms) {
  const int64_t seconds = ms / 1000;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

}  // namespace

std::string Rfc3339(const WallTime& time) {
  using namespace std::chrono;
  const sys_time<milliseconds> local{milliseconds(time.unixMs + int64_t{time.offsetMinutes} * 60'000)};
  const sys_days day = floor<days>(local);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> clock{local - day};
  const int offset = std::abs(time.offsetMinutes);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d%c%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()),
                time.offsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return text;
}

std::string_view FailureCodeWord(FailureCode code) {
  switch (code) {
    case FailureCode::None: return "";
    case FailureCode::ImageRefused: return "image-refused";
    case FailureCode::NotFound: return "not-found";
    case FailureCode::NotAUnit: return "not-a-unit";
    case FailureCode::QueryFailed: return "query-failed";
    case FailureCode::NoReply: return "no-reply";
    case FailureCode::QueryRefused: return "query-refused";
    case FailureCode::EraseFailed: return "erase-failed";
    case FailureCode::EraseNoReply: return "erase-no-reply";
    case FailureCode::WriteFailed: return "write-failed";
    case FailureCode::ResetFailed: return "reset-failed";
    case FailureCode::Gone: return "gone";
    case FailureCode::Interrupted: return "interrupted";
    case FailureCode::Failed: return "failed";
  }
  return "failed";
}

int Progress::Percent() const {
  if (totalBytes > 0) return static_cast<int>(std::min<int64_t>(bytes * 100 / totalBytes, 100));
  if (totalReports > 0) return static_cast<int>(std::min<int64_t>(reports * 100 / totalReports, 100));
  return 100;
}

std::string WriteFailureText(const WriteFailure& failure) {
  using At = WriteFailure::At;
  const std::string total = std::to_string(failure.totalReports);
  std::string where;
  switch (failure.at) {
    case At::Query: where = "at QUERY, before ERASE"; break;
    case At::Erase: where = "at ERASE"; break;
    case At::AfterErase: where = "at the QUERY after ERASE, before the first of " + total + " reports"; break;
    case At::Write: where = "at report " + std::to_string(failure.report) + " of " + total; break;
    case At::Reset: where = "at RESET, after all " + total + " reports"; break;
  }
  const std::string meaning = failure.at == At::Query   ? "the unit was not changed"
                              : failure.at == At::Erase ? "the unit may have been erased and must be flashed again"
                                                        : "the unit was erased and must be flashed again";
  const std::string code = failure.code ? "(code=" + std::to_string(*failure.code) + ")" : "(no error code given)";
  return "Write Failure " + code + " " + where + "; " + meaning;
}

std::string WriteFailureBrief(const WriteFailure& failure) {
  using At = WriteFailure::At;
  std::string where;
  switch (failure.at) {
    case At::Query: where = "QUERY"; break;
    case At::Erase: where = "ERASE"; break;
    case At::AfterErase: where = "QUERY after ERASE"; break;
    case At::Write:
      where = "report " + std::to_string(failure.report) + " of " + std::to_string(failure.totalReports);
      break;
    case At::Reset: where = "RESET"; break;
  }
  const std::string meaning = failure.at == At::Query   ? "not changed"
                              : failure.at == At::Erase ? "may be erased, flash again"
                                                        : "erased, flash again";
  const std::string code = failure.code ? "(code=" + std::to_string(*failure.code) + ")" : "(no code)";
  return where + " failed " + code + ": " + meaning;
}

std::string ProgressText(const Progress& progress) {
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", progress.Percent());
  std::string text = std::string(percent) + "  " + std::to_string(progress.bytes) +
                     " of " + std::to_string(progress.totalBytes) + " bytes  " +
                     std::to_string(progress.reports) + " of " +
                     std::to_string(progress.totalReports) + " reports  " +
                     Duration(progress.elapsedMs) + " elapsed  ";
  if (progress.reports > 0 && progress.totalReports >= progress.reports) {
    text += Duration(progress.elapsedMs * (progress.totalReports - progress.reports) / progress.reports);
  } else {
    text += "?";
  }
  return text + " left";
}

std::unique_ptr<Report> MakeReport(const ReportSettings& settings, std::ostream& out,
                                   std::ostream& err) {
  if (settings.json) return MakeJsonReport(settings, out);
  return MakeTextReport(settings, out, err);
}

}  // namespace tovrix::cli
