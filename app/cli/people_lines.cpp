#include "app/cli/people_lines.h"

#include <algorithm>
#include <vector>

namespace tovrix::cli {

std::string PeopleLines(std::string_view lead, std::string_view text, std::size_t indent) {
  struct Word {
    std::string_view text;
    std::size_t blanks;  // after it
  };
  std::vector<Word> words;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    const std::size_t next = std::min(text.find_first_not_of(' ', end), text.size());
    words.push_back({text.substr(at, end - at), next - end});
    at = next;
  }
  std::string lines(lead);
  std::size_t column = lead.size();
  for (std::size_t i = 0; i < words.size();) {
    // As many words as fit, at least one; a break after a mark or at a
    // field's gap is preferred when the line keeps 2/5 of its room.
    const std::size_t room = kPeopleColumns > column ? kPeopleColumns - column : 0;
    std::size_t j = i + 1, width = words[i].text.size(), preferred = 0;
    for (; j < words.size(); ++j) {
      const Word& before = words[j - 1];
      const char last = before.text.empty() ? ' ' : before.text.back();
      if ((last == ':' || last == ';' || last == ',' || before.blanks >= 2) && width * 5 >= room * 2) {
        preferred = j;
      }
      const std::size_t with = width + before.blanks + words[j].text.size();
      if (with > room) break;
      width = with;
    }
    if (j < words.size()) {
      if (indent + words[j].text.size() > kPeopleColumns) {
        ++j;  // a word too long for any line goes on this one
      } else if (preferred > 0) {
        j = preferred;
      }
    }
    for (std::size_t k = i; k < j; ++k) {
      lines.append(words[k].text);
      if (k + 1 < j) lines.append(words[k].blanks, ' ');
    }
    i = j;
    if (i < words.size()) {
      lines += '\n';
      lines.append(indent, ' ');
      column = indent;
    }
  }
  return lines + '\n';
}

}  // namespace tovrix::cli
