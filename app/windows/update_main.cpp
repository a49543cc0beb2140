// tovrix-update.exe: the product on Windows. Updates the unit on this
// machine's USB with TOVRIXPRO.HEX from the current directory.
#include "app/windows/frm_tovrix_update.h"
#include "hid/platform.h"

int main() {
  const auto api = tovrix::MakePlatformHidApi();
  tovrix::win::frmTovrixUpdate window(*api);
  window.FormLoad();
  return window.RunMessageLoop();
}
