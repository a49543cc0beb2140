// tovrix-update: the product. Updates the unit on this machine's USB with
// TOVRIXPRO.HEX from the current directory.
#include <QApplication>

#include "app/qt/frm_tovrix_update.h"
#include "hid/platform.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setWindowIcon(tovrix::qt::ApplicationIcon());
  const auto api = tovrix::MakePlatformHidApi();
  tovrix::qt::frmTovrixUpdate window(*api);
  window.StartLoad();
  return QApplication::exec();
}
