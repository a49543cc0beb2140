// The window running the update: what it shows and does must be what the
// headless runner reports for the same unit, image and user, and Esc,
// typing and closing must act as the tool's user expects at every stage.
#include <QApplication>
#include <QClipboard>
#include <QSignalSpy>
#include <QTest>

#include "tests/ui/qt/window_run.h"

using tovrix::qt::test::Image;
using tovrix::qt::test::PostKey;
using tovrix::qt::test::TypingKeys;
using tovrix::qt::test::WindowRun;

namespace {

const QString kQuestion = QStringLiteral("box question Exit TovrixPro Update - Are you sure");

QString BaseCaption() { return tovrix::qt::test::Q(tovrix::BaseCaption); }

}  // namespace

class UpdateWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void matchesTranscript_data();
  void matchesTranscript();
  void escWhenIdle_data();
  void escWhenIdle();
  void typingLeavesLogUnchanged_data();
  void typingLeavesLogUnchanged();
  void captionSequence();
  void closeDuringUpdateEndsWithUnitClosed_data();
  void closeDuringUpdateEndsWithUnitClosed();
  void closeWhenIdleClosesUnitWithoutQuestion();
  void loadRunsOnceTheEventLoopRuns();
};

// Every stage and user action that the transcript knows, in the window.
void UpdateWindowTest::matchesTranscript_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<Image>("image");
  QTest::addColumn<int>("status");  // -1: the update ran to its end

  const auto row = [](const char* name, QStringList args, int status, Image image = Image::Sample) {
    QTest::newRow(name) << args << image << status;
  };
  row("success", {}, -1);
  row("success after two erase waits", {"--erase-waits", "2"}, -1);
  row("other devices around the unit", {"--before", "46D:C52B:1", "--after", "4D8:3C:2"}, -1);
  row("no unit", {"--no-unit"}, -1);
  row("capabilities rejected", {"--caps", "64,65,1"}, -1);
  row("no reply to QUERY: abort", {"--silent-query"}, 1);
  row("write failure while writing: abort", {"--fail-write", "20"}, 1);
  row("no reply after ERASE: abort", {"--erase-waits", "11"}, 1);
  row("bad image line: two boxes, unit untouched", {}, 1, Image::BadChecksum);
  row("no image file: one box", {}, 1, Image::Missing);
  row("empty image: refused before ERASE", {}, 1, Image::Empty);
  row("no data inside the memory: refused before ERASE", {}, 1, Image::NoData);
  row("cut short: refused, unit untouched", {}, 1, Image::CutShort);
  // Stopped before its end: the unit was not updated.
  row("Esc during erase wait, Yes", {"--erase-waits", "3", "--esc", "2:yes"}, 1);
  row("Esc during erase wait, No", {"--erase-waits", "3", "--esc", "2:no"}, -1);
  row("Esc while writing, Yes", {"--esc", "700:yes"}, 1);
  row("Esc while writing, No", {"--esc", "700:no"}, -1);
  row("Esc twice while writing, No then Yes", {"--esc", "10:no", "--esc", "2000:yes"}, 1);
  row("close during erase wait", {"--erase-waits", "2", "--close", "1"}, 1);
  row("close while writing", {"--close", "1500"}, 1);
  row("Esc No and close at one pump", {"--esc", "40:no", "--close", "40"}, 1);
}

void UpdateWindowTest::matchesTranscript() {
  QFETCH(QStringList, args);
  QFETCH(Image, image);
  QFETCH(int, status);

  WindowRun run(args, image);
  run.Load();
  const auto expected = run.Expected();

  QCOMPARE(run.Log(), expected.log);
  QCOMPARE(run.events, expected.events);
  QCOMPARE(run.endStatus.value_or(-1), status);
  QVERIFY(run.Hid().Faults().empty());
  // The window shows the log unless the image failed before the unit, or
  // the user closed it.
  const bool imageChecked = image != Image::BadChecksum && image != Image::Missing && image != Image::CutShort;
  QCOMPARE(run.Window().isVisible(), imageChecked && !args.contains("--close"));
  // Refused, the unit got QUERY alone or nothing: it was never erased.
  if (image != Image::Sample) {
    QCOMPARE(run.events.filter(QStringLiteral("send ")).size(), imageChecked ? 1 : 0);
  }
}

void UpdateWindowTest::escWhenIdle_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<bool>("toWindow");  // Esc to the window itself, not to the log
  QTest::addColumn<bool>("answer");
  QTest::addColumn<bool>("asks");
  QTest::addColumn<bool>("ends");
  QTest::addColumn<bool>("closesUnit");
  QTest::addColumn<int>("status");  // when it ends: 0 only after the unit was updated

  for (const bool toWindow : {false, true}) {
    const auto row = [toWindow](const char* name, QStringList args, bool answer, bool asks,
                                bool ends, bool closes, int status) {
      QTest::addRow("%s, %s", name, toWindow ? "window" : "log")
          << args << toWindow << answer << asks << ends << closes << status;
    };
    row("search failed", {"--no-unit"}, true, false, true, false, 1);
    row("capabilities rejected, Yes", {"--caps", "65,65,2"}, true, true, true, true, 1);
    row("capabilities rejected, No", {"--caps", "65,65,2"}, false, true, false, false, 1);
    row("after success", {}, true, false, true, true, 0);
  }
}

void UpdateWindowTest::escWhenIdle() {
  QFETCH(QStringList, args);
  QFETCH(bool, toWindow);
  QFETCH(bool, answer);
  QFETCH(bool, asks);
  QFETCH(bool, ends);
  QFETCH(bool, closesUnit);
  QFETCH(int, status);

  WindowRun run(args);
  run.Load();
  QVERIFY(!run.endStatus);
  const QString log = run.Log();
  const qsizetype eventsBefore = run.events.size();
  run.answer = answer;

  QWidget* target = toWindow ? static_cast<QWidget*>(&run.Window()) : run.TxtBox();
  QTest::keyClick(target, Qt::Key_Escape);

  QCOMPARE(run.questions, asks ? 1 : 0);
  QCOMPARE(run.endStatus.has_value(), ends);
  if (ends) QCOMPARE(*run.endStatus, status);
  QCOMPARE(run.Window().ExitStatus(), status);
  QCOMPARE(run.events.mid(eventsBefore).contains(QStringLiteral("closed")), closesUnit);
  QCOMPARE(run.Hid().OpenHandles(), closesUnit || !asks ? 0 : 2);
  QCOMPARE(run.Log(), log);
  QVERIFY(run.Hid().Faults().empty());
}

void UpdateWindowTest::typingLeavesLogUnchanged_data() {
  QTest::addColumn<QString>("when");
  QTest::newRow("before the update") << "before";
  QTest::newRow("during the update") << "during";
  QTest::newRow("after the update") << "after";
}

void UpdateWindowTest::typingLeavesLogUnchanged() {
  QFETCH(QString, when);

  WindowRun run({"--erase-waits", "2"});
  QApplication::clipboard()->setText(QStringLiteral("pasted"));
  const auto typeAll = [&run] {
    for (const auto& key : TypingKeys()) PostKey(run.TxtBox(), key.key, key.modifiers, key.text);
  };
  if (when == "before") {
    typeAll();
    QCoreApplication::processEvents();
    QCOMPARE(run.Log(), QString());
  }
  if (when == "during") {
    // At every pump of the erase wait and then now and then while writing.
    run.atPump = [&typeAll](int pump) {
      if (pump < 5 || pump % 97 == 0) typeAll();
    };
  }
  run.Load();
  const auto expected = run.Expected();
  QCOMPARE(run.Log(), expected.log);
  QCOMPARE(run.events, expected.events);

  if (when == "after") {
    typeAll();
    QCoreApplication::processEvents();
    QCOMPARE(run.Log(), expected.log);
  }
  QVERIFY(!run.endStatus);
  QCOMPARE(run.questions, 0);
}

void UpdateWindowTest::captionSequence() {
  WindowRun run({});
  QCOMPARE(run.Window().windowTitle(), BaseCaption());
  QStringList titles;
  QObject::connect(&run.Window(), &QWidget::windowTitleChanged,
                   [&titles](const QString& title) { titles << title; });
  run.Load();

  // 0% after ERASE, then up in steps of more than 4, kept at its last value.
  QVERIFY(titles.size() > 10);
  QCOMPARE(titles.front(), BaseCaption() + QStringLiteral(" 0%"));
  int last = 0;
  for (const QString& title : titles.mid(1)) {
    QVERIFY2(title.startsWith(BaseCaption() + QLatin1Char(' ')) && title.endsWith('%'),
             qPrintable(title));
    const int percent = title.mid(BaseCaption().size() + 1).chopped(1).toInt();
    QVERIFY2(percent - last > 4, qPrintable(title));
    last = percent;
  }
  QVERIFY(last >= 96);
  QCOMPARE(run.Window().windowTitle(), titles.back());
}

void UpdateWindowTest::closeDuringUpdateEndsWithUnitClosed_data() {
  QTest::addColumn<int>("pump");
  QTest::newRow("at the first erase wait") << 1;
  QTest::newRow("while writing") << 600;
  QTest::newRow("at the last line") << 3077 + 3;
}

void UpdateWindowTest::closeDuringUpdateEndsWithUnitClosed() {
  QFETCH(int, pump);
  WindowRun run({"--erase-waits", "2", "--close", QString::number(pump)});
  run.Load();
  QCOMPARE(run.endStatus, std::optional<int>(tovrix::kExitByAbort));
  QCOMPARE(run.questions, 0);
  QCOMPARE(run.Hid().OpenHandles(), 0);
  QCOMPARE(run.events.count(QStringLiteral("closed")), 1);
  // Nothing reaches the unit after the close.
  QVERIFY(run.events.indexOf(QStringLiteral("closed")) == run.events.size() - 2);
  QVERIFY(!run.Window().isVisible());
  QVERIFY(run.Hid().Faults().empty());
}

void UpdateWindowTest::closeWhenIdleClosesUnitWithoutQuestion() {
  WindowRun run({"--caps", "65,64,1"});  // the unit stays open after the update
  run.Load();
  QCOMPARE(run.Hid().OpenHandles(), 2);
  QVERIFY(run.Window().close());
  QCOMPARE(run.questions, 0);
  QCOMPARE(run.Hid().OpenHandles(), 0);
  QCOMPARE(run.events.back(), QStringLiteral("closed"));
  QVERIFY(!run.endStatus);  // the application ends as its last window closes
}

void UpdateWindowTest::loadRunsOnceTheEventLoopRuns() {
  WindowRun run({});
  run.Window().StartLoad();
  QVERIFY(!run.Window().isVisible());
  QCOMPARE(run.Log(), QString());
  QTRY_VERIFY(run.Log().endsWith(QStringLiteral("TovrixPro should now be running with new program ...\n")));
  QVERIFY(run.Window().isVisible());
  QCOMPARE(run.Window().focusWidget(), run.TxtBox());
  QVERIFY(!run.endStatus);
}

QTEST_MAIN(UpdateWindowTest)
#include "update_window_test.moc"
