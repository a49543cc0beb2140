// The window without a unit: its design, the size rule, the log as the
// engine appends to it and as the user may (not) change it, and its boxes.
#include <QPushButton>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QScrollBar>
#include <QSet>
#include <QTest>
#include <QTextCursor>
#include <QTimer>
#include <memory>
#include <optional>

#include "app/qt/frm_tovrix_update.h"
#include "hid/platform.h"
#include "tests/ui/qt/window_run.h"

using tovrix::qt::frmTovrixUpdate;
using tovrix::qt::Pixels;
using tovrix::qt::Twips;
using tovrix::qt::test::FittedLog;
using tovrix::qt::test::Q;

namespace {

// A window that never reaches a unit; its boxes and end are written down.
struct Bare {
  explicit Bare(bool defaultBoxes = false, std::string image = "no/such/TOVRIXPRO.HEX") {
    frmTovrixUpdate::Hooks hooks;
    if (!defaultBoxes) {
      hooks.critical = [this](std::string_view text) {
        boxes << Q(text);
        logAtBox = log()->toPlainText();
      };
      hooks.question = [this](std::string_view text) {
        boxes << Q(text);
        return true;
      };
    }
    hooks.endProgram = [this](int status) { ended = status; };
    window = std::make_unique<frmTovrixUpdate>(api, std::move(image), hooks);
  }
  QPlainTextEdit* log() { return window->TxtBox(); }
  void Lines(int count) {
    for (int i = 0; i < count; ++i) window->AppendLog("Writing data from $400 (line 3) ...", true);
    window->FlushLog();
  }

  tovrix::NoDevicesHidApi api;
  QStringList boxes;
  QString logAtBox;
  std::optional<int> ended;
  std::unique_ptr<frmTovrixUpdate> window;
};

// Answers the next modal box with a key, once it is up; notes what it showed.
struct BoxAnswerer {
  explicit BoxAnswerer(int key) {
    QObject::connect(&timer, &QTimer::timeout, [this, key] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      timer.stop();
      seen = box->windowTitle() + QLatin1Char('|') + box->text();
      modal = box->isModal();
      icon = box->icon();
      buttons = box->standardButtons();
      defaultButton = box->standardButton(box->defaultButton());
      QTest::keyClick(box, static_cast<Qt::Key>(key));
    });
    timer.start(5);
  }
  QTimer timer;
  QString seen;
  bool modal = false;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void designValues();
  void iconIs32By32In16Colours();
  void sizeRule_data();
  void sizeRule();
  void sizeRuleRunsWhenFirstShown();
  void maximisedWindowKeepsItsSizeAndFitsTheLog();
  void appendLog_data();
  void appendLog();
  void appendLeavesSelectionAndCursorAlone();
  void appendsReachTheLogAtAPumpAndBeforeABox();
  void logFollowsItsEndUnlessScrolledUp();
  void logIsReadOnlyToEveryPath();
  void keysWithoutCodeScrollAndSelect();
  void characterCode_data();
  void characterCode();
  void defaultBoxesAreModalAndAnswered_data();
  void defaultBoxesAreModalAndAnswered();
};

void WindowTest::designValues() {
  Bare bare;
  frmTovrixUpdate& w = *bare.window;
  QCOMPARE(w.objectName(), QStringLiteral("frmTovrixUpdate"));
  QCOMPARE(w.windowTitle(), Q(tovrix::BaseCaption));
  QVERIFY(w.isWindow());
  const Qt::WindowFlags flags = w.windowFlags();
  QVERIFY(flags.testFlags(Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint |
                          Qt::WindowSystemMenuHint | Qt::WindowTitleHint));
  QCOMPARE(w.size(), QSize(561, 356));  // 8415 x 5340 twips

  QPlainTextEdit* log = bare.log();
  QCOMPARE(log->objectName(), QStringLiteral("TxtBox"));
  QCOMPARE(log->geometry(), QRect(8, 8, 545, 321));  // 120, 120; 8175 x 4815 twips
  QCOMPARE(log->lineWrapMode(), QPlainTextEdit::NoWrap);
  QCOMPARE(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  QVERIFY(log->isReadOnly());
  QVERIFY(!log->testAttribute(Qt::WA_SetFont));
  QCOMPARE(log->toPlainText(), QString());
  QCOMPARE(w.findChildren<QPlainTextEdit*>().size(), 1);

  // The log is the one control that takes the focus.
  QCOMPARE(w.focusPolicy(), Qt::NoFocus);
  for (QWidget* child : w.findChildren<QWidget*>()) {
    if (child != log) QVERIFY2(child->focusPolicy() == Qt::NoFocus, child->metaObject()->className());
  }
  w.ShowWindow();
  QVERIFY(QTest::qWaitForWindowExposed(&w));
  QCOMPARE(w.windowState(), Qt::WindowNoState);
  QCOMPARE(QApplication::focusWidget(), log);
}

void WindowTest::iconIs32By32In16Colours() {
  const QIcon icon = tovrix::qt::ApplicationIcon();
  QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
  const QImage image = icon.pixmap(32, 32).toImage();
  QCOMPARE(image.size(), QSize(32, 32));
  QSet<QRgb> colours;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) colours.insert(image.pixel(x, y));
  QVERIFY(colours.size() > 4);
  QVERIFY(colours.size() <= 16);
  Bare bare;
  QVERIFY(!bare.window->windowIcon().isNull());
}

// Outer sizes in twips: the size asked for, the size the rule leaves, and
// the log's width; the log stays at 120, 120. Offscreen there is no frame:
// the log reaches down to 120 twips from the bottom, not to the rule's 700
// from the outer edge, which would leave an empty strip under it.
void WindowTest::sizeRule_data() {
  QTest::addColumn<QSize>("asked");
  QTest::addColumn<QSize>("outer");
  QTest::addColumn<int>("logWidth");
  QTest::newRow("too small both ways") << QSize(3000, 1500) << QSize(4800, 2000) << 4470;
  QTest::newRow("the minimum itself") << QSize(4800, 2000) << QSize(4800, 2000) << 4470;
  QTest::newRow("larger") << QSize(9000, 6000) << QSize(9000, 6000) << 8670;
  QTest::newRow("too narrow") << QSize(4005, 6000) << QSize(4800, 6000) << 4470;
  QTest::newRow("too low") << QSize(9000, 1005) << QSize(9000, 2000) << 8670;
}

void WindowTest::sizeRule() {
  QFETCH(QSize, asked);
  QFETCH(QSize, outer);
  QFETCH(int, logWidth);

  Bare bare;
  frmTovrixUpdate& w = *bare.window;
  w.ShowWindow();
  QVERIFY(QTest::qWaitForWindowExposed(&w));
  const QSize frame = w.OuterSize() - w.size();
  w.resize(QSize(Pixels(asked.width()), Pixels(asked.height())) - frame);

  // The outer size is the smallest whole number of pixels that holds it.
  const auto outerTwips = [&w] { return QSize(Twips(w.OuterSize().width()), Twips(w.OuterSize().height())); };
  QTRY_VERIFY2(outerTwips().width() >= outer.width() && outerTwips().height() >= outer.height(),
               qPrintable(QStringLiteral("%1 x %2").arg(outerTwips().width()).arg(outerTwips().height())));
  QVERIFY(outerTwips().width() - outer.width() < 15 && outerTwips().height() - outer.height() < 15);
  QCOMPARE(bare.log()->width(), Pixels(logWidth));
  QCOMPARE(bare.log()->pos(), QPoint(Pixels(120), Pixels(120)));
  QCOMPARE(w.height() - bare.log()->geometry().bottom() - 1, Pixels(120));
}

void WindowTest::sizeRuleRunsWhenFirstShown() {
  Bare bare;
  frmTovrixUpdate& w = *bare.window;
  w.ShowWindow();
  QCOMPARE(bare.log()->size(), FittedLog(w));
}

void WindowTest::maximisedWindowKeepsItsSizeAndFitsTheLog() {
  Bare bare;
  frmTovrixUpdate& w = *bare.window;
  w.showMaximized();
  QVERIFY(QTest::qWaitForWindowExposed(&w));
  QTRY_VERIFY(w.isMaximized());
  QTRY_COMPARE(bare.log()->size(), FittedLog(w));
  QCOMPARE(bare.log()->pos(), QPoint(8, 8));
}

// Each piece is appended with the line end when it ends in "\n".
void WindowTest::appendLog_data() {
  QTest::addColumn<QStringList>("pieces");
  QTest::addColumn<QString>("text");
  QTest::newRow("a line") << QStringList{"abc\n"} << "abc\n";
  QTest::newRow("fragment and result") << QStringList{"Checking TovrixPro ... ", "OK\n"}
                                       << "Checking TovrixPro ... OK\n";
  QTest::newRow("fragments") << QStringList{"Erasing TovrixPro ... ", "(waiting) ... ",
                                            "(waiting) ... ", "OK\n", "\n", "Writing\n"}
                             << "Erasing TovrixPro ... (waiting) ... (waiting) ... OK\n\nWriting\n";
  QTest::newRow("empty line after a line") << QStringList{"a\n", "\n"} << "a\n\n";
  QTest::newRow("empty text ends a fragment") << QStringList{"a", "\n"} << "a\n";
  QTest::newRow("empty text without a line end") << QStringList{"a\n", ""} << "a\n";
  QTest::newRow("nothing") << QStringList{""} << "";
  QTest::newRow("leading empty lines") << QStringList{"\n", "\n", "Cannot find TovrixPro!\n"}
                                       << "\n\nCannot find TovrixPro!\n";
}

void WindowTest::appendLog() {
  QFETCH(QStringList, pieces);
  QFETCH(QString, text);
  Bare bare;
  for (const QString& piece : pieces) {
    const bool newline = piece.endsWith('\n');
    const QByteArray bytes = (newline ? piece.chopped(1) : piece).toUtf8();
    bare.window->AppendLog(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                           newline);
  }
  bare.window->FlushLog();
  QCOMPARE(bare.log()->toPlainText(), text);
}

void WindowTest::appendLeavesSelectionAndCursorAlone() {
  Bare bare;
  bare.Lines(30);
  QTextCursor selection(bare.log()->document());
  selection.setPosition(40);
  selection.setPosition(70, QTextCursor::KeepAnchor);
  bare.log()->setTextCursor(selection);
  const QString before = bare.log()->toPlainText();

  bare.window->AppendLog("more", false);
  bare.window->AppendLog("", true);
  bare.window->FlushLog();

  QCOMPARE(bare.log()->toPlainText(), before + QStringLiteral("more\n"));
  QCOMPARE(bare.log()->textCursor().anchor(), 40);
  QCOMPARE(bare.log()->textCursor().position(), 70);
}

void WindowTest::appendsReachTheLogAtAPumpAndBeforeABox() {
  Bare bare;
  frmTovrixUpdate& w = *bare.window;
  w.ShowWindow();
  QTest::qWait(20);
  w.AppendLog("Checking TovrixPro ... ", false);
  w.PumpEvents();
  QCOMPARE(bare.log()->toPlainText(), QStringLiteral("Checking TovrixPro ... "));

  // However fast the lines come, none is lost and none waits past a box.
  for (int i = 0; i < 1000; ++i) {
    w.AppendLog("Writing data from $400 (line 3) ...", true);
    w.PumpEvents();
  }
  w.AppendLog("Invalid QUERY response - not connected to TovrixPro?", true);
  w.ShowCritical("Program Abort!");
  QCOMPARE(bare.boxes, QStringList{"Program Abort!"});
  QVERIFY(bare.logAtBox.endsWith(QStringLiteral("...\nInvalid QUERY response - not connected to TovrixPro?\n")));
  QCOMPARE(bare.logAtBox.count('\n'), 1001);
}

void WindowTest::logFollowsItsEndUnlessScrolledUp() {
  Bare bare;
  bare.window->ShowWindow();
  QVERIFY(QTest::qWaitForWindowExposed(bare.window.get()));
  QScrollBar* bar = bare.log()->verticalScrollBar();

  bare.Lines(200);
  QVERIFY(bar->maximum() > 100);
  QCOMPARE(bar->value(), bar->maximum());

  bar->setValue(10);  // the user scrolls up
  bare.Lines(50);
  QCOMPARE(bar->value(), 10);
  bar->setValue(bar->maximum() - 2);  // a little
  bare.Lines(1);
  QCOMPARE(bar->value(), bar->maximum() - 3);

  bar->setValue(bar->maximum());  // and back to the end
  bare.Lines(50);
  QCOMPARE(bar->value(), bar->maximum());
  QCOMPARE(bare.log()->document()->blockCount(), 301 + 1);  // and the open last line
}

void WindowTest::logIsReadOnlyToEveryPath() {
  Bare bare;
  bare.window->ShowWindow();
  QPlainTextEdit* log = bare.log();
  bare.Lines(5);
  const QString text = log->toPlainText();
  log->selectAll();

  QApplication::clipboard()->setText(QStringLiteral("pasted"));
  log->paste();
  log->cut();
  QTest::keyClick(log, Qt::Key_Delete);
  QTest::keyClick(log, Qt::Key_Backspace);
  QTest::keyClick(log, Qt::Key_V, Qt::ControlModifier);
  QTest::keyClick(log, Qt::Key_X, Qt::ControlModifier);
  QTest::keyClicks(log, QStringLiteral("typed"));
  QCOMPARE(log->toPlainText(), text);

  // Drag and drop of text.
  QMimeData mime;
  mime.setText(QStringLiteral("dropped"));
  const QPoint at(20, 20);
  QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(log->viewport(), &enter);
  QVERIFY(!enter.isAccepted());
  QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(log->viewport(), &drop);
  QCOMPARE(log->toPlainText(), text);

  // The context menu offers nothing that changes the text.
  std::unique_ptr<QMenu> menu(log->createStandardContextMenu());
  for (QAction* action : menu->actions()) {
    for (const char* name : {"edit-undo", "edit-redo", "edit-cut", "edit-paste", "edit-delete"}) {
      QVERIFY2(action->objectName() != QLatin1String(name) || !action->isEnabled(), name);
    }
  }
  QVERIFY(bare.boxes.isEmpty());
  QVERIFY(!bare.ended);
}

void WindowTest::keysWithoutCodeScrollAndSelect() {
  Bare bare;
  bare.window->ShowWindow();
  QVERIFY(QTest::qWaitForWindowExposed(bare.window.get()));
  QPlainTextEdit* log = bare.log();
  bare.Lines(200);
  log->moveCursor(QTextCursor::Start);
  QScrollBar* bar = log->verticalScrollBar();
  QCOMPARE(bar->value(), 0);

  QTest::keyClick(log, Qt::Key_Down, Qt::ShiftModifier);
  QVERIFY(log->textCursor().hasSelection());
  QTest::keyClick(log, Qt::Key_PageDown);
  QVERIFY(bar->value() > 0);
  QCOMPARE(log->toPlainText().size(), 200 * 36);

  // Back at the end by the keyboard, the log follows new lines again.
  QTest::keyClick(log, Qt::Key_End, Qt::ControlModifier);
  QVERIFY(bar->maximum() - bar->value() <= 1);
  bare.Lines(20);
  QCOMPARE(bar->value(), bar->maximum());
}

void WindowTest::characterCode_data() {
  QTest::addColumn<int>("key");
  QTest::addColumn<int>("modifiers");
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("code");
  QTest::newRow("Esc") << int(Qt::Key_Escape) << 0 << QString("\x1b") << 27;
  QTest::newRow("Esc without text") << int(Qt::Key_Escape) << 0 << QString() << 27;
  QTest::newRow("letter") << int(Qt::Key_A) << 0 << QString("a") << 97;
  QTest::newRow("Enter") << int(Qt::Key_Return) << 0 << QString("\r") << 13;
  QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 0 << QString("\b") << 8;
  QTest::newRow("Ctrl+V") << int(Qt::Key_V) << int(Qt::ControlModifier) << QString("\x16") << 22;
  QTest::newRow("non-Latin letter") << int(Qt::Key_unknown) << 0 << QString::fromUtf8("\xc3\xa9") << 0xE9;
  QTest::newRow("arrow") << int(Qt::Key_Left) << 0 << QString() << 0;
  QTest::newRow("page key") << int(Qt::Key_PageDown) << 0 << QString() << 0;
  QTest::newRow("function key") << int(Qt::Key_F1) << 0 << QString() << 0;
  QTest::newRow("Shift alone") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << QString() << 0;
}

void WindowTest::characterCode() {
  QFETCH(int, key);
  QFETCH(int, modifiers);
  QFETCH(QString, text);
  QFETCH(int, code);
  const QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
  QCOMPARE(tovrix::qt::CharacterCode(event), code);
}

void WindowTest::defaultBoxesAreModalAndAnswered_data() {
  QTest::addColumn<bool>("question");
  QTest::addColumn<int>("key");
  QTest::addColumn<bool>("yes");
  QTest::newRow("critical, Enter") << false << int(Qt::Key_Return) << false;
  QTest::newRow("critical, Esc") << false << int(Qt::Key_Escape) << false;
  QTest::newRow("question, Enter takes Yes") << true << int(Qt::Key_Return) << true;
  QTest::newRow("question, Esc takes No") << true << int(Qt::Key_Escape) << false;
  QTest::newRow("question, N") << true << int(Qt::Key_N) << false;
}

void WindowTest::defaultBoxesAreModalAndAnswered() {
  QFETCH(bool, question);
  QFETCH(int, key);
  QFETCH(bool, yes);
  Bare bare(true);
  bare.window->ShowWindow();
  BoxAnswerer answerer(key);
  bool answer = false;
  if (question) {
    answer = bare.window->AskQuestion("Exit TovrixPro Update - Are you sure");
  } else {
    bare.window->ShowCritical("Program Abort!");
  }
  QCOMPARE(answer, yes);
  QVERIFY(answerer.modal);
  QCOMPARE(answerer.icon, question ? QMessageBox::Question : QMessageBox::Critical);
  QCOMPARE(answerer.buttons, question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
  QCOMPARE(answerer.defaultButton, question ? QMessageBox::Yes : QMessageBox::Ok);
  QCOMPARE(answerer.seen, question ? QStringLiteral("TovrixPro Update|Exit TovrixPro Update - Are you sure")
                                   : QStringLiteral("TovrixPro Update|Program Abort!"));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
