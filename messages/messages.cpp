#include "messages/messages.h"

#include <string>

namespace tovrix {

void Messages::LogText(std::string_view text, int16_t newline) {
  shell_.AppendLog(text, newline != 0);
}

void Messages::ShowProgress(int16_t percent) {
  std::string caption(BaseCaption);
  caption += ' ';
  caption += std::to_string(percent);
  caption += '%';
  shell_.SetCaption(caption);
}

void Messages::SetCaption(std::string_view text) { shell_.SetCaption(text); }

void Messages::CriticalBox(std::string_view text) { shell_.ShowCritical(text); }

void Messages::AbortProgram() {
  shell_.ShowCritical(AbortText);
  EndProgram(kExitByAbort);
}

void Messages::EndProgram(int status) { throw ProgramEnd{status}; }

void Messages::PumpEvents() {
  shell_.PumpEvents();
  EndIfRequested();
}

void Messages::EndIfRequested() {
  if (pendingEnd_) EndProgram(*pendingEnd_);
}

void Messages::RequestEnd(int status) {
  if (!pendingEnd_) pendingEnd_ = status;
}

std::string Hex(uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char text[16];
  int n = 0;
  do {
    text[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  std::string out;
  out.reserve(n);
  while (n > 0) out += text[--n];
  return out;
}

}  // namespace tovrix
