// tovrix-update-demo.exe: the tool's window against an emulated unit, in
// real time: the erase takes 1.2 s, each report 1 ms. Like the product it
// reads TOVRIXPRO.HEX from the current directory.
#include "app/windows/frm_tovrix_update.h"
#include "emulator/emulated_hid.h"
#include "hid/windows/system_library.h"

int main() {
  // Before anything can load a DLL: only from the system folder.
  tovrix::windows_hid::LoadDllsFromSystemFolderOnly();
  tovrix::emu::RealClock clock;
  tovrix::emu::EmulatedHid hid(tovrix::emu::RealTimeDemoOptions(), clock);
  tovrix::win::frmTovrixUpdate window(hid);
  window.FormLoad();
  return window.RunMessageLoop();
}
