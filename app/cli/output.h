// What tovrix-flash tells, in its three forms.
//
// Text (the default): standard output carries the log exactly as the
// window's log would hold it, one complete line at a time, and nothing
// else; every box and every error of the program goes to standard error as
// "tovrix-flash: TEXT" (within 80 columns, see PeopleLines); before the
// first unit standard error also states the image ("Image PATH: N bytes,
// SHA-256 HEX", then ", approved" and ", signed by key ID, trusted
// comment: TEXT" where the run checks those). When standard error is a terminal, one progress line
// lives there while the image is written (ProgressLine), wiped before any
// other output. Quiet: the errors alone. Every line of text, the board's
// too, goes out through TerminalText (messages.h): a control character in a
// path, a port or a reason is shown escaped, never sent to the terminal.
//
// JSON Lines (--json): one object per event on standard output, and nothing
// else there:
//   {"event":"image","path":P,"bytes":N,"sha256":H}  before the first log event
//     ... with "approved":B (--sha256, --approved), and "key_id":K,
//     "trusted_comment":C once a signature verified (--key)
//   {"event":"log","text":T}
//   {"event":"progress","percent":P,"bytes":B,"total":N,"reports":R,"total_reports":M}
//   {"event":"error","text":T}
//   {"event":"error","text":T,"report":N,"total_reports":M,"code":C}   a write that failed
//   {"event":"device","path":P,"port":Q,"vid":"04D8","pid":"003C","version":"0102", ...}
//   {"event":"unit","time":"2026-12-07T13:45:02.120+01:00","station":N,"count":C,"version":V,"port":Q,
//    "path":P,"sha256":H,"result":"ok","status":0,"seconds":X,"phases":{"check":MS,...}}
//   {"event":"unit",...,"result":"failed","code":W,"reason":T,"status":S,...}  (UnitEventLine)
//   {"event":"stopping","finishing":N}            a station stopped: N units finish
//   {"event":"summary","updated":N,"failed":M,"failed_ports":[Q,...]}
//   {"event":"done","status":S,"seconds":X}       always the last
// With --quiet only the image, error, unit, stopping and summary events
// and done.
//
// Station runs (--all, --repeat) update several units, each on a thread of
// its own, with one report per unit (ReportSettings::port) and all of them
// sharing one Terminal. Each line of a unit carries its port: "[PORT] LINE"
// in text, "port":PORT after "event" in JSON (the device event has its
// port already). A unit's end is one result
// line (UnitResultLine) and the station's end "Summary: N updated, M failed"
// (then ": PORT, PORT", each port where a unit failed once, when M > 0);
// both on standard output, --quiet or not. The progress line shows every
// unit being written: "[PORT] NN%"; where standard error can show the
// station's board (board.h), the board takes the place of the progress
// line and of the waiting note. A station stopped (its first stop request)
// says once how many units finish: on the board, or else on standard
// error ("stopping: 2 units finishing, Ctrl-C again to interrupt them").
//
// The forms are text_report.cpp and json_report.cpp; what their units share
// on the console, console.h.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/board.h"
#include "app/cli/json.h"          // JsonString
#include "app/cli/people_lines.h"  // PeopleLines, kPeopleColumns
#include "app/cli/units.h"

namespace tovrix::cli {

// How far the write has come.
struct Progress {
  int64_t bytes = 0;         // data bytes sent in PROGRAM reports
  int64_t totalBytes = 0;    // ... of those the image has inside the unit's memory
  int64_t reports = 0;       // PROGRAM and COMPLETE reports sent
  int64_t totalReports = 0;  // ... of those the write takes
  int64_t elapsedMs = 0;     // since the first of them

  // The share done, 0 to 100: by bytes, or by reports for a write without data.
  int Percent() const;
};

// The progress line: "45%  21504 of 48128 bytes  384 of 860 reports  0:01
// elapsed  0:02 left" (the time left is "?" before the first report).
std::string ProgressText(const Progress& progress);

// A report that the platform did not take, and where in the update: what
// it means for the unit follows from that.
struct WriteFailure {
  enum class At {
    Query,       // the first QUERY: the unit was not changed
    Erase,       // ERASE itself: the unit may have been erased
    AfterErase,  // the QUERY after ERASE: the unit was erased
    Write,       // a PROGRAM or COMPLETE report of the write
    Reset,       // RESET, after the whole write
  };
  At at = At::Write;
  int64_t report = 0;        // At::Write: the failed report's number, from 1
  int64_t totalReports = 0;  // the write's PROGRAM and COMPLETE reports
  // The platform's code; none where the platform gives none (its result
  // is then 0, as on Windows and in a browser).
  std::optional<int32_t> code;
};

// For standard error and the result line: "Write Failure (code=-19) at
// report 40 of 2561; the unit was erased and must be flashed again", or
// "Write Failure (no error code given) at ...".
std::string WriteFailureText(const WriteFailure& failure);
// For the board: "report 40 of 2561 failed (code=-19): erased, flash again".
std::string WriteFailureBrief(const WriteFailure& failure);

// A moment on the wall clock: milliseconds since 1970-01-01 00:00 UTC, and
// the local zone's offset from UTC then, in minutes (east positive).
struct WallTime {
  int64_t unixMs = 0;
  int offsetMinutes = 0;
};

// The moment in RFC 3339 with milliseconds and the zone's offset:
// "2026-12-08T04:56:32.120+01:00" (UTC is "+00:00").
std::string Rfc3339(const WallTime& time);

// How long each phase of a unit's update took, in milliseconds; none for a
// phase the update did not reach. check: from the start to ERASE (the
// image's check, the search, QUERY and its reply); erase: ERASE to the
// first report of the write; write: that to RESET; reset: RESET to the
// unit's close.
struct Phases {
  std::optional<int64_t> check, erase, write, reset;
};

// Why a unit's update failed, as a stable word for the record: what a
// line counts and sorts by. They are published (docs/json-events.md, the
// manual): never change or reuse one, only add.
enum class FailureCode {
  None,          // updated
  ImageRefused,  // the image was refused: unreadable, malformed, or nothing inside the unit's memory
  NotFound,      // the unit could not be found or opened at its place
  NotAUnit,      // the device is not a real TovrixPro (its capabilities)
  QueryFailed,   // the QUERY report was not taken
  NoReply,       // no reply to QUERY
  QueryRefused,  // the QUERY reply was refused
  EraseFailed,   // the ERASE report, or the QUERY after it, was not taken
  EraseNoReply,  // no reply after ERASE
  WriteFailed,   // a report of the write was not taken
  ResetFailed,   // the RESET report was not taken
  Gone,          // the unit went away (pulled out) during its update
  Interrupted,   // stopped by a stop request
  Failed,        // another failure
};

// The word: "image-refused", "no-reply", ...; empty for None.
std::string_view FailureCodeWord(FailureCode code);

// How one unit's update ended, as the record keeps it: the unit event and
// the result line.
struct UnitResult {
  std::string time;     // its end, in RFC 3339 (Rfc3339)
  std::string station;  // the station's name
  int64_t count = 0;    // the station's running number of the unit, from 1
  std::string version;  // the tool's
  std::string port;     // its port, or its path where the port is unknown
  std::string path;
  int status = 0;      // as the program's exit status for that unit alone
  FailureCode code = FailureCode::None;
  std::string reason;  // why it failed (empty when updated)
  std::optional<WriteFailure> writeFailure;  // the reason, when it is a write that failed
  double seconds = 0;
  Phases phases;
  std::string sha256;  // the image written (or meant to be)
};

// The unit event as one JSON line, without its line end: what --json
// writes and what the record file keeps.
std::string UnitEventLine(const UnitResult& result);
// The result line: "TIME  STATION  COUNT  PORT  ok  S.S s  ..." (text_report.cpp).
std::string UnitResultLine(const UnitResult& result);

// What the reports of a station's units share: the lock of the streams and
// the progress line (console.h). Each report without one has one of its own.
struct Terminal;
std::shared_ptr<Terminal> NewTerminal();
// ... with the station's board (board.h) on err, a terminal of size (read
// at each draw); outIsTerminal: standard output goes to that terminal too,
// so that its lines take the board away for a moment.
std::shared_ptr<Terminal> NewBoardTerminal(std::ostream& err, std::function<TerminalSize()> size,
                                           std::function<int64_t()> nowMs, bool outIsTerminal);
// The station's news for the board: a unit waits on port, or was taken
// there; and a chance to draw what changed since the last draw. Nothing
// without a board. (How units advance and end, the reports tell it.)
void BoardWaiting(Terminal& terminal, const std::string& port);
void BoardTaken(Terminal& terminal, const std::string& port);
// The image was refused (why: in short): the station takes no unit.
void BoardRefused(Terminal& terminal, const std::string& why);
void BoardRefresh(Terminal& terminal);
// The station's name, shown on the board's first line.
void BoardStation(Terminal& terminal, const std::string& station);
// The record can no longer be written: the board says so (text, the
// reason) under the units, and the station takes no more.
void BoardRecordFailed(Terminal& terminal, const std::string& text);

// What the run found of the image's trust, where it asked.
struct ImageTrust {
  std::optional<bool> approved;  // its digest among the approved (--sha256, --approved)
  std::string keyId;             // the key whose signature verified (--key), or empty
  std::string trustedComment;    // ... and the signature's trusted comment
};

class Report {
 public:
  virtual ~Report() = default;
  // The image read, before the first unit: its path as given, its size, its
  // SHA-256 and, where the run checks them, its approval and signature.
  virtual void Image(std::string_view path, int64_t bytes, std::string_view sha256, const ImageTrust& trust) = 0;
  // A complete line of the log.
  virtual void Log(std::string_view line) = 0;
  // A box, or an error of the program itself.
  virtual void Error(std::string_view text) = 0;
  // A write that failed, told in place of the log's "Write Failure (code=N)"
  // (standard output's log keeps that line).
  virtual void WriteFailed(const WriteFailure& failure) = 0;
  // The unit the update opened (JSON only).
  virtual void Unit(const HidInterfaceInfo& unit) = 0;
  // The write moved on. Called for every report: the forms choose when to show it.
  virtual void Advance(const Progress& progress) = 0;
  // The write is over (or ended): the progress line goes.
  virtual void EndProgress() = 0;
  // One interface of --list.
  virtual void Listed(const ListedInterface& entry) = 0;
  // One of several units attached when none was chosen.
  virtual void Candidate(const ListedInterface& entry) = 0;
  // The program waits for a unit to be plugged in (only people see it).
  virtual void Waiting() = 0;
  // A unit of a station run ended.
  virtual void Result(const UnitResult& result) = 0;
  // The station was asked to stop, and finishing units are still being
  // written: it takes no more (interrupt: a second request, which stops
  // those too).
  virtual void Stopping(int64_t finishing, bool interrupt) = 0;
  // The station's count: units updated and failed, and the ports where
  // units failed, each once.
  virtual void Summary(int64_t updated, int64_t failed, const std::vector<std::string>& failedPorts) = 0;
  // The last word.
  virtual void Done(int status, double seconds) = 0;
};

struct ReportSettings {
  bool json = false;
  bool quiet = false;
  bool errIsTerminal = false;        // the progress line and the waiting note
  std::function<int64_t()> nowMs;    // a steady clock, for the progress line's pace
  std::string port;                  // station runs: the unit's port, on each of its lines
  std::shared_ptr<Terminal> terminal;  // station runs: shared by every unit's report
};

std::unique_ptr<Report> MakeReport(const ReportSettings& settings, std::ostream& out,
                                   std::ostream& err);

}  // namespace tovrix::cli
