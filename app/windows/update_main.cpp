// tovrix-update.exe: the product on Windows. Updates the unit on this
// machine's USB with the image named on the command line (a .hex file
// dropped onto the program arrives there), or TOVRIXPRO.HEX from the
// current directory (see app/command_line.h).
#include <string>
#include <vector>

#include "app/windows/frm_tovrix_update.h"
#include "app/windows/update_start.h"
#include "hid/platform.h"
#include "hid/windows/system_library.h"

int main(int argc, char** argv) {
  // Before anything can load a DLL: only from the system folder.
  tovrix::windows_hid::LoadDllsFromSystemFolderOnly();
  const tovrix::CommandLine line =
      tovrix::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), false);
  if (line.action != tovrix::CommandLine::Action::Update) return tovrix::win::Answer(line);
  if (const auto failure = tovrix::PlatformHidFailure()) return tovrix::win::Refuse(*failure);
  const auto api = tovrix::MakePlatformHidApi();
  tovrix::win::frmTovrixUpdate window(*api, *line.Image());
  window.FormLoad();
  return window.RunMessageLoop();
}
