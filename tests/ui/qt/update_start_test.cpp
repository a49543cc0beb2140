// How tovrix-update starts in the desktop launcher's mode: the file dialog
// that asks for the image, where it starts, what it offers (columns that
// can be read whole), and Cancel.
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <functional>

#include "app/qt/update_start.h"

namespace {

// Does to the file dialog, once it is up, what the user does.
void WhenTheDialogIsUp(const std::function<void(QFileDialog&)>& act) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    timer->stop();
    timer->deleteLater();
    act(*dialog);
  });
  timer->start(10);
}

}  // namespace

class UpdateStartTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral(".config"))));
  }
  void dialogStartsInDownloadsOrHome();
  void dialogOffersHexImagesAndCancelGivesNothing();
  void theImageChosenIsANamedImage();
  void displayIsLookedForBeforeQt_data();
  void displayIsLookedForBeforeQt();

 private:
  QTemporaryDir home;
};

void UpdateStartTest::dialogStartsInDownloadsOrHome() {
  QCOMPARE(tovrix::qt::ImageDialogFolder(), home.path());
  QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Downloads")));
  QCOMPARE(tovrix::qt::ImageDialogFolder(), home.filePath(QStringLiteral("Downloads")));
}

void UpdateStartTest::dialogOffersHexImagesAndCancelGivesNothing() {
  QString folder;
  QStringList filters;
  QFileDialog::FileMode mode = QFileDialog::AnyFile;
  // A file to list, of a size and type whose columns must be read whole.
  QFile listed(QDir(tovrix::qt::ImageDialogFolder()).filePath(QStringLiteral("TOVRIXPRO.HEX")));
  QVERIFY(listed.open(QIODevice::WriteOnly));
  listed.write(QByteArray(123456, 'x'));
  listed.close();
  QStringList narrow;
  WhenTheDialogIsUp([&](QFileDialog& dialog) {
    folder = dialog.directory().absolutePath();
    filters = dialog.nameFilters();
    mode = dialog.fileMode();
    // Qt's own dialog, offscreen: once the folder is listed, no column is
    // narrower than its heading or its widest entry.
    auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
    if (view) {
      for (int i = 0; i < 200 && view->model()->rowCount(view->rootIndex()) == 0; ++i) QTest::qWait(10);
      QTest::qWait(50);
      const QHeaderView* header = view->header();
      for (int column = 0; column < header->count(); ++column) {
        const int needs = std::max(static_cast<const QAbstractItemView*>(view)->sizeHintForColumn(column),
                                   header->sectionSizeHint(column));
        if (header->sectionSize(column) < needs) narrow << QString::number(column);
      }
      if (view->model()->rowCount(view->rootIndex()) == 0) narrow << QStringLiteral("nothing listed");
    } else {
      narrow << QStringLiteral("no list");
    }
    dialog.reject();
  });
  const std::optional<tovrix::ImageSource> image =
      tovrix::qt::ImageOfTheRun(tovrix::ParseCommandLine({"--desktop"}, true));
  QVERIFY(!image);
  QCOMPARE(folder, tovrix::qt::ImageDialogFolder());
  QCOMPARE(filters, (QStringList{QStringLiteral("Intel HEX images (*.hex *.HEX)"), QStringLiteral("All files (*)")}));
  QVERIFY2(narrow.isEmpty(), qPrintable(narrow.join(QLatin1Char(' '))));
  QCOMPARE(mode, QFileDialog::ExistingFile);
}

void UpdateStartTest::theImageChosenIsANamedImage() {
  const QString path = home.filePath(QStringLiteral("new firmware.hex"));
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.close();
  WhenTheDialogIsUp([&](QFileDialog& dialog) {
    // Typed into the file name, then Enter.
    auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!name) return dialog.reject();
    name->setText(path);
    QTest::keyClick(name, Qt::Key_Return);
  });
  const auto image = tovrix::qt::ImageOfTheRun(tovrix::ParseCommandLine({"--desktop"}, true));
  QVERIFY(image);
  QCOMPARE(QString::fromStdString(image->path), path);
  QVERIFY(image->named);
  // With an image, or without the launcher's mode, no dialog comes.
  QCOMPARE(tovrix::qt::ImageOfTheRun(tovrix::ParseCommandLine({"--desktop", "a.hex"}, true))->path, "a.hex");
  QCOMPARE(tovrix::qt::ImageOfTheRun(tovrix::ParseCommandLine({}, true))->path, tovrix::kImageFileName);
}

void UpdateStartTest::displayIsLookedForBeforeQt_data() {
  QTest::addColumn<QString>("platform");
  QTest::addColumn<QString>("display");
  QTest::addColumn<QString>("wayland");
  QTest::addColumn<bool>("answers");  // the X server of DISPLAY
  QTest::addColumn<bool>("has");
  const QString none;
  const QString x = QStringLiteral(":0");
  const QString w = QStringLiteral("wayland-0");
  QTest::newRow("ssh, nothing") << none << none << none << true << false;
  QTest::newRow("X") << none << x << none << true << true;
  QTest::newRow("X that does not answer") << none << x << none << false << false;
  QTest::newRow("X that does not answer, Wayland") << none << x << w << false << true;
  QTest::newRow("Wayland") << none << none << w << true << true;
  QTest::newRow("xcb without X") << QStringLiteral("xcb") << none << w << true << false;
  QTest::newRow("xcb, X does not answer") << QStringLiteral("xcb") << x << w << false << false;
  QTest::newRow("wayland without Wayland") << QStringLiteral("wayland-egl") << x << none << true << false;
  QTest::newRow("either") << QStringLiteral("wayland;xcb") << x << none << true << true;
  QTest::newRow("neither") << QStringLiteral("wayland;xcb") << none << none << true << false;
  QTest::newRow("offscreen") << QStringLiteral("offscreen") << none << none << true << true;
  QTest::newRow("offscreen, X does not answer") << QStringLiteral("offscreen") << x << none << false << true;
  QTest::newRow("vnc with its arguments") << QStringLiteral("vnc:size=800x600") << none << none << true << true;
}

void UpdateStartTest::displayIsLookedForBeforeQt() {
  QFETCH(QString, platform);
  QFETCH(QString, display);
  QFETCH(QString, wayland);
  QFETCH(bool, answers);
  QFETCH(bool, has);
  QCOMPARE(tovrix::qt::HasDisplay({platform.toStdString(), display.toStdString(), wayland.toStdString(), answers}),
           has);
}

QTEST_MAIN(UpdateStartTest)
#include "update_start_test.moc"
