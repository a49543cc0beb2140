// What every window of the tool does with its update session, whatever its
// toolkit: the boxes and the end of the program through hooks that tests
// can replace, the count of event pumps, and the window's handlers (load,
// unload, the key presses of the form and of the log) passed to the
// session. A window holds one WindowGlue, implements Shell for its toolkit
// and calls in here from its own event handlers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/update.h"
#include "messages/messages.h"

namespace tovrix {

struct WindowHooks {
  // A critical box with OK; the window's own box where not set.
  std::function<void(std::string_view text)> critical;
  // A question box with Yes and No; true for Yes. The window's own where not set.
  std::function<bool(std::string_view text)> question;
  // Ends the program at once with status, without the window's closing
  // handling. The window's own where not set.
  std::function<void(int status)> endProgram;
  // Called at each event pump of the update, counted from 1, before the
  // pending events are processed: what a user does there. Optional.
  std::function<void(int pump)> beforePump;
};

class WindowGlue {
 public:
  // hooks: critical, question and endProgram set (the window fills in its
  // defaults); shell: the window.
  WindowGlue(Shell& shell, HidApi& api, ImageSource image, WindowHooks hooks)
      : hooks_(std::move(hooks)),
        session_(std::make_unique<UpdateSession>(shell, api, std::move(image))) {}

  UpdateSession& Session() { return *session_; }
  const UpdateSession& Session() const { return *session_; }
  int Pumps() const { return pumps_; }

  // The load handler: the whole update, then the end of the program when
  // the update says so. True when the program was ended.
  bool FormLoad() {
    const UpdateOutcome outcome = session_->RunUpdate();
    if (outcome.ended) hooks_.endProgram(outcome.status);
    return outcome.ended;
  }

  // At the start of each event pump of the update.
  void BeforePump() {
    ++pumps_;
    if (hooks_.beforePump) hooks_.beforePump(pumps_);
  }

  void ShowCritical(std::string_view text) { hooks_.critical(text); }
  bool AskQuestion(std::string_view text) { return hooks_.question(text); }

  // The unload handler: the unit is closed; the close always goes ahead.
  void FormUnload() { session_->Unload(); }

  // The form's key press handler works on a copy of the key's character
  // code, the log's on the code itself: what is left of it (always 0) is
  // what the log acts on.
  void FormKeyPress(int code) { HandleKey(code); }
  void TxtBoxKeyPress(int& code) { HandleKey(code); }

 private:
  void HandleKey(int& code) {
    const KeyOutcome outcome = session_->KeyPress(code);
    code = outcome.code;
    if (outcome.end) hooks_.endProgram(outcome.status);
  }

  WindowHooks hooks_;
  std::unique_ptr<UpdateSession> session_;
  int pumps_ = 0;
};

}  // namespace tovrix
