// tovrix-update: the product. Updates the unit on this machine's USB with
// the image named on the command line, or TOVRIXPRO.HEX from the current
// directory (see app/command_line.h); the desktop launcher's --desktop asks
// for the image in a file dialog first, and --emulate updates the emulated
// unit in real time instead. Without a display it says so and ends with
// status 1; --help, -h and --version need none. The exit status is 0 only
// when the unit was updated.
#include <QApplication>
#include <cstdio>
#include <memory>

#include "app/qt/frm_tovrix_update.h"
#include "app/qt/update_start.h"
#include "emulator/emulated_hid.h"
#include "hid/platform.h"

int main(int argc, char** argv) {
  if (const auto status = tovrix::qt::AnswerEarly(argc, argv)) return *status;
  if (!tovrix::qt::HasDisplay(tovrix::qt::DisplayPlacesOf(argc, argv))) {
    std::fprintf(stderr, "%s\n", tovrix::qt::kNoDisplayText.data());
    return 1;
  }
  QApplication app(argc, argv);
  const tovrix::CommandLine line = tovrix::qt::ReadCommandLine(argc, argv);
  if (line.action != tovrix::CommandLine::Action::Update) return tovrix::qt::Answer(line);
  QApplication::setWindowIcon(tovrix::qt::ApplicationIcon());
  // The desktop entry that started it (packaging/), for the desktop's dock.
  QGuiApplication::setDesktopFileName(QStringLiteral("com.olvane.TovrixProUpdate"));
  // Cancel in the file dialog ends the program quietly: nothing was updated.
  const auto image = tovrix::qt::ImageOfTheRun(line);
  if (!image) return tovrix::kExitByAbort;
  tovrix::emu::RealClock clock;
  const std::unique_ptr<tovrix::HidApi> api =
      line.emulate ? std::make_unique<tovrix::emu::EmulatedHid>(tovrix::emu::RealTimeDemoOptions(), clock)
                   : tovrix::MakePlatformHidApi();
  tovrix::qt::frmTovrixUpdate window(*api, *image);
  window.StartLoad();
  const int status = QApplication::exec();
  // The window closed once the update had returned: whether it updated.
  return status != 0 ? status : window.ExitStatus();
}
