#include "tools/emulate/transcript.h"

#include <string>

namespace tovrix::headless {

std::string TranscriptLine(std::string_view keyword, std::string_view text) {
  std::string line(keyword);
  if (keyword != "closed" && keyword != "end" && keyword != "exit") {
    line += ' ';
    line += text;
  }
  return line;
}

TranscriptShell::TranscriptShell(Sink sink, PumpScript script)
    : sink_(std::move(sink)), script_(std::move(script)) {}

void TranscriptShell::SetCaption(std::string_view text) { sink_("caption", text); }

void TranscriptShell::AppendLog(std::string_view text, bool newline) {
  sink_(newline ? "log" : "logpart", text);
}

void TranscriptShell::ShowCritical(std::string_view text) {
  sink_("box", std::string("critical ") + std::string(text));
}

bool TranscriptShell::AskQuestion(std::string_view text) {
  sink_("box", "question " + std::string(text) + (answer_ ? " -> yes" : " -> no"));
  return answer_;
}

void TranscriptShell::PumpEvents() {
  ++pumps_;
  if (!session_) return;
  const auto [first, last] = script_.equal_range(pumps_);
  for (auto it = first; it != last; ++it) {
    switch (it->second.kind) {
      case PumpAction::EscYes:
      case PumpAction::EscNo:
        answer_ = it->second.kind == PumpAction::EscYes;
        session_->KeyPress(kEscape);
        break;
      case PumpAction::Close:
        session_->Unload();
        break;
    }
  }
}

std::string TranscriptShell::SendText(const uint8_t* report, std::size_t length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(length * 2, '0');
  for (std::size_t i = 0; i < length; ++i) {
    text[2 * i] = kDigits[report[i] >> 4];
    text[2 * i + 1] = kDigits[report[i] & 0xF];
  }
  return text;
}

}  // namespace tovrix::headless
