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
#include "emulator/image_writer.h"
#include "hex/hex.h"

namespace {

using namespace tovrix;

class QuietShell : public Shell {
 public:
  void SetCaption(std::string_view) override {}
  void AppendLog(std::string_view, bool) override {}
  void ShowCritical(std::string_view) override {}
  bool AskQuestion(std::string_view) override { return false; }
  void ShowWindow() override {}
  void PumpEvents() override {}
};

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
  const auto lines = Lines(emu::FilledImage(static_cast<std::size_t>(state.range(0))));
  HexRecord record;
  for (auto _ : state) {
    for (const auto& line : lines) benchmark::DoNotOptimize(ParseHexLine(line, record));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines.size()));
  state.SetLabel("lines");
}
BENCHMARK(BM_ParseHexLine)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

// A whole update of an image against the emulated unit, no transcript:
// the check of the file, the search, the erase, every line and the reset.
void BM_WholeUpdate(benchmark::State& state) {
  const std::string image = emu::FilledImage(static_cast<std::size_t>(state.range(0)));
  const auto path = std::filesystem::temp_directory_path() / "tovrix-bench-update.hex";
  std::ofstream(path, std::ios::binary) << image;
  const auto lines = static_cast<int64_t>(Lines(image).size());
  emu::EmulatorOptions options;
  options.unit.MemoryStart = 0;
  options.unit.MemoryEnd = 0xFFFFFFFF;  // every record is written
  for (auto _ : state) {
    QuietShell shell;
    emu::VirtualClock clock;
    emu::EmulatedHid hid(options, clock);
    UpdateSession session(shell, hid, path.string());
    if (session.RunUpdate().ended) state.SkipWithError("the update did not finish");
  }
  state.SetItemsProcessed(state.iterations() * lines);
  state.SetLabel("image lines");
  std::filesystem::remove(path);
}
BENCHMARK(BM_WholeUpdate)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
