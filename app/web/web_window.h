// frmTovrixUpdate in the browser: the web page as the window of one update
// session. The page itself (app/web/page.js, Module.tovrixPage) draws it;
// this shell hands it the session's requests and passes the page's events
// to the session through WindowGlue, as the desktop windows do:
//
//   caption     the page's title and its heading
//   log         the read-only log on the page, line by line
//   boxes       modal dialogs titled "TovrixPro Update": critical with OK,
//               the question with Yes (the default) and No; the update
//               waits for the answer (Asyncify)
//   pump        the page takes its pending events: about 60 times a second
//               it lets the browser run (redraw, take key presses) before
//               the update goes on; Esc pressed meanwhile reaches the
//               log's key handler here
//   end         the program's end: the page shows the finished log and
//               takes no more input
//
// Closing the page is the window's close: the page closes the devices
// itself (webhid.js), since nothing of the engine runs after the page is
// gone.
#pragma once

#include <string>
#include <string_view>

#include "app/window_glue.h"
#include "hid/ApiDeclarations.h"
#include "messages/messages.h"

namespace tovrix::web {

class WebWindow : public Shell {
 public:
  WebWindow(HidApi& api, ImageSource image);

  // The load handler: the whole update. True when the program was ended.
  bool FormLoad();
  // A key press on the log after the update (during it, keys come in at
  // the pumps).
  void KeyPress(int code);
  bool Ended() const { return ended_; }

  // Shell
  void SetCaption(std::string_view text) override;
  void AppendLog(std::string_view text, bool newline) override;
  void ShowCritical(std::string_view text) override;
  bool AskQuestion(std::string_view text) override;
  void ShowWindow() override;
  void PumpEvents() override;

 private:
  void End(int status);

  WindowGlue glue_;
  bool ended_ = false;
};

}  // namespace tovrix::web
