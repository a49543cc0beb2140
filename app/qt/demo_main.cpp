// tovrix-update-demo: the tool's window against an emulated unit, in real
// time: the erase takes 1.2 s, each report 1 ms. Like the product it reads
// TOVRIXPRO.HEX from the current directory.
//
//   tovrix-update-demo [--screenshot FILE]
//
// With --screenshot the run is unattended: when the update has finished it
// saves a picture of the window as PNG to FILE (under a drawn title bar with
// the caption and the icon, since a bare X server has no window manager to
// draw one), closes the window and ends. Its boxes, should any come, are
// written to the standard error and answered at once.
#include <QApplication>
#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <string>

#include "app/qt/frm_tovrix_update.h"
#include "emulator/emulated_hid.h"
#include "messages/messages.h"

namespace {

// The window's client area under a title bar that shows its caption and icon.
QPixmap WindowPicture(QWidget& window) {
  const QPixmap client = window.grab();
  const int bar = 26;
  QPixmap picture(client.width(), client.height() + bar);
  picture.fill(QColor(0x2B, 0x3A, 0x4F));
  QPainter painter(&picture);
  painter.drawPixmap(0, bar, client);
  window.windowIcon().paint(&painter, QRect(5, 3, 20, 20));
  QFont font = painter.font();
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRect(32, 0, client.width() - 36, bar), Qt::AlignVCenter | Qt::AlignLeft,
                   window.windowTitle());
  return picture;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setWindowIcon(tovrix::qt::ApplicationIcon());

  std::optional<QString> screenshot;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size()) {
      screenshot = args[++i];
    } else {
      std::fprintf(stderr, "usage: tovrix-update-demo [--screenshot FILE]\n");
      return 2;
    }
  }

  tovrix::emu::RealClock clock;
  tovrix::emu::EmulatedHid hid(tovrix::emu::RealTimeDemoOptions(), clock);

  tovrix::qt::frmTovrixUpdate::Hooks hooks;
  if (screenshot) {
    hooks.critical = [](std::string_view text) {
      std::fprintf(stderr, "box: %s\n", tovrix::TerminalText(text).c_str());
    };
    hooks.question = [](std::string_view text) {
      std::fprintf(stderr, "box: %s -> yes\n", tovrix::TerminalText(text).c_str());
      return true;
    };
  }
  tovrix::qt::frmTovrixUpdate window(hid, tovrix::kImageFileName, hooks);

  QTimer::singleShot(0, &window, [&] {
    window.FormLoad();
    if (!screenshot) return;
    QCoreApplication::processEvents();
    if (!WindowPicture(window).save(*screenshot, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(*screenshot));
      QCoreApplication::exit(1);
      return;
    }
    window.close();
  });
  return QApplication::exec();
}
