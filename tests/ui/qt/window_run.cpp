#include "tests/ui/qt/window_run.h"

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/session_run.h"
#include "emulator/images.h"
#include "tools/emulate/transcript.h"

namespace tovrix::qt::test {
namespace {

std::string ImageText(Image image) {
  if (image == Image::Empty) return {};
  if (image == Image::NoData) return ":00000001FF\r\n";
  std::string text = images::SampleImage();
  if (image == Image::CutShort) {
    std::size_t at = 0;
    for (int line = 0; line < 100; ++line) at = text.find('\n', at) + 1;
    text.resize(at);
  }
  if (image == Image::BadChecksum) {
    // Line 10's checksum digit changed: "Invalid checksum on line 10".
    std::size_t at = 0;
    for (int line = 1; line < 10; ++line) at = text.find('\n', at) + 1;
    const std::size_t checksum = text.find('\r', at) - 1;
    text[checksum] = text[checksum] == '0' ? '1' : '0';
  }
  return text;
}

}  // namespace

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QSize FittedLog(const frmTovrixUpdate& w) {
  const QSize outer = w.OuterSize();
  const int rule = Pixels(Twips(outer.height()) - 700);
  return {Pixels(Twips(outer.width()) - 330), std::max(rule, w.height() - 2 * Pixels(120))};
}

QStringList DropRepeatedCaptions(const QStringList& events) {
  QStringList kept;
  QString caption = QStringLiteral("caption ") + Q(BaseCaption);
  for (const QString& event : events) {
    if (event.startsWith(QLatin1String("caption "))) {
      if (event == caption) continue;
      caption = event;
    }
    kept << event;
  }
  return kept;
}

WindowRun::WindowRun(const QStringList& args, Image image) {
  const QString path = dir_.filePath(QStringLiteral("TOVRIXPRO.HEX"));
  if (image != Image::Missing) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(QByteArray::fromStdString(ImageText(image)));
  }
  std::vector<std::string> list{"--image", path.toStdString()};
  for (const QString& arg : args) list.push_back(arg.toStdString());
  std::string error;
  const auto parsed = headless::ParseEmulateOptions(list, error);
  if (!parsed) qFatal("bad emulator options: %s", error.c_str());
  options_ = *parsed;

  emu::EmulatorEvents unitEvents;
  unitEvents.sent = [this](const uint8_t* report, std::size_t length) {
    events << QStringLiteral("send ") + Q(headless::TranscriptShell::SendText(report, length));
  };
  unitEvents.closed = [this] { events << QStringLiteral("closed"); };
  unitEvents.fault = [this](const std::string& text) {
    events << QStringLiteral("fault ") + Q(text);
  };
  hid_ = std::make_unique<emu::EmulatedHid>(options_.emulator, clock_, unitEvents);

  frmTovrixUpdate::Hooks hooks;
  hooks.critical = [this](std::string_view text) { events << QStringLiteral("box critical ") + Q(text); };
  hooks.question = [this](std::string_view text) {
    ++questions;
    events << QStringLiteral("box question ") + Q(text) +
                  (answer ? QStringLiteral(" -> yes") : QStringLiteral(" -> no"));
    return answer;
  };
  hooks.endProgram = [this](int status) {
    if (!endStatus) endStatus = status;
  };
  hooks.beforePump = [this](int pump) {
    const auto [first, last] = options_.script.equal_range(pump);
    for (auto it = first; it != last; ++it) {
      switch (it->second.kind) {
        case headless::PumpAction::EscYes:
        case headless::PumpAction::EscNo:
          answer = it->second.kind == headless::PumpAction::EscYes;
          PostKey(TxtBox(), Qt::Key_Escape, Qt::NoModifier, QStringLiteral("\x1b"));
          break;
        case headless::PumpAction::Close: {
          // The close button: handled by the pump like any window event.
          QWidget* window = window_.get();
          QMetaObject::invokeMethod(window, [window] { window->close(); }, Qt::QueuedConnection);
          break;
        }
      }
    }
    if (atPump) atPump(pump);
  };
  window_ = std::make_unique<frmTovrixUpdate>(*hid_, path.toStdString(), hooks);
  QObject::connect(window_.get(), &QWidget::windowTitleChanged, window_.get(),
                   [this](const QString& title) { events << QStringLiteral("caption ") + title; });
}

WindowRun::~WindowRun() = default;

void WindowRun::Load() {
  window_->FormLoad();
  // A program that ended at once has no window left to show its last
  // appends; to compare them, put them in the log here.
  if (endStatus) window_->FlushLog();
  events << (endStatus ? QStringLiteral("exit") : QStringLiteral("end"));
}

Transcript WindowRun::Expected() const {
  const std::vector<std::string> lines = tovrix::test::EmulatedTranscript(options_);
  Transcript transcript;
  transcript.log = Q(tovrix::test::ScreenLog(lines));
  for (const std::string& line : lines) {
    if (line.rfind("log ", 0) != 0 && line.rfind("logpart ", 0) != 0) transcript.events << Q(line);
  }
  transcript.events = DropRepeatedCaptions(transcript.events);
  return transcript;
}

void PostKey(QWidget* target, int key, Qt::KeyboardModifiers modifiers, const QString& text) {
  QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, key, modifiers, text));
  QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyRelease, key, modifiers, text));
}

const std::vector<TypedKey>& TypingKeys() {
  static const std::vector<TypedKey> keys{
      {Qt::Key_A, Qt::NoModifier, QStringLiteral("a")},
      {Qt::Key_Z, Qt::ShiftModifier, QStringLiteral("Z")},
      {Qt::Key_5, Qt::NoModifier, QStringLiteral("5")},
      {Qt::Key_Space, Qt::NoModifier, QStringLiteral(" ")},
      {Qt::Key_Tab, Qt::NoModifier, QStringLiteral("\t")},
      {Qt::Key_Backspace, Qt::NoModifier, QStringLiteral("\b")},
      {Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r")},
      {Qt::Key_Enter, Qt::KeypadModifier, QStringLiteral("\r")},
      {Qt::Key_Delete, Qt::NoModifier, QStringLiteral("\x7f")},
      {Qt::Key_V, Qt::ControlModifier, QStringLiteral("\x16")},
      {Qt::Key_X, Qt::ControlModifier, QStringLiteral("\x18")},
      {Qt::Key_A, Qt::ControlModifier, QStringLiteral("\x01")},
  };
  return keys;
}

}  // namespace tovrix::qt::test
