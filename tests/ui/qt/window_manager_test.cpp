// The window under a real window manager (openbox on Xvfb, see
// with_window_manager.sh), which frames it some time after it is shown:
// the log follows the size rule on the outer size, frame included, from the
// first show on without any resize by the user, and again when the frame
// changes.
#include <QFile>
#include <QProcess>
#include <QTest>
#include <memory>

#include "app/qt/frm_tovrix_update.h"
#include "hid/platform.h"

using tovrix::qt::frmTovrixUpdate;
using tovrix::qt::Pixels;
using tovrix::qt::Twips;

namespace {

// The log's size by the rule, from the outer size the window has now.
QSize RuleLog(const frmTovrixUpdate& w) {
  const QSize outer = w.OuterSize();
  return {Pixels(Twips(outer.width()) - 330), Pixels(Twips(outer.height()) - 700)};
}

QString Sizes(const frmTovrixUpdate& w) {
  return QStringLiteral("outer %1x%2, client %3x%4, log %5x%6, rule %7x%8")
      .arg(w.OuterSize().width()).arg(w.OuterSize().height())
      .arg(w.width()).arg(w.height())
      .arg(w.TxtBox()->width()).arg(w.TxtBox()->height())
      .arg(RuleLog(w).width()).arg(RuleLog(w).height());
}

}  // namespace

class WindowManagerTest : public QObject {
  Q_OBJECT

 private slots:
  void logFollowsTheRuleWithTheFrameFromTheFirstShow();
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
  QTRY_VERIFY2(w.OuterSize().height() - w.height() >= 10, qPrintable(Sizes(w)));
  QTRY_COMPARE_WITH_TIMEOUT(w.TxtBox()->size(), RuleLog(w), 2000);
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
  QTRY_VERIFY2(w.OuterSize() - w.size() != frame, qPrintable(Sizes(w)));
  QTRY_COMPARE_WITH_TIMEOUT(w.TxtBox()->size(), RuleLog(w), 2000);
  qInfo("another frame: %s", qPrintable(Sizes(w)));
}

QTEST_MAIN(WindowManagerTest)
#include "window_manager_test.moc"
