// The engine's costs per image line.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/update.h"
#include "emulator/emulated_hid.h"
#include "emulator/images.h"
#include "hex/hex.h"

namespace {

using namespace tovrix;

std::vector<std::string> Lines(const std::string& image) {
  std::vector<std::string> lines;
  std::istringstream in(image);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

void BM_ParseHexLine(benchmark::State& state) {
  const auto lines = Lines(images::FilledImage(static_cast<std::size_t>(state.range(0))));
  HexRecord record;
  for (auto _ : state) {
    for (const auto& line : lines) benchmark::DoNotOptimize(ParseHexLine(line, record));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines.size()));
  state.SetLabel("lines");
}
BENCHMARK(BM_ParseHexLine)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

// The image written once to a temporary file, removed at exit.
class ImageFileOnDisk {
 public:
  explicit ImageFileOnDisk(std::size_t bytes)
      : path_(std::filesystem::temp_directory_path() /
              ("tovrix-bench-" + std::to_string(bytes) + ".hex")) {
    const std::string image = images::FilledImage(bytes);
    lines_ = static_cast<int64_t>(Lines(image).size());
    std::ofstream(path_, std::ios::binary) << image;
  }
  ~ImageFileOnDisk() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }
  int64_t lines() const { return lines_; }

 private:
  std::filesystem::path path_;
  int64_t lines_ = 0;
};

// Whole sessions on an image of state.range(0) bytes, counted per line.
void RunSessions(benchmark::State& state, const emu::EmulatorOptions& options, bool pack = false) {
  const ImageFileOnDisk image(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    SilentShell shell;
    emu::VirtualClock clock;
    emu::EmulatedHid hid(options, clock);
    UpdateSession session(shell, hid, image.path());
    session.boot.Pack = pack;
    if (session.RunUpdate().ended) state.SkipWithError("the program ended early");
  }
  state.SetItemsProcessed(state.iterations() * image.lines());
  state.SetLabel("image lines");
}

// The check of the whole file before the unit is touched: the session up
// to a search that finds no unit.
void BM_ValidationPass(benchmark::State& state) {
  emu::EmulatorOptions options;
  options.unitPresent = false;
  RunSessions(state, options);
}
BENCHMARK(BM_ValidationPass)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

// A whole update of an image against the emulated unit, no transcript:
// the check of the file, the search, the erase, every line and the reset.
void BM_WholeUpdate(benchmark::State& state) {
  emu::EmulatorOptions options;
  options.unit.MemoryStart = 0;
  options.unit.MemoryEnd = 0xFFFFFFFF;  // every record is written
  RunSessions(state, options);
}
BENCHMARK(BM_WholeUpdate)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

// The same update with packed PROGRAMs.
void BM_WholeUpdatePacked(benchmark::State& state) {
  emu::EmulatorOptions options;
  options.unit.MemoryStart = 0;
  options.unit.MemoryEnd = 0xFFFFFFFF;
  RunSessions(state, options, true);
}
BENCHMARK(BM_WholeUpdatePacked)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
