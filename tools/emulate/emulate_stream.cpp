// RunEmulated writing to a stream, apart from the rest so that a program
// without streams links none.
#include <ostream>

#include "tools/emulate/emulate.h"

namespace tovrix::headless {

int RunEmulated(const EmulateOptions& options, std::ostream& out) {
  return RunEmulated(options, TranscriptOut{[&out](std::string_view line) { out << line << '\n'; },
                                            [&out] { out.flush(); }});
}

}  // namespace tovrix::headless
