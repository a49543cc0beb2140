#include "app/qt/frm_tovrix_update.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMoveEvent>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QSpacerItem>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/qt/icon/tovrix_icon.xpm"

namespace tovrix::qt {
namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The fewest whole pixels that cover twips.
int PixelsAtLeast(int twips) {
  const int pixels = Pixels(twips);
  return Twips(pixels) < twips ? pixels + 1 : pixels;
}

void DefaultEnd(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

// A message box that opens centred on its window once that is mapped (on
// the screen before), placed as it is shown: QMessageBox takes its size only
// then, and Qt's own placement puts it over a window that is not shown yet,
// at the top left of the screen, and leaves the window's frame out.
class CentredBox final : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);  // the box's size
    QRect area;
    QMargins frame;  // the box's, taken to be its window's: one window manager draws both
    // A window shown a moment ago may not be mapped yet (a box right after
    // the window is shown, as the refusal of an image without data for the
    // unit): the window manager has not placed it, and places it on the
    // screen as it places the box there.
    const QWidget* window = parentWidget() ? parentWidget()->window() : nullptr;
    if (window && window->isVisible() && window->testAttribute(Qt::WA_Mapped)) {
      // The platform window's frame: the widget's may lag behind it.
      if (const QWindow* handle = window->windowHandle()) {
        area = handle->frameGeometry();
        frame = handle->frameMargins();
      } else {
        area = window->frameGeometry();
      }
    } else if (const QScreen* where = screen()) {
      area = where->availableGeometry();
    }
    if (area.isEmpty()) return;
    // The client area's place: before the box is framed, Qt cannot place
    // its frame.
    const QSize outer = size().grownBy(frame);
    setGeometry(QRect(QPoint(area.x() + (area.width() - outer.width()) / 2 + frame.left(),
                             area.y() + (area.height() - outer.height()) / 2 + frame.top()),
                      size()));
  }
};

}  // namespace

std::unique_ptr<QMessageBox> MakeMessageBox(BoxKind kind, QWidget* parent, const QString& text) {
  auto box = std::make_unique<CentredBox>(parent);
  box->setWindowTitle(ToQString(ApplicationTitle));
  box->setText(text);
  box->setWindowModality(Qt::ApplicationModal);
  if (kind == BoxKind::Critical) {
    box->setIcon(QMessageBox::Critical);
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
  } else {
    box->setIcon(QMessageBox::Question);
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::Yes);
    box->setEscapeButton(QMessageBox::No);
  }
  // Wide enough for the whole title beside the frame's icon and buttons,
  // which the window manager draws in a font of its own, often bold and
  // larger: QMessageBox sizes itself by its text alone, and takes no
  // minimum width but its layout's.
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    QFont titleFont = box->font();
    titleFont.setBold(true);
    const QFontMetrics title(titleFont);
    const int width = title.horizontalAdvance(box->windowTitle()) * 5 / 4 + title.height() * 8;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                  grid->columnCount());
  }
  return box;
}

int CharacterCode(const QKeyEvent& event) {
  if (event.key() == Qt::Key_Escape) return kEscape;
  const QString text = event.text();
  return text.isEmpty() ? 0 : text.front().unicode();
}

QIcon ApplicationIcon() { return QIcon(QPixmap(tovrix_icon_xpm)); }

frmTovrixUpdate::frmTovrixUpdate(HidApi& api, ImageSource image, Hooks hooks)
    : QWidget(nullptr, Qt::Window) {
  if (!hooks.critical) {
    hooks.critical = [this](std::string_view text) {
      MakeMessageBox(BoxKind::Critical, this, ToQString(text))->exec();
    };
  }
  if (!hooks.question) {
    hooks.question = [this](std::string_view text) {
      return MakeMessageBox(BoxKind::Question, this, ToQString(text))->exec() == QMessageBox::Yes;
    };
  }
  if (!hooks.endProgram) hooks.endProgram = DefaultEnd;
  glue_ = std::make_unique<WindowGlue>(*this, api, std::move(image), std::move(hooks));

  // The window as designed.
  setObjectName(QStringLiteral("frmTovrixUpdate"));
  setWindowTitle(ToQString(BaseCaption));
  setWindowIcon(ApplicationIcon());
  setFocusPolicy(Qt::NoFocus);
  resize(Pixels(kDesignClientSize.width), Pixels(kDesignClientSize.height));

  // The log: read-only to every path, keys without a character code still
  // scroll and select; no undo history, so a long log costs only its text.
  txtBox_ = new QPlainTextEdit(this);
  txtBox_->setObjectName(QStringLiteral("TxtBox"));
  txtBox_->setLineWrapMode(QPlainTextEdit::NoWrap);
  txtBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtBox_->setReadOnly(true);
  txtBox_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  txtBox_->setUndoRedoEnabled(false);
  txtBox_->setAcceptDrops(false);
  txtBox_->viewport()->setAcceptDrops(false);
  txtBox_->setFocusPolicy(Qt::StrongFocus);
  // Nothing can be typed in, so no text cursor blinks there; the keys still
  // move the selection, which shows where it is.
  txtBox_->setCursorWidth(0);
  txtBox_->setGeometry(Pixels(kLogLeft), Pixels(kLogTop), Pixels(kDesignLogSize.width),
                       Pixels(kDesignLogSize.height));
  txtBox_->installEventFilter(this);
  txtBox_->setFocus();
  sinceFlush_.start();
}

frmTovrixUpdate::~frmTovrixUpdate() = default;

void frmTovrixUpdate::StartLoad() {
  QTimer::singleShot(0, this, [this] { FormLoad(); });
}

void frmTovrixUpdate::FormLoad() {
  if (!glue_->FormLoad()) FlushLog();
}

QSize frmTovrixUpdate::OuterSize() const {
  // The platform window's margins are 0 until it knows the frame. The
  // widget's frameGeometry() may lag behind a frame that has changed.
  QSize frame = frameGeometry().size() - geometry().size();
  if (const QWindow* handle = windowHandle()) {
    const QMargins margins = handle->frameMargins();
    frame = QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
  }
  return size() + frame.expandedTo(QSize(0, 0));
}

// --- Shell ---

void frmTovrixUpdate::SetCaption(std::string_view text) { setWindowTitle(ToQString(text)); }

void frmTovrixUpdate::AppendLog(std::string_view text, bool newline) {
  if (text.empty() && !newline) return;
  pendingLog_ += ToQString(text);
  if (newline) pendingLog_ += QLatin1Char('\n');
}

void frmTovrixUpdate::FlushLog() {
  sinceFlush_.restart();
  if (pendingLog_.isEmpty()) return;

  // The end stays in view unless the user has scrolled away from it. The
  // control's own moves to the end (Ctrl+End, the cursor keys) may stop a
  // line short of the scroll bar's end, so that still counts as the end.
  QScrollBar* bar = txtBox_->verticalScrollBar();
  const bool followEnd = bar->maximum() - bar->value() <= 1;
  QTextCursor end(txtBox_->document());
  end.movePosition(QTextCursor::End);
  end.insertText(pendingLog_);
  pendingLog_.clear();
  if (followEnd) bar->setValue(bar->maximum());
}

void frmTovrixUpdate::ShowCritical(std::string_view text) {
  FlushLog();
  glue_->ShowCritical(text);
}

bool frmTovrixUpdate::AskQuestion(std::string_view text) {
  FlushLog();
  return glue_->AskQuestion(text);
}

void frmTovrixUpdate::ShowWindow() {
  FlushLog();
  show();
  txtBox_->setFocus();
}

void frmTovrixUpdate::PumpEvents() {
  glue_->BeforePump();
  if (!pendingLog_.isEmpty() && sinceFlush_.elapsed() >= kLogFlushMs) FlushLog();
  QCoreApplication::processEvents();
}

// --- Handlers ---

void frmTovrixUpdate::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

// The frame is known (or changed) once the client area has moved inside it.
void frmTovrixUpdate::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  FrameCheck();
}

// On X the window manager gives the frame's extents in a property of the
// window; Qt reads it only after this call, so the check comes after.
bool frmTovrixUpdate::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
  // The first byte of every X event is its type, the high bit set when the
  // event was sent by another client; 28 is PropertyNotify.
  constexpr uint8_t kPropertyNotify = 28;
  if (eventType == "xcb_generic_event_t" &&
      (*static_cast<const uint8_t*>(message) & 0x7F) == kPropertyNotify) {
    QTimer::singleShot(0, this, [this] { FrameCheck(); });
  }
  return QWidget::nativeEvent(eventType, message, result);
}

void frmTovrixUpdate::FrameCheck() {
  if (OuterSize() - size() != ruleFrame_) FormResize();
}

// The size rule on the outer size. A minimised window is left alone; a
// maximised or full-screen one cannot be resized, so only the log follows.
void frmTovrixUpdate::FormResize() {
  if (isMinimized()) return;
  QSize outer = OuterSize();
  const QSize frame = outer - size();
  ruleFrame_ = frame;
  if (!isMaximized() && !isFullScreen()) {
    const SizeRuleResult rule = ApplySizeRule({Twips(outer.width()), Twips(outer.height())});
    const QSize atLeast(PixelsAtLeast(rule.outer.width), PixelsAtLeast(rule.outer.height));
    const QSize grown = outer.expandedTo(atLeast);
    if (grown != outer) {
      // May run this handler again for the new size; the log then fits
      // the size the window really has.
      resize(grown - frame);
      outer = OuterSize();
    }
  }
  const SizeRuleResult fit = ApplySizeRule({Twips(outer.width()), Twips(outer.height())});
  // The allowances hold a Windows frame. Under a thinner one (a window
  // manager's, or none at all) the rule alone leaves an empty strip under
  // the log: the log reaches down to as far from the bottom as from the top.
  const int tallest = height() - 2 * Pixels(kLogTop);
  txtBox_->resize(Pixels(fit.log.width), std::max(Pixels(fit.log.height), tallest));
}

void frmTovrixUpdate::closeEvent(QCloseEvent* event) {
  glue_->FormUnload();
  event->accept();
}

void frmTovrixUpdate::keyPressEvent(QKeyEvent* event) {
  const int code = CharacterCode(*event);
  if (code != 0) glue_->FormKeyPress(code);
  QWidget::keyPressEvent(event);
}

bool frmTovrixUpdate::eventFilter(QObject* watched, QEvent* event) {
  if (watched == txtBox_ && event->type() == QEvent::KeyPress) {
    int code = CharacterCode(*static_cast<QKeyEvent*>(event));
    if (code != 0) {
      glue_->TxtBoxKeyPress(code);
      // What is left of the code is what the log acts on: always nothing.
      if (code == 0) return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tovrix::qt
