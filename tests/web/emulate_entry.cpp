// tovrix-emulate in the engine, for the page's tests (emulate.js calls
// these): the page's test build links them beside the page's own entries.
//
//   tovrix_emulate_arg(text)      one more option for tovrix_emulate.
//   tovrix_emulate()              tovrix-emulate with those options, in the
//                                 current directory, against the emulated
//                                 unit on its virtual clock: returns its exit
//                                 status; tovrix_emulate_output() then holds
//                                 what it printed (its transcript, or for
//                                 status 2 its error line). The options are
//                                 used up.
#include <emscripten.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/emulate/emulate.h"

namespace {

using namespace tovrix;

struct EmulateRun {
  std::vector<std::string> args;
  std::string output;
};

EmulateRun& TheRun() {
  static EmulateRun run;
  return run;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void tovrix_emulate_arg(const char* text) { TheRun().args.emplace_back(text); }

EMSCRIPTEN_KEEPALIVE int tovrix_emulate() {
  EmulateRun& run = TheRun();
  const std::vector<std::string> args = std::move(run.args);
  run.args.clear();
  std::string error;
  const auto options = headless::ParseEmulateOptions(args, error);
  if (!options) {
    run.output = "tovrix-emulate: " + error + "\n";
    return 2;
  }
  run.output.clear();
  return headless::RunEmulated(*options, headless::TranscriptOut{[&run](std::string_view line) {
                                 run.output.append(line).push_back('\n');
                               }, {}});
}

EMSCRIPTEN_KEEPALIVE const char* tovrix_emulate_output() { return TheRun().output.c_str(); }

}  // extern "C"
