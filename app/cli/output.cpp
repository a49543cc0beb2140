#include "app/cli/output.h"

#include <cstdio>
#include <ostream>
#include <string>

#include "hid/unit_identity.h"

namespace tovrix::cli {
namespace {

constexpr const char* kProgram = "tovrix-flash: ";
constexpr int64_t kRedrawMs = 100;  // the progress line: at most 10 draws a second

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

class TextReport final : public Report {
 public:
  TextReport(const ReportSettings& settings, std::ostream& out, std::ostream& err)
      : settings_(settings), out_(out), err_(err) {}

  void Log(std::string_view line) override {
    if (settings_.quiet) return;
    Wipe();
    out_ << line << '\n';
    out_.flush();
  }
  void Error(std::string_view text) override {
    Wipe();
    out_.flush();
    err_ << kProgram << text << '\n';
    err_.flush();
  }
  void Unit(const HidInterfaceInfo&) override {}
  void Advance(const Progress& progress) override {
    if (settings_.quiet || !settings_.errIsTerminal) return;
    const int64_t now = settings_.nowMs();
    if (drawn_ && now - drawnAt_ < kRedrawMs) return;
    const std::string text = ProgressText(progress);
    err_ << '\r' << text;
    if (text.size() < shown_) err_ << std::string(shown_ - text.size(), ' ') << '\r' << text;
    err_.flush();
    shown_ = text.size();
    drawn_ = true;
    drawnAt_ = now;
  }
  void EndProgress() override { Wipe(); }
  void Listed(const ListedInterface& entry) override {
    out_ << ListLine(entry) << '\n';
    out_.flush();
  }
  void Candidate(const ListedInterface& entry) override {
    err_ << "  " << ListLine(entry) << '\n';
    err_.flush();
  }
  void Waiting() override {
    if (settings_.quiet || !settings_.errIsTerminal) return;
    err_ << kProgram << "waiting for a TovrixPro in update mode (Ctrl-C to stop) ...\n";
    err_.flush();
  }
  void Done(int, double) override { Wipe(); }

 private:
  // Clears the progress line, so that the next output starts on a clean line.
  void Wipe() {
    if (shown_ == 0) return;
    err_ << '\r' << std::string(shown_, ' ') << '\r';
    err_.flush();
    shown_ = 0;
  }

  ReportSettings settings_;
  std::ostream& out_;
  std::ostream& err_;
  std::size_t shown_ = 0;  // characters of the progress line on the screen
  bool drawn_ = false;
  int64_t drawnAt_ = 0;
};

class JsonReport final : public Report {
 public:
  JsonReport(const ReportSettings& settings, std::ostream& out) : settings_(settings), out_(out) {}

  void Log(std::string_view line) override {
    if (!settings_.quiet) Event("log", ",\"text\":" + JsonString(line));
  }
  void Error(std::string_view text) override { Event("error", ",\"text\":" + JsonString(text)); }
  void Unit(const HidInterfaceInfo& unit) override {
    if (!settings_.quiet) Event("device", ",\"path\":" + JsonString(unit.path) + DeviceFields(unit));
  }
  void Advance(const Progress& progress) override {
    // One event for each percent reached: at most 101 in a write.
    const int percent = progress.Percent();
    if (settings_.quiet || percent == lastPercent_) return;
    lastPercent_ = percent;
    Event("progress", ",\"percent\":" + std::to_string(percent) +
                          ",\"bytes\":" + std::to_string(progress.bytes) +
                          ",\"total\":" + std::to_string(progress.totalBytes) +
                          ",\"reports\":" + std::to_string(progress.reports) +
                          ",\"total_reports\":" + std::to_string(progress.totalReports));
  }
  void EndProgress() override {}
  void Listed(const ListedInterface& entry) override { Event("device", ListedFields(entry)); }
  void Candidate(const ListedInterface& entry) override { Event("device", ListedFields(entry)); }
  void Waiting() override {}
  void Done(int status, double seconds) override {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    Event("done", ",\"status\":" + std::to_string(status) + ",\"seconds\":" + text);
  }

 private:
  void Event(const char* name, const std::string& fields) {
    out_ << "{\"event\":\"" << name << '"' << fields << "}\n";
    out_.flush();
  }

  ReportSettings settings_;
  std::ostream& out_;
  int lastPercent_ = -1;
};

}  // namespace

int Progress::Percent() const {
  if (totalBytes > 0) return static_cast<int>(std::min<int64_t>(bytes * 100 / totalBytes, 100));
  if (totalReports > 0) return static_cast<int>(std::min<int64_t>(reports * 100 / totalReports, 100));
  return 100;
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

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::unique_ptr<Report> MakeReport(const ReportSettings& settings, std::ostream& out,
                                   std::ostream& err) {
  if (settings.json) return std::make_unique<JsonReport>(settings, out);
  return std::make_unique<TextReport>(settings, out, err);
}

}  // namespace tovrix::cli
