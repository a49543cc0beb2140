// frmTovrixUpdate: the tool's one window on Windows, a Win32 window around
// the update session.
//
// The window holds the session (and so every field of the run) and the log
// TxtBox, a multi-line EDIT control with both scroll bars and no wrapping,
// and hands the session's requests to Win32: the caption, appends to the
// log, the modal boxes (MessageBoxA), showing the window and pumping its
// messages. Its handlers pass the window's messages to the session:
//
//   load      FormLoad: the whole update (UpdateSession::RunUpdate)
//   resize    WM_SIZE: the size rule of app/window_rules.h on the outer
//             size; WM_GETMINMAXINFO keeps dragging above the minimum too
//   unload    WM_CLOSE: UpdateSession::Unload, the close always goes ahead
//   keys      WM_CHAR of TxtBox (subclassed) and of the window:
//             UpdateSession::KeyPress with the character code; every code
//             is discarded, so nothing can be typed into the log. Keys
//             without a character code (arrows, page keys) scroll and select.
//
// The log is read-only to every other path as well: the control is
// ES_READONLY, and paste, cut, clear, undo and Delete never reach it. It is
// drawn on the window colour all the same. Appends go at the end (EM_SETSEL
// to the end, EM_REPLACESEL) without rewriting the text already there;
// lines end in CR LF. When the user has moved the caret or selected text,
// the selection is put back after the append; otherwise the end stays in
// view.
//
// Sizes: the design values are in twips and convert to pixels at the
// window's DPI (GetDpiForWindow where Windows has it, else the screen's
// LOGPIXELSX). The size rule works on the outer size, frame included
// (GetWindowRect). A minimised window is left alone; a maximised one cannot
// be resized, so only the log follows.
//
// Boxes and the end of the program go through the hooks of WindowGlue
// (app/window_glue.h), so that tests can answer the boxes and watch the end
// in-process. By default the boxes are
// MessageBoxA boxes titled "TovrixPro Update" and the end is ExitProcess:
// no closing handling of the window runs.
#pragma once

#include "hid/windows/win32.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/update.h"
#include "app/window_glue.h"
#include "app/window_rules.h"
#include "messages/messages.h"

namespace tovrix::win {

inline constexpr const char* kWindowClass = "frmTovrixUpdate";
inline constexpr int kTxtBoxId = 100;
inline constexpr int kIconId = 1;  // the icon resource, in tovrix.rc

// The two kinds of message box, and their MessageBoxA styles.
enum class BoxKind { Critical, Question };
UINT BoxStyle(BoxKind kind);

// The window's DPI: GetDpiForWindow where Windows has it, else LOGPIXELSX.
int WindowDpi(HWND window);
// The fewest whole pixels that cover twips at dpi.
int PixelsAtLeast(int twips, int dpi);

class frmTovrixUpdate : public Shell {
 public:
  using Hooks = WindowHooks;

  frmTovrixUpdate(HidApi& api, ImageSource image = {}, Hooks hooks = {});
  ~frmTovrixUpdate() override;
  frmTovrixUpdate(const frmTovrixUpdate&) = delete;
  frmTovrixUpdate& operator=(const frmTovrixUpdate&) = delete;

  // The load handler: the update, and the end of the program when it says so.
  void FormLoad();
  // Runs the window's messages until it is closed; returns the exit status.
  int RunMessageLoop();

  HWND Window() const { return window_; }
  HWND TxtBox() const { return txtBox_; }
  UpdateSession& Session() { return glue_->Session(); }
  // The text of TxtBox.
  std::string LogText() const;
  int Pumps() const { return glue_->Pumps(); }
  // The window's DPI now.
  int Dpi() const { return WindowDpi(window_); }

  // Shell
  void SetCaption(std::string_view text) override;
  void AppendLog(std::string_view text, bool newline) override;
  void ShowCritical(std::string_view text) override;
  bool AskQuestion(std::string_view text) override;
  void ShowWindow() override;
  void PumpEvents() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK TxtBoxProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleTxtBoxMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void CreateControls();
  void SetDesignSize();
  void FormResize();

  std::unique_ptr<WindowGlue> glue_;
  HWND window_ = nullptr;
  HWND txtBox_ = nullptr;
  WNDPROC txtBoxDefault_ = nullptr;
  HFONT font_ = nullptr;
};

}  // namespace tovrix::win
