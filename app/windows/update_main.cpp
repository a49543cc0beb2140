// tovrix-update.exe: the product on Windows. Updates the unit on this
// machine's USB with TOVRIXPRO.HEX from the current directory.
#include "app/windows/frm_tovrix_update.h"
#include "hid/windows/windows_hid.h"

int main() {
  tovrix::win::WindowsHidApi api;
  tovrix::win::frmTovrixUpdate window(api);
  window.FormLoad();
  return window.RunMessageLoop();
}
