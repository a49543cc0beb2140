// tovrix-flash run in process for the command line's tests, and the two
// readings of its standard error that they share: the image's line split
// off, and the texts that were broken within 80 columns joined again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/flash.h"
#include "emulator/emulated_hid.h"
#include "hid/pass_through.h"
#include "tests/support/test_support.h"

namespace tovrix::test {

// Standard error's first line when it is the image's ("Image PATH: N
// bytes, SHA-256 HEX", without its line end), and what follows it.
struct ImageLineSplit {
  std::string imageLine;  // empty: the first line is another
  std::string rest;
};

inline ImageLineSplit SplitImageLine(const std::string& err) {
  if (err.rfind("Image ", 0) != 0) return {"", err};
  const std::size_t end = err.find('\n');
  if (end == std::string::npos) return {err, ""};
  return {err.substr(0, end), err.substr(end + 1)};
}

// Standard error with each text that PeopleLines broke joined again onto
// one line. A text's later lines are indented under its first by four
// blanks or more; a line of a unit listing begins with two and stands on
// its own.
inline std::string Unwrapped(const std::string& err) {
  std::string joined;
  for (const std::string& line : SplitLines(err)) {
    const std::size_t text = line.find_first_not_of(' ');
    if (text >= 4 && text != std::string::npos && !joined.empty()) {
      joined.back() = ' ';
      joined += line.substr(text);
    } else {
      joined += line;
    }
    joined += '\n';
  }
  return joined;
}

// The wall clock that the tests give each unit's end, and how the record
// writes it.
inline constexpr cli::WallTime kUnitWallTime{1'796'647'502'120, 60};  // 2026-12-07 12:45:02.120 UTC
inline constexpr const char* kUnitTime = "2026-12-07T13:45:02.120+01:00";

// How a run ended and what it wrote.
struct FlashOutput {
  int status = -1;
  std::string out;
  std::string errWhole;   // standard error as written
  std::string imageLine;  // its first line when that is the image's
  std::string err;        // the rest
};

// tovrix-flash with args on streams of its own; setUp changes what the
// program is given (its clock, platform, watch, stop requests) first.
inline FlashOutput RunFlash(const std::vector<std::string>& args,
                            const std::function<void(cli::FlashIo&)>& setUp = {}) {
  std::ostringstream out, err;
  cli::FlashIo io = cli::StandardIo(out, err);
  if (setUp) setUp(io);
  FlashOutput run;
  run.status = cli::FlashMain(args, io);
  run.out = out.str();
  run.errWhole = err.str();
  ImageLineSplit split = SplitImageLine(run.errWhole);
  run.imageLine = std::move(split.imageLine);
  run.err = std::move(split.rest);
  return run;
}

// The emulated unit, on a virtual clock of its own, behind a PassThroughHid:
// the base of the tests' platforms that change only some of its answers.
struct EmulatedUnitOnItsClock {
  emu::VirtualClock clock;
  emu::EmulatedHid hid{{}, clock};
};

class EmulatedPassThrough : private EmulatedUnitOnItsClock, public PassThroughHid {
 public:
  EmulatedPassThrough() : PassThroughHid(hid) {}
};

// The image written into dir under name, made size bytes long (zeros
// added) when size is set; its path.
inline std::string WriteImage(const TempDir& dir, const std::string& image, const std::string& name = "TOVRIXPRO.HEX",
                              int64_t size = -1) {
  const std::string path = dir.Write(name, image);
  if (size >= 0) std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size));
  return path;
}

}  // namespace tovrix::test
