#include "messages/messages.h"

#include <cstddef>
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

std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead < 0x80) {
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

std::string TerminalText(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  const auto escape = [&](unsigned char byte) {
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
  };
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = Utf8Length(text, at);
    if (length == 0 || byte < 0x20 || byte == 0x7F) {
      escape(byte);
      ++at;
    } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
      escape(byte);  // C1: U+0080 to U+009F
      escape(static_cast<unsigned char>(text[at + 1]));
      at += 2;
    } else if (byte == '\\' && at + 1 < text.size() && text[at + 1] == 'x') {
      escape(byte);
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

}  // namespace tovrix
