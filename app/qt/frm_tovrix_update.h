// frmTovrixUpdate: the tool's one window, a Qt Widgets shell around the
// update session.
//
// The window holds the session (and so every field of the run) and the log
// TxtBox, and hands the session's requests to Qt: the caption, appends to
// the log, the modal boxes, showing the window and pumping its events. Its
// handlers pass the window's events to the session:
//
//   load      FormLoad: the whole update (UpdateSession::RunUpdate)
//   resize    FormResize: the size rule of app/window_rules.h
//   unload    closeEvent: UpdateSession::Unload, the close always goes ahead
//   keys      TxtBox's and the window's key presses: UpdateSession::KeyPress
//             with the key's character code; every code is discarded, so
//             nothing can be typed into the log. Keys without a character
//             code (arrows, page keys) scroll and select.
//
// The log is read-only to every other path as well (paste, cut, drag and
// drop, the context menu). Appends are collected and put into the log at
// the event pumps, at most about 60 times a second, and before anything
// that waits for the user (see FlushLog); the text already in the log is
// never rewritten.
//
// Sizes: the design values are in twips and convert to device-independent
// pixels at 96 dpi. The size rule works on the outer size, frame included
// (the log never leaves more room below it than above, though, where the
// frame is thinner than the Windows frame the rule was made for);
// where the platform does not know the frame (offscreen, or under X before
// the window manager has framed the window) the frame counts as 0 and the
// outer size is the client size. A window manager frames the window only
// after it is shown, and may change the frame later (another theme); the
// rule runs again whenever the frame is not the one it last worked with,
// looked at when the window moves and, on X, when the window manager sets
// a property of the window (the frame's extents among them), which Qt
// passes on as no event of its own.
//
// Boxes and the end of the program go through the hooks of WindowGlue
// (app/window_glue.h), so that tests can answer the boxes and watch the end
// in-process. By default the boxes are modal QMessageBoxes and the end
// flushes the standard streams and ends the process at once, without the
// window's closing handling.
#pragma once

#include <QPlainTextEdit>
#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/update.h"
#include "app/window_glue.h"
#include "app/window_rules.h"
#include "messages/messages.h"

class QCloseEvent;
class QKeyEvent;
class QMessageBox;
class QMoveEvent;
class QResizeEvent;

namespace tovrix::qt {

// The two kinds of message box.
enum class BoxKind { Critical, Question };

// A modal message box as the tool shows it: titled ApplicationTitle;
// critical with OK, or question with Yes and No and Yes the default.
std::unique_ptr<QMessageBox> MakeMessageBox(BoxKind kind, QWidget* parent, const QString& text);

// The character code that a key press delivers, as the key handlers see it:
// 27 for Esc, the first character of the key's text otherwise, 0 for a key
// without one (arrows, page keys, function keys, modifiers).
int CharacterCode(const QKeyEvent& event);

// Twips to device-independent pixels, and back, at 96 dpi.
inline int Pixels(int twips) { return TwipsToPixels(twips, 96); }
inline int Twips(int pixels) { return PixelsToTwips(pixels, 96); }

// The window's icon: the tool's own 32 x 32, 16-colour picture.
QIcon ApplicationIcon();

class frmTovrixUpdate : public QWidget, public Shell {
 public:
  using Hooks = WindowHooks;

  frmTovrixUpdate(HidApi& api, ImageSource image = {}, Hooks hooks = {});
  ~frmTovrixUpdate() override;

  // Runs the load handler once the event loop has started.
  void StartLoad();
  // The load handler: the update, and the end of the program when it says so.
  void FormLoad();

  QPlainTextEdit* TxtBox() const { return txtBox_; }
  UpdateSession& Session() { return glue_->Session(); }
  // The exit status of the program as the run stands (UpdateSession::ExitStatus).
  int ExitStatus() const { return glue_->Session().ExitStatus(); }
  // Event pumps of the update so far.
  int Pumps() const { return glue_->Pumps(); }
  // The outer size in pixels, frame included (0 where it is not known).
  QSize OuterSize() const;
  // Puts the text appended so far into TxtBox now.
  void FlushLog();

  // Shell
  void SetCaption(std::string_view text) override;
  void AppendLog(std::string_view text, bool newline) override;
  void ShowCritical(std::string_view text) override;
  bool AskQuestion(std::string_view text) override;
  void ShowWindow() override;
  void PumpEvents() override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormResize();
  // Runs the size rule when the frame is not the one it last worked with.
  void FrameCheck();

  // Appended text waits here until it goes into the log: at an event pump
  // when kLogFlushMs have passed since the last flush, before a box, when
  // the window is shown and when the load handler is over. One insertion
  // per flush keeps a long log cheap, and the log is redrawn at most about
  // 60 times a second however fast lines come.
  static constexpr int kLogFlushMs = 16;
  QString pendingLog_;
  QElapsedTimer sinceFlush_;

  std::unique_ptr<WindowGlue> glue_;
  QPlainTextEdit* txtBox_ = nullptr;
  // The frame the size rule last worked with.
  QSize ruleFrame_{0, 0};
};

}  // namespace tovrix::qt
