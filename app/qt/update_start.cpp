#include "app/qt/update_start.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QStandardPaths>
#include <QStringList>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "messages/messages.h"

#if TOVRIX_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace tovrix::qt {
namespace {

// The front end offers the desktop launcher's mode.
constexpr bool kDesktopMode = true;

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::optional<int> AnswerEarly(int argc, char** argv) {
  const std::vector<std::string> args = Arguments(argc, argv);
  const CommandLine line = ParseCommandLine(args, kDesktopMode);
  if (line.action == CommandLine::Action::Update) return std::nullopt;
  if (line.action == CommandLine::Action::Usage) {
    // Qt's own options start with one dash (-platform NAME, -style NAME):
    // with one of them, the command line is judged once Qt has taken them.
    for (const std::string& arg : args) {
      if (arg == "--") break;
      if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') return std::nullopt;
    }
  }
  return Answer(line);
}

DisplayPlaces DisplayPlacesOf(int argc, char** argv) {
  DisplayPlaces places;
  const auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  places.platform = variable("QT_QPA_PLATFORM");
  places.display = variable("DISPLAY");
  places.waylandDisplay = variable("WAYLAND_DISPLAY");
  // Qt takes its options with one dash or two.
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "-platform" || arg == "--platform") places.platform = argv[i + 1];
  }
  // Qt's default tries X where Wayland is not there.
  const bool mayBeX = places.platform.empty() || places.platform.find("xcb") != std::string::npos;
  if (mayBeX && !places.display.empty()) places.displayAnswers = XServerAnswers(places.display);
  return places;
}

bool XServerAnswers(const std::string& display) {
#if TOVRIX_HAVE_XCB
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  const bool answers = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);  // also frees a connection that failed
  return answers;
#else
  (void)display;
  return true;  // Qt finds out
#endif
}

bool HasDisplay(const DisplayPlaces& places) {
  const bool x = !places.display.empty() && places.displayAnswers;
  const bool wayland = !places.waylandDisplay.empty();
  if (places.platform.empty()) return x || wayland;
  std::string_view rest = places.platform;
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    std::string_view entry = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    entry = entry.substr(0, entry.find(':'));  // the platform's own arguments follow a colon
    if (entry.empty()) continue;
    if (entry == "xcb") {
      if (x) return true;
    } else if (entry.rfind("wayland", 0) == 0) {
      if (wayland) return true;
    } else {
      return true;
    }
  }
  return false;
}

CommandLine ReadCommandLine(int argc, char** argv) {
  return ParseCommandLine(Arguments(argc, argv), kDesktopMode);
}

int Answer(const CommandLine& line) {
  switch (line.action) {
    case CommandLine::Action::Version:
      std::fputs(VersionText().c_str(), stdout);
      return 0;
    case CommandLine::Action::Help:
      std::fputs(UsageText(kDesktopMode).c_str(), stdout);
      return 0;
    case CommandLine::Action::Usage:
      // The error can quote an argument: its control characters escaped.
      std::fprintf(stderr, "tovrix-update: %s\n%s", TerminalText(line.error).c_str(),
                   UsageText(kDesktopMode).c_str());
      return kExitUsage;
    case CommandLine::Action::Update:
      break;
  }
  return 0;
}

std::optional<ImageSource> ImageOfTheRun(const CommandLine& line) {
  if (auto image = line.Image()) return image;
  const auto chosen = ChooseImage();
  if (!chosen) return std::nullopt;
  return ImageSource::Named(*chosen);
}

QString ImageDialogFolder() {
  const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  if (!downloads.isEmpty() && QDir(downloads).exists()) return downloads;
  return QDir::homePath();
}

std::optional<std::string> ChooseImage(QWidget* parent) {
  QFileDialog dialog(parent, Q(kChooseImageTitle), ImageDialogFolder());
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  // Both cases: the dialogs of some desktops match patterns case by case.
  dialog.setNameFilters({Q(kImageFilterName) + QStringLiteral(" (*.hex *.HEX)"), Q(kAllFilesFilter)});
  // Qt's own dialog (where the desktop offers none): the size, type and
  // date as wide as they need, the name the rest of a wider dialog.
  if (auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
    QHeaderView* header = view->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < header->count(); ++column) {
      header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
    dialog.resize(dialog.sizeHint().expandedTo(QSize(760, 480)));
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return QFile::encodeName(dialog.selectedFiles().front()).toStdString();
}

}  // namespace tovrix::qt
