#include "app/cli/json_report.h"

#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>

#include "app/cli/console.h"
#include "app/cli/json.h"

namespace tovrix::cli {
namespace {

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// The fields of a device event after "event" and "path".
std::string DeviceFields(const HidInterfaceInfo& info) {
  std::string fields = ",\"port\":" + (info.port.empty() ? std::string("null") : JsonString(info.port));
  if (info.identified) {
    fields += ",\"vid\":\"" + Hex4(info.attributes.VendorID) + "\",\"pid\":\"" +
              Hex4(info.attributes.ProductID) + "\",\"version\":\"" +
              Hex4(info.attributes.VersionNumber) + "\"";
  } else {
    fields += ",\"vid\":null,\"pid\":null,\"version\":null";
  }
  return fields;
}

std::string ListedFields(const ListedInterface& entry) {
  std::string fields = ",\"path\":" + JsonString(entry.info.path) + DeviceFields(entry.info) +
                       ",\"unit\":" + (entry.unit ? "true" : "false");
  if (entry.unit) {
    fields += std::string(",\"opens\":") + (entry.opens ? "true" : "false");
    if (!entry.opens) {
      fields += ",\"problem\":" + JsonString(entry.reason) + ",\"fix\":" + JsonString(entry.fix);
    }
  }
  return fields;
}

// The error event's fields of a write that failed, after its text.
std::string WriteFailureFields(const WriteFailure& failure) {
  return std::string(",\"report\":") +
         (failure.at == WriteFailure::At::Write ? std::to_string(failure.report) : std::string("null")) +
         ",\"total_reports\":" + std::to_string(failure.totalReports) +
         ",\"code\":" + (failure.code ? std::to_string(*failure.code) : std::string("null"));
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string Milliseconds(const std::optional<int64_t>& ms) { return ms ? std::to_string(*ms) : "null"; }

}  // namespace

std::string UnitEventLine(const UnitResult& result) {
  const bool ok = result.status == 0;
  std::string line = "{\"event\":\"unit\",\"time\":" + JsonString(result.time) +
                     ",\"station\":" + JsonString(result.station) + ",\"count\":" + std::to_string(result.count) +
                     ",\"version\":" + JsonString(result.version) + ",\"port\":" + JsonString(result.port) +
                     ",\"path\":" + JsonString(result.path) + ",\"sha256\":" + JsonString(result.sha256) +
                     ",\"result\":" + (ok ? "\"ok\"" : "\"failed\"");
  if (!ok) {
    line += ",\"code\":" + JsonString(FailureCodeWord(result.code)) + ",\"reason\":" + JsonString(result.reason);
  }
  const Phases& p = result.phases;
  return line + ",\"status\":" + std::to_string(result.status) + ",\"seconds\":" + Seconds(result.seconds) +
         ",\"phases\":{\"check\":" + Milliseconds(p.check) + ",\"erase\":" + Milliseconds(p.erase) +
         ",\"write\":" + Milliseconds(p.write) + ",\"reset\":" + Milliseconds(p.reset) + "}}";
}

namespace {

class JsonReport final : public Report {
 public:
  JsonReport(const ReportSettings& settings, std::ostream& out)
      : settings_(settings), out_(out), terminal_(settings.terminal ? settings.terminal : NewTerminal()) {
    if (!settings_.port.empty()) tag_ = ",\"port\":" + JsonString(settings_.port);
  }

  void Image(std::string_view path, int64_t bytes, std::string_view sha256, const ImageTrust& trust) override {
    std::string fields = ",\"path\":" + JsonString(path) + ",\"bytes\":" + std::to_string(bytes) +
                         ",\"sha256\":" + JsonString(sha256);
    if (trust.approved) fields += std::string(",\"approved\":") + (*trust.approved ? "true" : "false");
    if (!trust.keyId.empty()) {
      fields += ",\"key_id\":" + JsonString(trust.keyId) + ",\"trusted_comment\":" + JsonString(trust.trustedComment);
    }
    Event("image", fields);
  }
  void Log(std::string_view line) override {
    if (!settings_.quiet) Event("log", tag_ + ",\"text\":" + JsonString(line));
  }
  void Error(std::string_view text) override { Event("error", tag_ + ",\"text\":" + JsonString(text)); }
  void WriteFailed(const WriteFailure& failure) override {
    Event("error", tag_ + ",\"text\":" + JsonString(WriteFailureText(failure)) + WriteFailureFields(failure));
  }
  void Unit(const HidInterfaceInfo& unit) override {
    if (!settings_.quiet) Event("device", ",\"path\":" + JsonString(unit.path) + DeviceFields(unit));
  }
  void Advance(const Progress& progress) override {
    // One event for each percent reached: at most 101 in a write.
    const int percent = progress.Percent();
    if (terminal_->board && !settings_.quiet) {
      const std::lock_guard<std::mutex> lock(terminal_->mutex);
      terminal_->board->Writing(settings_.port, percent);
      terminal_->BoardChanged();
    }
    if (settings_.quiet || percent == lastPercent_) return;
    lastPercent_ = percent;
    Event("progress", tag_ + ",\"percent\":" + std::to_string(percent) +
                          ",\"bytes\":" + std::to_string(progress.bytes) +
                          ",\"total\":" + std::to_string(progress.totalBytes) +
                          ",\"reports\":" + std::to_string(progress.reports) +
                          ",\"total_reports\":" + std::to_string(progress.totalReports));
  }
  void EndProgress() override {}
  void Listed(const ListedInterface& entry) override { Event("device", ListedFields(entry)); }
  void Candidate(const ListedInterface& entry) override { Event("device", ListedFields(entry)); }
  void Waiting() override {}
  void Result(const UnitResult& result) override {
    {
      const std::lock_guard<std::mutex> lock(terminal_->mutex);
      BoardResult(*terminal_, result);
    }
    Line(UnitEventLine(result));
  }
  void Stopping(int64_t finishing, bool interrupt) override {
    if (terminal_->board) {
      const std::lock_guard<std::mutex> lock(terminal_->mutex);
      BoardStopping(*terminal_, interrupt);
    }
    if (!interrupt) Event("stopping", ",\"finishing\":" + std::to_string(finishing));
  }
  void Summary(int64_t updated, int64_t failed, const std::vector<std::string>& failedPorts) override {
    std::string ports;
    for (const std::string& port : failedPorts) {
      if (!ports.empty()) ports += ',';
      ports += JsonString(port);
    }
    Event("summary", ",\"updated\":" + std::to_string(updated) + ",\"failed\":" + std::to_string(failed) +
                         ",\"failed_ports\":[" + ports + "]");
  }
  void Done(int status, double seconds) override {
    Event("done", ",\"status\":" + std::to_string(status) + ",\"seconds\":" + Seconds(seconds));
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    BoardEnd(*terminal_);
  }

 private:
  void Event(const char* name, const std::string& fields) {
    Line("{\"event\":\"" + std::string(name) + '"' + fields + "}");
  }
  void Line(const std::string& line) {
    const std::lock_guard<std::mutex> lock(terminal_->mutex);
    terminal_->BoardOff(true);
    out_ << line << '\n';
    out_.flush();
    terminal_->BoardShow(false);
  }

  ReportSettings settings_;
  std::ostream& out_;
  std::shared_ptr<Terminal> terminal_;
  std::string tag_;  // ,"port":PORT in a station run
  int lastPercent_ = -1;
};

}  // namespace

std::unique_ptr<Report> MakeJsonReport(const ReportSettings& settings, std::ostream& out) {
  return std::make_unique<JsonReport>(settings, out);
}

}  // namespace tovrix::cli
