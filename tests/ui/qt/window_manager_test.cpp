// The window under a real window manager (openbox on Xvfb, see
// with_window_manager.sh), which frames it some time after it is shown:
// the log follows the size rule on the outer size, frame included, from the
// first show on without any resize by the user, and again when the frame
// changes.
#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFontMetrics>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <functional>
#include <memory>

#include "app/qt/frm_tovrix_update.h"
#include "hid/platform.h"
#include "tests/ui/qt/window_run.h"

using tovrix::qt::frmTovrixUpdate;
using tovrix::qt::Pixels;
using tovrix::qt::Twips;

namespace {

// The log's size by the rule, from the outer size the window has now.
QSize RuleLog(const frmTovrixUpdate& w) { return tovrix::qt::test::FittedLog(w); }

QString Sizes(const frmTovrixUpdate& w) {
  return QStringLiteral("outer %1x%2, client %3x%4, log %5x%6, rule %7x%8")
      .arg(w.OuterSize().width()).arg(w.OuterSize().height())
      .arg(w.width()).arg(w.height())
      .arg(w.TxtBox()->width()).arg(w.TxtBox()->height())
      .arg(RuleLog(w).width()).arg(RuleLog(w).height());
}

// Where a window is, frame included, as its platform window knows it: the
// widget's frame may stay at what it was before the window manager framed
// the window (a 1x1 frame on a box shown at once after its window).
QRect Outer(const QWidget& w) {
  if (const QWindow* handle = w.windowHandle()) return handle->frameGeometry();
  return w.frameGeometry();
}

}  // namespace

class WindowManagerTest : public QObject {
  Q_OBJECT

 private slots:
  void logFollowsTheRuleWithTheFrameFromTheFirstShow();
  void boxesOpenOverTheWindowWideEnoughForTheirTitle();
};

void WindowManagerTest::logFollowsTheRuleWithTheFrameFromTheFirstShow() {
  QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"), "runs on X, under a window manager");
  tovrix::NoDevicesHidApi api;
  frmTovrixUpdate::Hooks hooks;
  hooks.endProgram = [](int) {};
  frmTovrixUpdate w(api, "no/such/TOVRIXPRO.HEX", hooks);
  w.ShowWindow();
  QVERIFY(QTest::qWaitForWindowExposed(&w));

  // Framed: a title bar at least.
  QTRY_VERIFY2_WITH_TIMEOUT(w.OuterSize().height() - w.height() >= 10, qPrintable(Sizes(w)), 20000);
  QTRY_COMPARE_WITH_TIMEOUT(w.TxtBox()->size(), RuleLog(w), 20000);
  qInfo("framed: %s", qPrintable(Sizes(w)));

  // The frame changes: openbox draws it with another theme, of a lower title.
  const QSize frame = w.OuterSize() - w.size();
  QFile rc(qEnvironmentVariable("TOVRIX_OPENBOX_RC"));
  QVERIFY(rc.open(QIODevice::ReadOnly));
  QByteArray config = rc.readAll().replace("Clearlooks", "Nightmare");
  rc.close();
  QVERIFY(rc.open(QIODevice::WriteOnly | QIODevice::Truncate));
  rc.write(config);
  rc.close();
  QCOMPARE(QProcess::execute(QStringLiteral("openbox"), {QStringLiteral("--reconfigure")}), 0);
  QTRY_VERIFY2_WITH_TIMEOUT(w.OuterSize() - w.size() != frame, qPrintable(Sizes(w)), 20000);
  QTRY_COMPARE_WITH_TIMEOUT(w.TxtBox()->size(), RuleLog(w), 20000);
  qInfo("another frame: %s", qPrintable(Sizes(w)));
}

// The window's own boxes (its default hooks), as the window manager places
// and frames them: before the window is shown and once it is, centred on it.
// The window manager sizes, frames and places a box some time after it is
// shown: each look waits (up to kSettleMs) until the box is where it is to
// be, and the checks then say what was seen.
void WindowManagerTest::boxesOpenOverTheWindowWideEnoughForTheirTitle() {
  constexpr int kSettleMs = 20000;
  tovrix::NoDevicesHidApi api;
  frmTovrixUpdate::Hooks hooks;
  hooks.endProgram = [](int) {};
  frmTovrixUpdate w(api, "no/such/TOVRIXPRO.HEX", hooks);
  QRect box, window;
  int titleWidth = 0;
  // Where the box is to be: framed, with room for its title, centred as
  // placed says for the box and the window as they are now.
  using Placed = std::function<bool(const QRect& box, const QRect& window)>;
  const auto wideEnough = [&](const QRect& b) { return b.width() >= titleWidth + 150; };
  // Once the box is up and placed (or the time is up): where it is, then OK.
  const auto lookAtTheBox = [&](Placed placed) {
    QTimer::singleShot(0, [&, placed] {
      QWidget* up = nullptr;
      QDeadlineTimer deadline(kSettleMs);
      while (!(up = QApplication::activeModalWidget()) && !deadline.hasExpired()) QTest::qWait(20);
      if (!up) return;
      if (!QTest::qWaitForWindowExposed(up)) qInfo("the box was not exposed");
      titleWidth = QFontMetrics(up->font()).horizontalAdvance(up->windowTitle());
      for (;;) {
        box = Outer(*up);
        window = Outer(w);
        const bool framed = box.height() - up->height() >= 10;
        if ((framed && wideEnough(box) && placed(box, window)) || deadline.hasExpired()) break;
        QTest::qWait(20);
      }
      qInfo("box %d,%d %dx%d (client %dx%d) over window %d,%d %dx%d, title %d", box.x(), box.y(), box.width(),
            box.height(), up->width(), up->height(), window.x(), window.y(), window.width(), window.height(),
            titleWidth);
      static_cast<QMessageBox*>(up)->accept();
    });
  };
  // On the screen: the window is not there yet (the frame's size is not
  // known before the box is framed).
  const QPoint screen = QGuiApplication::primaryScreen()->availableGeometry().center();
  const auto onTheScreen = [&](const QRect& b, const QRect&) {
    return qAbs(b.center().x() - screen.x()) <= 2 && qAbs(b.center().y() - screen.y()) <= 30;
  };
  // A box's title bar may be lower than the window's.
  const auto overTheWindow = [](const QRect& b, const QRect& win) {
    return qAbs(b.center().x() - win.center().x()) <= 2 && qAbs(b.center().y() - win.center().y()) <= 4;
  };

  lookAtTheBox(onTheScreen);
  w.ShowCritical("Invalid checksum on line 1");
  QVERIFY(box.isValid());
  QVERIFY2(wideEnough(box), "room for the title beside the frame's buttons");
  QVERIFY(onTheScreen(box, window));

  w.ShowWindow();
  QVERIFY(QTest::qWaitForWindowExposed(&w));
  QTRY_VERIFY_WITH_TIMEOUT(w.OuterSize().height() - w.height() >= 10, kSettleMs);
  lookAtTheBox(overTheWindow);
  w.ShowCritical("Invalid checksum on line 1");
  QVERIFY(overTheWindow(box, window));

  // A box at once after the window is shown (an image without data for the
  // unit is refused as soon as the unit has answered), before the window
  // manager has mapped and placed the window: on the screen as well, not
  // where the window was before it was placed (the screen's top left).
  frmTovrixUpdate fresh(api, "no/such/TOVRIXPRO.HEX", hooks);
  fresh.ShowWindow();
  lookAtTheBox(onTheScreen);
  fresh.ShowCritical("The image has no data inside the unit's memory ($400 to $57FF): nothing was erased");
  QVERIFY(onTheScreen(box, window));
}

QTEST_MAIN(WindowManagerTest)
#include "window_manager_test.moc"
