// What the window costs: per image line of an update of a 1 MB image (the
// same update headless beside it, so the difference is the window's), per
// log line with an event pump after each, and for 100,000 log lines.
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <string>

#include "app/qt/frm_tovrix_update.h"
#include "hid/platform.h"
#include "emulator/emulated_hid.h"
#include "emulator/images.h"

namespace {

using tovrix::qt::frmTovrixUpdate;

// The 1 MB image, written once, and its line count.
struct BigImage {
  BigImage() {
    const std::string text = tovrix::images::FilledImage(1 << 20);
    lines = std::count(text.begin(), text.end(), '\n');
    QFile file(path());
    if (!file.open(QIODevice::WriteOnly)) qFatal("cannot write the image");
    file.write(text.data(), static_cast<qint64>(text.size()));
  }
  QString path() const { return dir.filePath(QStringLiteral("TOVRIXPRO.HEX")); }
  QTemporaryDir dir;
  int64_t lines = 0;
};

const BigImage& Image() {
  static const BigImage image;
  return image;
}

// A unit whose memory takes the whole image.
tovrix::emu::EmulatorOptions WholeImageUnit() {
  tovrix::emu::EmulatorOptions options;
  options.unit.MemoryStart = 0x800;
  options.unit.MemoryEnd = 0xFFFFF;
  return options;
}

frmTovrixUpdate::Hooks QuietHooks() {
  frmTovrixUpdate::Hooks hooks;
  hooks.critical = [](std::string_view text) {
    qFatal("box: %.*s", static_cast<int>(text.size()), text.data());
  };
  hooks.question = [](std::string_view) { return true; };
  hooks.endProgram = [](int status) { qFatal("the program ended with %d", status); };
  return hooks;
}

// A shell that shows nothing: the engine and the emulated unit alone.
class NullShell : public tovrix::Shell {
 public:
  void SetCaption(std::string_view) override {}
  void AppendLog(std::string_view, bool) override {}
  void ShowCritical(std::string_view text) override { qFatal("box: %s", std::string(text).c_str()); }
  bool AskQuestion(std::string_view) override { return true; }
  void ShowWindow() override {}
  void PumpEvents() override {}
};

void BM_UpdateInTheWindow_PerImageLine(benchmark::State& state) {
  const BigImage& image = Image();
  for (auto _ : state) {
    tovrix::emu::VirtualClock clock;
    tovrix::emu::EmulatedHid hid(WholeImageUnit(), clock);
    frmTovrixUpdate window(hid, image.path().toStdString(), QuietHooks());
    window.FormLoad();
    benchmark::DoNotOptimize(window.Pumps());
  }
  state.SetItemsProcessed(state.iterations() * image.lines);
}
BENCHMARK(BM_UpdateInTheWindow_PerImageLine)->Unit(benchmark::kMillisecond);

void BM_UpdateHeadless_PerImageLine(benchmark::State& state) {
  const BigImage& image = Image();
  for (auto _ : state) {
    tovrix::emu::VirtualClock clock;
    tovrix::emu::EmulatedHid hid(WholeImageUnit(), clock);
    NullShell shell;
    tovrix::UpdateSession session(shell, hid, image.path().toStdString());
    benchmark::DoNotOptimize(session.RunUpdate());
  }
  state.SetItemsProcessed(state.iterations() * image.lines);
}
BENCHMARK(BM_UpdateHeadless_PerImageLine)->Unit(benchmark::kMillisecond);

// One log line and one event pump per item, the window shown: the worst
// case of the update, where every image line writes a log line.
void BM_LogLineAndPump(benchmark::State& state) {
  tovrix::NoDevicesHidApi api;
  frmTovrixUpdate window(api, "TOVRIXPRO.HEX", QuietHooks());
  window.ShowWindow();
  QCoreApplication::processEvents();
  for (auto _ : state) {
    window.AppendLog("Writing data from $400 (line 3) ...", true);
    window.PumpEvents();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineAndPump);

// The event pump alone, with nothing to do: the floor of every image line.
void BM_IdlePump(benchmark::State& state) {
  tovrix::NoDevicesHidApi api;
  frmTovrixUpdate window(api, "TOVRIXPRO.HEX", QuietHooks());
  window.ShowWindow();
  QCoreApplication::processEvents();
  for (auto _ : state) window.PumpEvents();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IdlePump);

// 100,000 log lines into a shown window, and drawn.
void BM_Append100000LogLines(benchmark::State& state) {
  constexpr int kLines = 100'000;
  for (auto _ : state) {
    state.PauseTiming();
    tovrix::NoDevicesHidApi api;
    auto window = std::make_unique<frmTovrixUpdate>(api, "TOVRIXPRO.HEX", QuietHooks());
    window->ShowWindow();
    QCoreApplication::processEvents();
    state.ResumeTiming();
    for (int i = 0; i < kLines; ++i) {
      window->AppendLog("Ignoring data from $5800 (line 2563) ...", true);
    }
    window->FlushLog();
    QCoreApplication::processEvents();
    state.PauseTiming();
    window.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_Append100000LogLines)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
