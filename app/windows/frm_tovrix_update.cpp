#include "app/windows/frm_tovrix_update.h"

#include <algorithm>
#include <string>
#include <vector>

namespace tovrix::win {
namespace {

constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW;  // caption, system menu, sizing, min and max
constexpr DWORD kTxtBoxStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_HSCROLL | WS_VSCROLL |
                               ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY |
                               ES_NOHIDESEL;

void DefaultEnd(int status) { ::ExitProcess(static_cast<UINT>(status)); }

std::string Text(std::string_view text) { return std::string(text); }

struct OuterSize {
  int width;
  int height;
};

OuterSize OuterOf(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

}  // namespace

UINT BoxStyle(BoxKind kind) {
  return kind == BoxKind::Critical ? MB_OK | MB_ICONERROR
                                   : MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1;
}

int WindowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow != nullptr && window != nullptr) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi != 0) return static_cast<int>(dpi);
  }
  HDC dc = ::GetDC(window);
  const int dpi = dc != nullptr ? ::GetDeviceCaps(dc, LOGPIXELSX) : 0;
  if (dc != nullptr) ::ReleaseDC(window, dc);
  return dpi > 0 ? dpi : 96;
}

int PixelsAtLeast(int twips, int dpi) {
  const int pixels = TwipsToPixels(twips, dpi);
  return PixelsToTwips(pixels, dpi) < twips ? pixels + 1 : pixels;
}

frmTovrixUpdate::frmTovrixUpdate(HidApi& api, ImageSource image, Hooks hooks)
{
  if (!hooks.critical) {
    hooks.critical = [this](std::string_view text) {
      ::MessageBoxA(window_, Text(text).c_str(), Text(ApplicationTitle).c_str(),
                    BoxStyle(BoxKind::Critical));
    };
  }
  if (!hooks.question) {
    hooks.question = [this](std::string_view text) {
      return ::MessageBoxA(window_, Text(text).c_str(), Text(ApplicationTitle).c_str(),
                           BoxStyle(BoxKind::Question)) == IDYES;
    };
  }
  if (!hooks.endProgram) hooks.endProgram = DefaultEnd;
  glue_ = std::make_unique<WindowGlue>(*this, api, std::move(image), std::move(hooks));

  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(kIconId), IMAGE_ICON,
                                                        ::GetSystemMetrics(SM_CXICON),
                                                        ::GetSystemMetrics(SM_CYICON), 0));
    windowClass.hIconSm = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(kIconId), IMAGE_ICON,
                                                          ::GetSystemMetrics(SM_CXSMICON),
                                                          ::GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassExA(&windowClass);
    registered = true;
  }

  // The window as designed, hidden until the load handler shows it.
  window_ = ::CreateWindowExA(0, kWindowClass, Text(BaseCaption).c_str(), kWindowStyle, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                              this);
  CreateControls();
  SetDesignSize();
}

frmTovrixUpdate::~frmTovrixUpdate() {
  if (window_ != nullptr) {
    ::SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
  }
  if (font_ != nullptr) ::DeleteObject(font_);
}

void frmTovrixUpdate::CreateControls() {
  const int dpi = Dpi();
  txtBox_ = ::CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "", kTxtBoxStyle, TwipsToPixels(kLogLeft, dpi),
                              TwipsToPixels(kLogTop, dpi), TwipsToPixels(kDesignLogSize.width, dpi),
                              TwipsToPixels(kDesignLogSize.height, dpi), window_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTxtBoxId)),
                              ::GetModuleHandleA(nullptr), nullptr);
  // The user interface's message font rather than the EDIT's old system font.
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  if (::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    font_ = ::CreateFontIndirectA(&metrics.lfMessageFont);
    if (font_ != nullptr) ::SendMessageA(txtBox_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  }
  // No length limit in practice: the most a multi-line EDIT holds.
  ::SendMessageA(txtBox_, EM_SETLIMITTEXT, 0, 0);
  ::SetWindowLongPtrA(txtBox_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  txtBoxDefault_ = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(txtBox_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TxtBoxProc)));
}

void frmTovrixUpdate::SetDesignSize() {
  const int dpi = Dpi();
  RECT rect{0, 0, TwipsToPixels(kDesignClientSize.width, dpi),
            TwipsToPixels(kDesignClientSize.height, dpi)};
  ::AdjustWindowRectEx(&rect, kWindowStyle, FALSE, 0);
  ::SetWindowPos(window_, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void frmTovrixUpdate::FormLoad() { glue_->FormLoad(); }

int frmTovrixUpdate::RunMessageLoop() {
  MSG message{};
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  return message.message == WM_QUIT ? static_cast<int>(message.wParam) : kExitByAbort;
}

std::string frmTovrixUpdate::LogText() const {
  const int length = ::GetWindowTextLengthA(txtBox_);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int got = ::GetWindowTextA(txtBox_, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

// --- Shell ---

void frmTovrixUpdate::SetCaption(std::string_view text) { ::SetWindowTextA(window_, Text(text).c_str()); }

void frmTovrixUpdate::AppendLog(std::string_view text, bool newline) {
  if (text.empty() && !newline) return;
  std::string append(text);
  if (newline) append += "\r\n";

  const auto end = static_cast<WPARAM>(::GetWindowTextLengthA(txtBox_));
  DWORD selStart = 0;
  DWORD selEnd = 0;
  ::SendMessageA(txtBox_, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
  const bool atEnd = selStart == end && selEnd == end;
  ::SendMessageA(txtBox_, EM_SETSEL, end, static_cast<LPARAM>(end));
  ::SendMessageA(txtBox_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(append.c_str()));
  if (!atEnd) ::SendMessageA(txtBox_, EM_SETSEL, selStart, static_cast<LPARAM>(selEnd));
}

void frmTovrixUpdate::ShowCritical(std::string_view text) { glue_->ShowCritical(text); }

bool frmTovrixUpdate::AskQuestion(std::string_view text) { return glue_->AskQuestion(text); }

void frmTovrixUpdate::ShowWindow() {
  ::ShowWindow(window_, SW_SHOWNORMAL);
  ::UpdateWindow(window_);
  ::SetFocus(txtBox_);
  // Showing the window runs the resize handler once.
  FormResize();
}

void frmTovrixUpdate::PumpEvents() {
  glue_->BeforePump();
  MSG message{};
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Not this pump's to take: left for the message loop.
      ::PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
    if (Session().messages.EndRequested()) break;
  }
}

// --- Messages ---

LRESULT CALLBACK frmTovrixUpdate::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    auto* self = static_cast<frmTovrixUpdate*>(create->lpCreateParams);
    self->window_ = window;
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<frmTovrixUpdate*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcA(window, message, wParam, lParam);
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT frmTovrixUpdate::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) FormResize();
      return 0;
    case WM_GETMINMAXINFO: {
      const int dpi = Dpi();
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize.x = PixelsAtLeast(kMinimumOuterSize.width, dpi);
      info->ptMinTrackSize.y = PixelsAtLeast(kMinimumOuterSize.height, dpi);
      return 0;
    }
    case WM_CLOSE:
      glue_->FormUnload();
      // During the update the pump that let the close in ends the program.
      if (!Session().Running()) ::DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      window_ = nullptr;
      ::PostQuitMessage(Session().ExitStatus());
      return 0;
    case WM_SETFOCUS:
      if (txtBox_ != nullptr) ::SetFocus(txtBox_);
      return 0;
    case WM_CHAR:
      glue_->FormKeyPress(static_cast<int>(wParam));
      return 0;
    case WM_CTLCOLORSTATIC:
      // The read-only log on the colour of a text field, not greyed.
      if (reinterpret_cast<HWND>(lParam) == txtBox_) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
        ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    default:
      break;
  }
  return ::DefWindowProcA(window_, message, wParam, lParam);
}

LRESULT CALLBACK frmTovrixUpdate::TxtBoxProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<frmTovrixUpdate*>(::GetWindowLongPtrA(edit, GWLP_USERDATA));
  return self->HandleTxtBoxMessage(message, wParam, lParam);
}

LRESULT frmTovrixUpdate::HandleTxtBoxMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CHAR: {
      int code = static_cast<int>(wParam);
      glue_->TxtBoxKeyPress(code);
      // What is left of the code is what the log acts on: always nothing.
      if (code == 0) return 0;
      wParam = static_cast<WPARAM>(code);
      break;
    }
    case WM_PASTE:
    case WM_CUT:
    case WM_CLEAR:
    case WM_UNDO:
    case EM_UNDO:
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_DELETE) return 0;
      break;
    default:
      break;
  }
  return ::CallWindowProcA(txtBoxDefault_, txtBox_, message, wParam, lParam);
}

// --- Handlers ---

// The size rule on the outer size. It runs from the first show on: until
// then the log keeps its design size.
void frmTovrixUpdate::FormResize() {
  if (window_ == nullptr || txtBox_ == nullptr || !::IsWindowVisible(window_) || ::IsIconic(window_)) return;
  const int dpi = Dpi();
  OuterSize outer = OuterOf(window_);
  if (!::IsZoomed(window_)) {
    const SizeRuleResult rule =
        ApplySizeRule({PixelsToTwips(outer.width, dpi), PixelsToTwips(outer.height, dpi)});
    const int width = std::max(outer.width, PixelsAtLeast(rule.outer.width, dpi));
    const int height = std::max(outer.height, PixelsAtLeast(rule.outer.height, dpi));
    if (width != outer.width || height != outer.height) {
      // May run this handler again for the new size; the log then fits the
      // size the window really has.
      ::SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      outer = OuterOf(window_);
    }
  }
  const SizeRuleResult fit =
      ApplySizeRule({PixelsToTwips(outer.width, dpi), PixelsToTwips(outer.height, dpi)});
  ::SetWindowPos(txtBox_, nullptr, 0, 0, TwipsToPixels(fit.log.width, dpi),
                 TwipsToPixels(fit.log.height, dpi), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace tovrix::win
