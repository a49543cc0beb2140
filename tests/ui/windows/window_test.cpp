// The Win32 window in process, against the emulated unit on a virtual
// clock: its log, caption and boxes against the headless transcript of the
// same run, its design and size rule, its keys, and the end of the program.
// What a user does at the update's event pumps is posted as the window
// messages the user's action would bring.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/windows/frm_tovrix_update.h"
#include "tools/emulate/emulate.h"
#include "emulator/emulated_hid.h"
#include "emulator/images.h"
#include "tests/support/test_support.h"

namespace tovrix::win {
namespace {

// The headless run's log as the text of TxtBox, and its last caption.
struct Expected {
  std::string log;
  std::string caption{BaseCaption};
  std::vector<std::string> boxes;
  bool exited = false;
};

class WindowRun {
 public:
  explicit WindowRun(std::vector<std::string> args, const std::optional<std::string>& image = images::SampleImage()) {
    if (image) imagePath_ = dir_.Write("TOVRIXPRO.HEX", *image);
    else imagePath_ = (dir_.path() / "TOVRIXPRO.HEX").string();
    args.push_back("--image");
    args.push_back(imagePath_);
    args_ = args;
    std::string error;
    auto options = headless::ParseEmulateOptions(args, error);
    EXPECT_TRUE(options) << error;
    options_ = *options;

    emu::EmulatorEvents events;
    events.closed = [this] { ++closes; };
    events.fault = [this](const std::string& text) { faults.push_back(text); };
    hid_ = std::make_unique<emu::EmulatedHid>(options_.emulator, clock_, events);

    frmTovrixUpdate::Hooks hooks;
    hooks.critical = [this](std::string_view text) { boxes.emplace_back(text); };
    hooks.question = [this](std::string_view text) {
      ++questions;
      boxes.push_back(std::string(text) + (answer ? " -> yes" : " -> no"));
      return answer;
    };
    hooks.endProgram = [this](int status) {
      if (!endStatus) endStatus = status;
    };
    hooks.beforePump = [this](int pump) { AtPump(pump); };
    window_ = std::make_unique<frmTovrixUpdate>(*hid_, imagePath_, hooks);
  }

  frmTovrixUpdate& Window() { return *window_; }
  emu::EmulatedHid& Hid() { return *hid_; }
  void Load() { window_->FormLoad(); }

  // Processes the window's pending messages, as the idle window does.
  void Idle() {
    MSG message{};
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        quit = true;
        quitStatus = static_cast<int>(message.wParam);
        continue;
      }
      ::TranslateMessage(&message);
      ::DispatchMessageA(&message);
    }
  }

  Expected Headless() const {
    const std::vector<std::string> lines = test::EmulatedTranscript(options_);
    Expected expected;
    expected.log = test::ScreenLog(lines, "\r\n");
    for (const std::string& line : lines) {
      if (line.rfind("caption ", 0) == 0) expected.caption = line.substr(8);
      else if (line.rfind("box critical ", 0) == 0) expected.boxes.push_back(line.substr(13));
      else if (line.rfind("box question ", 0) == 0) expected.boxes.push_back(line.substr(13));
      else if (line == "exit") expected.exited = true;
    }
    return expected;
  }

  std::vector<std::string> boxes;
  std::vector<std::string> faults;
  std::optional<int> endStatus;
  int questions = 0;
  int closes = 0;
  bool answer = true;
  bool quit = false;
  int quitStatus = -1;  // the message loop's status, once it quit
  std::function<void(int pump)> atPump;

 private:
  void AtPump(int pump) {
    for (auto [it, end] = options_.script.equal_range(pump); it != end; ++it) {
      if (it->second.kind == headless::PumpAction::Close) {
        ::PostMessageA(window_->Window(), WM_CLOSE, 0, 0);
      } else {
        answer = it->second.kind == headless::PumpAction::EscYes;
        ::PostMessageA(window_->TxtBox(), WM_CHAR, 27, 1);
      }
    }
    if (atPump) atPump(pump);
  }

  test::TempDir dir_;
  std::string imagePath_;
  std::vector<std::string> args_;
  headless::EmulateOptions options_;
  emu::VirtualClock clock_;
  std::unique_ptr<emu::EmulatedHid> hid_;
  std::unique_ptr<frmTovrixUpdate> window_;
};

std::string Caption(HWND window) {
  char text[256] = {};
  ::GetWindowTextA(window, text, sizeof text);
  return text;
}

SIZE SizeOf(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

TEST(WinWindow, BoxesHaveTheirIconsButtonsAndDefault) {
  EXPECT_EQ(BoxStyle(BoxKind::Critical), static_cast<UINT>(MB_OK | MB_ICONERROR));
  EXPECT_EQ(BoxStyle(BoxKind::Question), static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1));
}

TEST(WinWindow, RunsLikeTheHeadlessUpdate) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> image;
  };
  const Case cases[] = {
      {{}, images::SampleImage()},
      {{"--no-unit"}, images::SampleImage()},
      {{"--before", "45E:7A5:100,4D8:3D:1"}, images::SampleImage()},
      {{"--caps", "64,65,1"}, images::SampleImage()},
      {{"--erase-waits", "3"}, images::SampleImage()},
      {{"--erase-waits", "11"}, images::SampleImage()},
      {{"--silent-query"}, images::SampleImage()},
      {{"--fail-write", "5"}, images::SampleImage()},
      {{}, std::string(":00000001FF\r\n:0400000012345678E4\r\n")},
      {{}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += a + " ";
    SCOPED_TRACE(name + (c.image ? "" : "(no image)"));
    WindowRun run(c.args, c.image);
    const Expected expected = run.Headless();
    run.Load();
    EXPECT_EQ(run.Window().LogText(), expected.log);
    EXPECT_EQ(Caption(run.Window().Window()), expected.caption);
    EXPECT_EQ(run.boxes, expected.boxes);
    EXPECT_EQ(run.endStatus.has_value(), expected.exited);
    if (expected.exited) {
      EXPECT_EQ(*run.endStatus, kExitByAbort);
    }
    EXPECT_TRUE(run.faults.empty()) << run.faults.front();
  }
}

TEST(WinWindow, IsMadeAsDesignedAndShownByTheLoad) {
  WindowRun run({"--no-unit"});
  HWND window = run.Window().Window();
  HWND log = run.Window().TxtBox();
  EXPECT_FALSE(::IsWindowVisible(window));
  EXPECT_EQ(Caption(window), BaseCaption);
  char className[64] = {};
  ::GetClassNameA(window, className, sizeof className);
  EXPECT_STREQ(className, "frmTovrixUpdate");
  const LONG style = ::GetWindowLongA(window, GWL_STYLE);
  for (const LONG bit : std::initializer_list<LONG>{WS_CAPTION, WS_SYSMENU, WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX}) {
    EXPECT_EQ(style & bit, bit);
  }
  const LONG logStyle = ::GetWindowLongA(log, GWL_STYLE);
  for (const LONG bit : std::initializer_list<LONG>{ES_MULTILINE, ES_AUTOVSCROLL, ES_AUTOHSCROLL, WS_HSCROLL, WS_VSCROLL, ES_READONLY}) {
    EXPECT_EQ(logStyle & bit, bit);
  }
  EXPECT_EQ(::GetDlgItem(window, kTxtBoxId), log);
  EXPECT_GE(::SendMessageA(log, EM_GETLIMITTEXT, 0, 0), 0x7FFFFFFE);
  EXPECT_NE(::SendMessageA(window, WM_GETICON, ICON_BIG, 0) + ::GetClassLongPtrA(window, GCLP_HICON), 0);

  const int dpi = run.Window().Dpi();
  RECT client{};
  ::GetClientRect(window, &client);
  EXPECT_EQ(client.right, TwipsToPixels(8415, dpi));
  EXPECT_EQ(client.bottom, TwipsToPixels(5340, dpi));
  EXPECT_EQ(SizeOf(log).cx, TwipsToPixels(8175, dpi));
  EXPECT_EQ(SizeOf(log).cy, TwipsToPixels(4815, dpi));

  run.Load();
  EXPECT_TRUE(::IsWindowVisible(window));
  // Shown: the size rule has fitted the log to the outer size.
  const SIZE outer = SizeOf(window);
  EXPECT_EQ(SizeOf(log).cx, TwipsToPixels(PixelsToTwips(outer.cx, dpi) - 330, dpi));
  EXPECT_EQ(SizeOf(log).cy, TwipsToPixels(PixelsToTwips(outer.cy, dpi) - 700, dpi));
}

TEST(WinWindow, KeepsItsMinimumOuterSizeAndFitsTheLog) {
  WindowRun run({"--no-unit"});
  run.Load();
  HWND window = run.Window().Window();
  HWND log = run.Window().TxtBox();
  const int dpi = run.Window().Dpi();
  struct Case {
    int width, height, outerWidth, outerHeight, logWidth, logHeight;
  };
  const Case cases[] = {{3000, 1500, 4800, 2000, 4470, 1300},
                        {4800, 2000, 4800, 2000, 4470, 1300},
                        {9000, 6000, 9000, 6000, 8670, 5300},
                        {100, 100, 4800, 2000, 4470, 1300}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    ::SetWindowPos(window, nullptr, 0, 0, TwipsToPixels(c.width, dpi), TwipsToPixels(c.height, dpi),
                   SWP_NOMOVE | SWP_NOZORDER);
    run.Idle();
    const SIZE outer = SizeOf(window);
    // Whole pixels: a size asked for that falls short of the minimum by a
    // fraction of a pixel grows to the pixel that covers it.
    EXPECT_EQ(outer.cx, std::max(TwipsToPixels(c.width, dpi), PixelsAtLeast(4800, dpi)));
    EXPECT_EQ(outer.cy, std::max(TwipsToPixels(c.height, dpi), PixelsAtLeast(2000, dpi)));
    EXPECT_NEAR(PixelsToTwips(outer.cx, dpi), c.outerWidth, 1440 / dpi + 1);
    EXPECT_NEAR(PixelsToTwips(outer.cy, dpi), c.outerHeight, 1440 / dpi + 1);
    EXPECT_NEAR(SizeOf(log).cx, TwipsToPixels(c.logWidth, dpi), 1);
    EXPECT_NEAR(SizeOf(log).cy, TwipsToPixels(c.logHeight, dpi), 1);
  }
  // Dragging stops at the minimum too.
  MINMAXINFO info{};
  ::SendMessageA(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(info.ptMinTrackSize.x, PixelsAtLeast(4800, dpi));
  EXPECT_EQ(info.ptMinTrackSize.y, PixelsAtLeast(2000, dpi));
}

TEST(WinWindow, PixelsAtLeastCoverTheTwips) {
  struct Case {
    int twips, dpi, pixels;
  };
  const Case cases[] = {{4800, 96, 320}, {2000, 96, 134}, {2000, 120, 167}, {4800, 144, 480}, {2000, 144, 200},
                        {2000, 192, 267}, {1, 96, 1}, {0, 96, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(PixelsAtLeast(c.twips, c.dpi), c.pixels) << c.twips << " twips at " << c.dpi;
    EXPECT_GE(PixelsToTwips(PixelsAtLeast(c.twips, c.dpi), c.dpi), c.twips);
  }
}

TEST(WinWindow, TheLogIsAppendedAtItsEndWithCrLf) {
  WindowRun run({"--no-unit"});
  frmTovrixUpdate& window = run.Window();
  window.AppendLog("abc", true);
  EXPECT_EQ(window.LogText(), "abc\r\n");
  window.AppendLog("Checking TovrixPro ... ", false);
  window.AppendLog("", false);
  window.AppendLog("OK", true);
  window.AppendLog("", true);
  EXPECT_EQ(window.LogText(), "abc\r\nChecking TovrixPro ... OK\r\n\r\n");
  // A selection of the user's is kept; the caret at the end stays there.
  ::SendMessageA(window.TxtBox(), EM_SETSEL, 1, 3);
  window.AppendLog("more", true);
  DWORD start = 0, end = 0;
  ::SendMessageA(window.TxtBox(), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, 1u);
  EXPECT_EQ(end, 3u);
  const auto length = static_cast<DWORD>(window.LogText().size());
  ::SendMessageA(window.TxtBox(), EM_SETSEL, length, length);
  window.AppendLog("last", true);
  ::SendMessageA(window.TxtBox(), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, static_cast<DWORD>(window.LogText().size()));
  EXPECT_EQ(end, start);
}

TEST(WinWindow, KeysTypedDuringAndAfterTheUpdateLeaveTheLogAsTheHeadlessOne) {
  WindowRun run({});
  const Expected expected = run.Headless();
  HWND log = run.Window().TxtBox();
  run.atPump = [&](int) {
    for (const WPARAM code : std::initializer_list<WPARAM>{'x', '7', '\r', '\b', ' ', 0x16}) ::PostMessageA(log, WM_CHAR, code, 1);
    ::PostMessageA(log, WM_PASTE, 0, 0);
    ::PostMessageA(log, WM_KEYDOWN, VK_DELETE, 1);
  };
  run.Load();
  EXPECT_EQ(run.Window().LogText(), expected.log);
  for (const WPARAM code : std::initializer_list<WPARAM>{'a', '\r', '\b'}) {
    ::SendMessageA(log, WM_CHAR, code, 1);
    ::SendMessageA(run.Window().Window(), WM_CHAR, code, 1);
  }
  ::SendMessageA(log, EM_SETSEL, 0, -1);
  for (const UINT message : std::initializer_list<UINT>{WM_CUT, WM_CLEAR, WM_PASTE, WM_UNDO, EM_UNDO}) {
    ::SendMessageA(log, message, 0, 0);
  }
  EXPECT_EQ(run.Window().LogText(), expected.log);
  EXPECT_FALSE(run.endStatus);
}

TEST(WinWindow, EscDuringTheUpdateAsksAndEndsOnYesWithTheUnitClosed) {
  struct Case {
    std::vector<std::string> args;
    bool ends;
  };
  const Case cases[] = {{{"--esc", "30:yes"}, true},
                        {{"--esc", "30:no"}, false},
                        {{"--erase-waits", "4", "--esc", "2:yes"}, true},
                        {{"--esc", "1:no", "--esc", "40:yes"}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    WindowRun run(c.args);
    const Expected expected = run.Headless();
    run.Load();
    EXPECT_EQ(run.Window().LogText(), expected.log);
    EXPECT_EQ(run.boxes, expected.boxes);
    EXPECT_EQ(run.endStatus.has_value(), c.ends);
    if (c.ends) {
      EXPECT_EQ(*run.endStatus, kExitByAbort);  // stopped: not updated
      EXPECT_EQ(run.closes, 1);
      EXPECT_EQ(run.Hid().OpenHandles(), 0);
    }
    EXPECT_TRUE(run.faults.empty()) << run.faults.front();
  }
}

TEST(WinWindow, ClosingDuringTheUpdateEndsItWithoutAQuestion) {
  WindowRun run({"--close", "25"});
  const Expected expected = run.Headless();
  run.Load();
  EXPECT_EQ(run.Window().LogText(), expected.log);
  EXPECT_EQ(run.questions, 0);
  ASSERT_TRUE(run.endStatus);
  EXPECT_EQ(*run.endStatus, kExitByAbort);
  EXPECT_EQ(run.closes, 1);
  EXPECT_TRUE(run.faults.empty()) << run.faults.front();
}

TEST(WinWindow, AfterTheUpdateEscEndsAtOnceAndClosingEndsTheLoop) {
  {
    WindowRun run({});
    run.Load();
    ::SendMessageA(run.Window().TxtBox(), WM_CHAR, 27, 1);
    EXPECT_EQ(run.questions, 0);
    ASSERT_TRUE(run.endStatus);
    EXPECT_EQ(*run.endStatus, kExitUpdated);
  }
  {
    // Capabilities refused: the unit stays open, so Esc asks.
    WindowRun run({"--caps", "64,64,1"});
    run.Load();
    run.answer = false;
    ::SendMessageA(run.Window().TxtBox(), WM_CHAR, 27, 1);
    EXPECT_EQ(run.questions, 1);
    EXPECT_FALSE(run.endStatus);
    // The window's own key handler does the same with a copy of the code.
    run.answer = true;
    ::SendMessageA(run.Window().Window(), WM_CHAR, 27, 1);
    EXPECT_EQ(run.questions, 2);
    ASSERT_TRUE(run.endStatus);
    EXPECT_EQ(*run.endStatus, kExitByAbort);  // refused: not updated
  }
  {
    WindowRun run({"--no-unit"});
    run.Load();
    ::SendMessageA(run.Window().Window(), WM_CLOSE, 0, 0);
    run.Idle();
    EXPECT_TRUE(run.quit);
    EXPECT_EQ(run.quitStatus, kExitByAbort);  // no unit: not updated
    EXPECT_EQ(run.questions, 0);
    EXPECT_EQ(run.Window().Window(), nullptr);
    EXPECT_FALSE(run.endStatus);
  }
}

}  // namespace
}  // namespace tovrix::win
