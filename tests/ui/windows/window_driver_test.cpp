// tovrix-update.exe from the outside: each test starts the program in a
// folder of its own and works it through window messages only, as a user
// (or an accessibility tool) would: it finds the window and the boxes by
// class and caption, reads the log with WM_GETTEXT, types with WM_CHAR,
// resizes with MoveWindow and answers boxes by their buttons.
//
//   window_driver_test --program PATH [--pause-dir DIR]
//                      [--update-image IMAGE --log-out FILE]
//                      [--open-with PROGID] [gtest options]
//
// With --pause-dir, the run without a unit stops once its log is complete,
// writes DIR/ready and waits (at most a minute) for DIR/go, so that a
// picture of the screen can be taken meanwhile. With --update-image and
// --log-out, UnitRun updates a unit that is plugged in (the test VM's run)
// and writes the window's log to FILE; without them it is skipped. With
// --open-with, OpenWith starts the "Open with" commands that the installer
// registered for .hex files (the ProgID PROGID and the application's
// entry); without it it is skipped.
#include <gtest/gtest.h>

#include "hid/windows/win32.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/version.h"
#include "app/window_rules.h"

namespace {

std::string g_program;
std::string g_pauseDir;
std::string g_updateImage;
std::string g_logOut;
std::string g_openWith;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A path as Windows takes it: Unix paths (from the build, under Wine) go
// through Wine's drive Z:, the file system's root.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    path = "Z:" + path;
  }
  return path;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::string WindowText(HWND window) {
  const auto length = ::SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const auto got = ::SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(length + 1),
                                  reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(got));
  return text;
}

std::string ClassName(HWND window) {
  char name[256] = {};
  ::GetClassNameA(window, name, sizeof name);
  return name;
}

struct Found {
  DWORD process;
  const char* className;
  const char* title;  // null: any
  HWND window;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM lParam) {
  auto* found = reinterpret_cast<Found*>(lParam);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process != found->process || ClassName(window) != found->className) return TRUE;
  if (found->title != nullptr && WindowText(window) != found->title) return TRUE;
  found->window = window;
  return FALSE;
}

// A top-level window of the process with this class (and title).
HWND FindWindowOf(DWORD process, const char* className, const char* title = nullptr) {
  Found found{process, className, title, nullptr};
  ::EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&found));
  return found.window;
}

using MakeCommand = std::function<std::string(const std::filesystem::path& folder)>;

// The program, started in a temporary folder of its own.
class Program {
 public:
  // image: the content of TOVRIXPRO.HEX, or none. arguments: the rest of
  // the command line, made once the folder is there.
  explicit Program(const std::string* image, const MakeCommand& arguments = {})
      : Program(image, WholeCommand{}, [&](const std::filesystem::path& folder) {
          std::string command = "\"" + WindowsPath(g_program) + "\"";
          if (arguments) command += " " + arguments(folder);
          return command;
        }) {}
  // The whole command line, made once the folder is there.
  struct WholeCommand {};
  Program(const std::string* image, WholeCommand, const MakeCommand& command) {
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    dir_ = std::filesystem::path(temp) /
           ("tovrix-driver-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++count_));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    if (image != nullptr) std::ofstream(dir_ / "TOVRIXPRO.HEX", std::ios::binary) << *image;

    std::string line = command(dir_);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    const std::string folder = dir_.string();
    started_ = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                folder.c_str(), &startup, &info_) != FALSE;
  }
  ~Program() {
    if (started_) {
      if (::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(info_.hProcess, 99);
        ::WaitForSingleObject(info_.hProcess, 5000);
      }
      ::CloseHandle(info_.hThread);
      ::CloseHandle(info_.hProcess);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Started() const { return started_; }
  DWORD Id() const { return info_.dwProcessId; }
  bool Running() const { return ::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }

  // The exit status once the program has ended within limit, else -1.
  int ExitStatus(std::chrono::milliseconds limit, const std::function<void()>& meanwhile = {}) {
    const auto end = Clock::now() + limit;
    while (Running()) {
      if (meanwhile) meanwhile();
      if (Clock::now() > end) return -1;
      std::this_thread::sleep_for(20ms);
    }
    DWORD status = 0;
    ::GetExitCodeProcess(info_.hProcess, &status);
    return static_cast<int>(status);
  }

  HWND WaitForWindow(const char* className, const char* title, std::chrono::milliseconds limit) {
    HWND found = nullptr;
    WaitFor([&] { return (found = FindWindowOf(Id(), className, title)) != nullptr; }, limit);
    return found;
  }

 private:
  static inline int count_ = 0;
  std::filesystem::path dir_;
  PROCESS_INFORMATION info_{};
  bool started_ = false;
};

constexpr const char* kBoxClass = "#32770";
constexpr const char* kBoxTitle = "TovrixPro Update";
constexpr const char* kWindowClass = "frmTovrixUpdate";
constexpr const char* kCaption = "TovrixPro Update (Olvane Inc)";
constexpr int kBoxTextId = 0xFFFF;  // the static text of a message box
constexpr auto kStartLimit = 30s;

// An image the search never gets to use: its end-of-file line.
const std::string kImage = ":00000001FF\r\n";

const char* const kSearchLine = "TovrixPro Updater: looking for TovrixPro in UPdate mode ...";
const std::vector<std::string> kNotFoundBlock = {
    "",
    "",
    "Cannot find TovrixPro!",
    "=================",
    "Please close program, connect TovrixPro in UPdate mode, and re-run program",
    "Press and hold UP button on TovrixPro, when connecting USB cable",
    "Wait for display to flash quickly, then release UP button",
    "THEN run this program again",
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\r\n";
  return out;
}

// A device line of a HID device that is not the unit (Wine has a couple of
// its own): "Found USB device:  VID=X, PID=X, Version=X <- Unknown device".
bool IsUnknownDeviceLine(const std::string& line) {
  const std::string head = "Found USB device:  VID=";
  const std::string tail = " <- Unknown device";
  if (line.rfind(head, 0) != 0 || line.size() < head.size() + tail.size() ||
      line.compare(line.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  const std::string middle = line.substr(head.size(), line.size() - head.size() - tail.size());
  std::size_t pid = middle.find(", PID=");
  std::size_t version = middle.find(", Version=");
  if (pid == std::string::npos || version == std::string::npos || version < pid) return false;
  auto hex = [](const std::string& s) {
    return !s.empty() && s.size() <= 4 && s.find_first_not_of("0123456789ABCDEF") == std::string::npos &&
           (s.size() == 1 || s[0] != '0');
  };
  return hex(middle.substr(0, pid)) && hex(middle.substr(pid + 6, version - pid - 6)) &&
         hex(middle.substr(version + 10));
}

int DpiOf(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
  if (getDpi != nullptr && getDpi(window) != 0) return static_cast<int>(getDpi(window));
  HDC dc = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(dc, LOGPIXELSX);
  ::ReleaseDC(nullptr, dc);
  return dpi;
}

SIZE SizeOf(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

// The program's window after a search that found no unit.
class NotFoundRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(program.Started()) << g_program;
    window = program.WaitForWindow(kWindowClass, nullptr, kStartLimit);
    ASSERT_NE(window, nullptr) << "no window";
    // Shown by the load, with its log.
    ASSERT_TRUE(WaitFor([&] { return ::IsWindowVisible(window) && (log = ::GetDlgItem(window, 100)) != nullptr; },
                        kStartLimit));
    ASSERT_EQ(ClassName(log), "Edit");
    ASSERT_TRUE(WaitFor([&] { return WindowText(log).find("THEN run this program again\r\n") != std::string::npos; },
                        kStartLimit))
        << WindowText(log);
  }

  Program program{&kImage};
  HWND window = nullptr;
  HWND log = nullptr;
};

TEST(WindowDriver, WithoutTheImageTheBoxComesAndTheProgramEndsWithStatus1) {
  Program program(nullptr);
  ASSERT_TRUE(program.Started()) << g_program;
  HWND box = program.WaitForWindow(kBoxClass, kBoxTitle, kStartLimit);
  ASSERT_NE(box, nullptr) << "no box titled " << kBoxTitle;
  EXPECT_EQ(WindowText(::GetDlgItem(box, kBoxTextId)), "Cannot find TovrixPro.HEX file");
  // One button, OK; the window is not shown yet; the box waits for its answer.
  EXPECT_NE(::GetDlgItem(box, IDOK), nullptr);
  EXPECT_EQ(::GetDlgItem(box, IDNO), nullptr);
  HWND window = FindWindowOf(program.Id(), kWindowClass);
  EXPECT_TRUE(window == nullptr || !::IsWindowVisible(window));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(program.Running());

  ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
  EXPECT_EQ(program.ExitStatus(10s), 1);
}

// The boxes that come one after the other, each answered with OK, and the
// exit status then.
std::vector<std::string> BoxesUntilTheEnd(Program& program, int& status) {
  std::vector<std::string> texts;
  HWND answered = nullptr;
  status = program.ExitStatus(kStartLimit, [&] {
    HWND box = FindWindowOf(program.Id(), kBoxClass, kBoxTitle);
    if (box == nullptr || box == answered) return;
    texts.push_back(WindowText(::GetDlgItem(box, kBoxTextId)));
    answered = box;
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
  });
  return texts;
}

// A .hex file dropped onto the program: its Windows path is the argument,
// whatever the file's name, and the folder the program starts in has no
// TOVRIXPRO.HEX. The image's line 2 is bad, so the run stops at the check
// of the file, before any unit is looked for.
TEST(WindowDriver, AnImageDroppedOntoTheProgramIsTheOneUsed) {
  const std::string bad = ":00000001FF\r\n:00000001FE\r\n";
  Program program(nullptr, [&](const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder / "New firmware");
    std::ofstream(folder / "New firmware" / "unit v2.hex", std::ios::binary) << bad;
    return "\"" + (folder / "New firmware" / "unit v2.hex").string() + "\"";
  });
  ASSERT_TRUE(program.Started()) << g_program;
  int status = -1;
  EXPECT_EQ(BoxesUntilTheEnd(program, status),
            (std::vector<std::string>{"Invalid checksum on line 2", "Program Abort!"}));
  EXPECT_EQ(status, 1);
}

TEST(WindowDriver, ANamedImageThatCannotBeOpenedSaysWhyAndEndsWithStatus1) {
  std::string path;
  Program program(&kImage, [&](const std::filesystem::path& folder) {
    path = (folder / "missing.hex").string();
    return "\"" + path + "\"";
  });
  ASSERT_TRUE(program.Started()) << g_program;
  int status = -1;
  EXPECT_EQ(BoxesUntilTheEnd(program, status),
            std::vector<std::string>{"Cannot open " + path + ": No such file or directory"});
  EXPECT_EQ(status, 1);
}

TEST(WindowDriver, TheProgramFileCarriesTheProjectVersion) {
  const std::string program = WindowsPath(g_program);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(program.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(::GetFileVersionInfoA(program.c_str(), 0, size, info.data()));
  // The strings of the file's first language and code page (the programs
  // have 040904B0, the installer 040904E4).
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
  ASSERT_GE(length, 4u);
  char block[64];
  std::snprintf(block, sizeof block, "\\StringFileInfo\\%04X%04X\\", translation[0], translation[1]);
  char* text = nullptr;
  ASSERT_TRUE(::VerQueryValueA(info.data(), (std::string(block) + "ProductVersion").c_str(),
                               reinterpret_cast<void**>(&text), &length));
  EXPECT_STREQ(text, TOVRIX_VERSION);
  ASSERT_TRUE(::VerQueryValueA(info.data(), (std::string(block) + "CompanyName").c_str(),
                               reinterpret_cast<void**>(&text), &length));
  EXPECT_STREQ(text, "Olvane Inc");
  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwProductVersionMS, static_cast<DWORD>(TOVRIX_VERSION_MAJOR << 16 | TOVRIX_VERSION_MINOR));
}

TEST_F(NotFoundRun, TheLogHoldsTheSearchLineAndTheNotFoundBlockExactly) {
  EXPECT_EQ(WindowText(window), kCaption);
  EXPECT_TRUE(::IsWindowVisible(window));
  const std::string text = WindowText(log);
  // Every line ends in CR LF; no CR or LF stands alone.
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(lines.back().find_first_of("\r\n"), std::string::npos) << lines.back();
    start = end + 2;
  }
  ASSERT_GE(lines.size(), 1 + kNotFoundBlock.size());
  EXPECT_EQ(lines.front(), kSearchLine);
  const std::size_t devices = lines.size() - 1 - kNotFoundBlock.size();
  for (std::size_t i = 1; i <= devices; ++i) EXPECT_TRUE(IsUnknownDeviceLine(lines[i])) << lines[i];
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(kNotFoundBlock.size()), lines.end()),
            kNotFoundBlock);
  EXPECT_EQ(text.substr(text.size() - Joined(kNotFoundBlock).size()), Joined(kNotFoundBlock));

  if (!g_pauseDir.empty()) {
    // Time for a picture of the finished window.
    const std::filesystem::path dir(g_pauseDir);
    std::ofstream(dir / "ready") << "ready\n";
    WaitFor([&] { return std::filesystem::exists(dir / "go"); }, 60s);
  }
}

TEST_F(NotFoundRun, NothingTypedPastedCutOrDeletedChangesTheLog) {
  const std::string before = WindowText(log);
  // Letters, digits, blank, Tab, Enter, Backspace, Ctrl+V, Ctrl+X, Ctrl+A.
  for (const WPARAM code : std::initializer_list<WPARAM>{'a', 'Z', '5', ' ', '\t', '\r', '\b', 0x16, 0x18, 0x01}) {
    ::SendMessageA(log, WM_CHAR, code, 1);
    ::SendMessageA(window, WM_CHAR, code, 1);
  }
  if (::OpenClipboard(nullptr)) {
    ::EmptyClipboard();
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, 8);
    std::memcpy(::GlobalLock(memory), "pasted", 7);
    ::GlobalUnlock(memory);
    ::SetClipboardData(CF_TEXT, memory);
    ::CloseClipboard();
  }
  ::SendMessageA(log, EM_SETSEL, 0, -1);
  for (const UINT message : std::initializer_list<UINT>{WM_PASTE, WM_CUT, WM_CLEAR, WM_UNDO, EM_UNDO}) {
    ::SendMessageA(log, message, 0, 0);
  }
  ::SendMessageA(log, WM_KEYDOWN, VK_DELETE, 1);
  ::SendMessageA(log, WM_KEYUP, VK_DELETE, 1);
  EXPECT_EQ(WindowText(log), before);
  EXPECT_TRUE(program.Running());
}

TEST_F(NotFoundRun, TheWindowKeepsItsMinimumAndTheLogFollowsItsSize) {
  const int dpi = DpiOf(window);
  auto pixels = [dpi](int twips) { return tovrix::TwipsToPixels(twips, dpi); };
  auto atLeast = [dpi](int twips) {
    const int p = tovrix::TwipsToPixels(twips, dpi);
    return tovrix::PixelsToTwips(p, dpi) < twips ? p + 1 : p;
  };
  struct Case {
    int width, height;           // asked for, twips
    int outerWidth, outerHeight;  // the window then, twips
    int logWidth, logHeight;      // and the log
  };
  const Case cases[] = {
      {3000, 1500, 4800, 2000, 4470, 1300},
      {9000, 6000, 9000, 6000, 8670, 5300},
      {4800, 2000, 4800, 2000, 4470, 1300},
      {4000, 7000, 4800, 7000, 4470, 6300},
      {7000, 1000, 7000, 2000, 6670, 1300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " twips at " +
                 std::to_string(dpi) + " dpi");
    RECT place{};
    ::GetWindowRect(window, &place);
    ::MoveWindow(window, place.left, place.top, pixels(c.width), pixels(c.height), TRUE);
    // Whole pixels: a size that falls short of the minimum by a fraction of
    // a pixel grows to the pixel that covers it.
    const int outerWidth = std::max(pixels(c.width), atLeast(4800));
    const int outerHeight = std::max(pixels(c.height), atLeast(2000));
    WaitFor([&] { return SizeOf(window).cx == outerWidth && SizeOf(window).cy == outerHeight; }, 3s);
    const SIZE outer = SizeOf(window);
    EXPECT_EQ(outer.cx, outerWidth);
    EXPECT_EQ(outer.cy, outerHeight);
    // The log: the outer size less the allowances, converted back from the
    // pixels the window has, to the pixel.
    const int outerTwipsW = tovrix::PixelsToTwips(outer.cx, dpi);
    const int outerTwipsH = tovrix::PixelsToTwips(outer.cy, dpi);
    EXPECT_NEAR(outerTwipsW, c.outerWidth, 1440 / dpi + 1);
    EXPECT_NEAR(outerTwipsH, c.outerHeight, 1440 / dpi + 1);
    const SIZE inner = SizeOf(log);
    EXPECT_NEAR(inner.cx, pixels(c.logWidth), 1);
    EXPECT_NEAR(inner.cy, pixels(c.logHeight), 1);
    EXPECT_EQ(inner.cx, pixels(outerTwipsW - 330));
    EXPECT_EQ(inner.cy, pixels(outerTwipsH - 700));
    // The log stays where it was put: 120 twips from the client area's corner.
    RECT logRect{};
    ::GetWindowRect(log, &logRect);
    POINT corner{logRect.left, logRect.top};
    ::ScreenToClient(window, &corner);
    EXPECT_EQ(corner.x, pixels(120));
    EXPECT_EQ(corner.y, pixels(120));
  }
}

TEST_F(NotFoundRun, EscEndsTheProgramWithoutAQuestion) {
  ::PostMessageA(log, WM_CHAR, 27, 1);
  bool asked = false;
  const int status = program.ExitStatus(10s, [&] {
    if (HWND box = FindWindowOf(program.Id(), kBoxClass)) {
      asked = true;
      ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
    }
  });
  EXPECT_FALSE(asked);
  EXPECT_EQ(status, 1);  // no unit: not updated
}

TEST_F(NotFoundRun, ClosingTheWindowEndsTheProgramWithoutAQuestion) {
  ::PostMessageA(window, WM_CLOSE, 0, 0);
  bool asked = false;
  const int status = program.ExitStatus(10s, [&] {
    if (FindWindowOf(program.Id(), kBoxClass) != nullptr) asked = true;
  });
  EXPECT_FALSE(asked);
  EXPECT_EQ(status, 1);  // no unit: not updated
}

// True when Windows lists a HID interface of the unit (its path names
// vid_04d8&pid_003c, in either case).
bool UnitListed() {
  GUID hid{};
  ::HidD_GetHidGuid(&hid);
  HDEVINFO set = ::SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; !found && ::SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data); ++i) {
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) continue;
    std::string path = detail->DevicePath;
    std::transform(path.begin(), path.end(), path.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    found = path.find("vid_04d8&pid_003c") != std::string::npos;
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return found;
}

// A unit plugged in: once Windows lists it, the program is started with
// the image dropped onto it and runs the whole update; the log is written
// out when it ends as an update ends, and Esc ends the program with
// status 0. The log's lines are checked by the caller against the window's
// log of the emulated unit.
TEST(UnitRun, TheDroppedImageIsWrittenAndEscEndsTheProgramWithStatus0) {
  if (g_updateImage.empty() || g_logOut.empty()) GTEST_SKIP() << "needs --update-image and --log-out";
  ASSERT_TRUE(WaitFor(UnitListed, 120s)) << "Windows lists no unit";
  Program program(nullptr, [](const std::filesystem::path&) { return "\"" + g_updateImage + "\""; });
  ASSERT_TRUE(program.Started()) << g_program;
  // Under Wine in an emulated machine a window program may take minutes to start.
  HWND window = program.WaitForWindow(kWindowClass, nullptr, 300s);
  ASSERT_NE(window, nullptr) << "no window";
  HWND log = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (log = ::GetDlgItem(window, 100)) != nullptr; }, 60s));
  const std::string last = "TovrixPro should now be running with new program ...\r\n";
  std::string box;
  WaitFor([&] {
    if (HWND found = FindWindowOf(program.Id(), kBoxClass, kBoxTitle)) {
      box = WindowText(::GetDlgItem(found, kBoxTextId));
      return true;
    }
    const std::string text = WindowText(log);
    return text.size() >= last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0;
  }, 240s);
  std::ofstream(g_logOut, std::ios::binary) << WindowText(log);
  ASSERT_EQ(box, "") << "a box came";
  ::PostMessageA(log, WM_CHAR, 27, 1);
  EXPECT_EQ(program.ExitStatus(30s), 0);
}

// A string value of a key of HKEY_CURRENT_USER ("" for the default), or
// nullopt when there is none.
std::optional<std::string> UserValue(const std::string& key, const char* name = "") {
  DWORD size = 0;
  if (::RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::string value(size, '\0');
  if (::RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.resize(std::strlen(value.c_str()));
  return value;
}

// An installed copy, started as Explorer's "Open with" starts it on a .hex
// file of another folder (a name with a blank: the command must quote
// "%1"): by each command the registry names, the window opens with that
// file. The folder it starts in has no TOVRIXPRO.HEX, so a log that goes on
// to the search, and ends in the not-found block, shows the file was the
// one read.
TEST(OpenWith, EachRegisteredCommandOpensTheWindowWithTheFile) {
  if (g_openWith.empty()) GTEST_SKIP() << "needs --open-with";
  const std::string classes = "Software\\Classes\\";
  ASSERT_TRUE(UserValue(classes + ".hex\\OpenWithProgids", g_openWith.c_str()).has_value())
      << ".hex does not list " << g_openWith;
  for (const std::string& entry : {g_openWith, std::string("Applications\\tovrix-update.exe")}) {
    SCOPED_TRACE(entry);
    const std::optional<std::string> registered = UserValue(classes + entry + "\\shell\\open\\command");
    ASSERT_TRUE(registered.has_value()) << "no command";
    const std::size_t file = registered->find("%1");
    ASSERT_NE(file, std::string::npos) << *registered;
    Program program(nullptr, Program::WholeCommand{}, [&](const std::filesystem::path& folder) {
      std::filesystem::create_directories(folder / "New firmware");
      const std::filesystem::path image = folder / "New firmware" / "unit v2.hex";
      std::ofstream(image, std::ios::binary) << kImage;
      return std::string(*registered).replace(file, 2, image.string());
    });
    ASSERT_TRUE(program.Started()) << *registered;
    HWND window = program.WaitForWindow(kWindowClass, nullptr, kStartLimit);
    ASSERT_NE(window, nullptr) << "no window; " << (program.Running() ? "running" : "ended") << ", status "
                               << program.ExitStatus(0ms);
    HWND log = nullptr;
    std::string text;
    WaitFor([&] {
      if (log == nullptr) log = ::GetDlgItem(window, 100);
      if (log != nullptr) text = WindowText(log);
      return text.find(Joined(kNotFoundBlock)) != std::string::npos;
    }, kStartLimit);
    EXPECT_EQ(text.rfind(std::string(kSearchLine) + "\r\n", 0), 0u) << text;
    EXPECT_NE(text.find(Joined(kNotFoundBlock)), std::string::npos) << text;
    EXPECT_EQ(FindWindowOf(program.Id(), kBoxClass, kBoxTitle), nullptr) << "a box came";
    ::PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_NE(program.ExitStatus(10s), -1) << "the window did not close";
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--program") == 0) g_program = argv[++i];
    else if (std::strcmp(argv[i], "--pause-dir") == 0) g_pauseDir = WindowsPath(argv[++i]);
    else if (std::strcmp(argv[i], "--update-image") == 0) g_updateImage = WindowsPath(argv[++i]);
    else if (std::strcmp(argv[i], "--log-out") == 0) g_logOut = WindowsPath(argv[++i]);
    else if (std::strcmp(argv[i], "--open-with") == 0) g_openWith = argv[++i];
  }
  if (g_program.empty()) {
    std::fprintf(stderr, "usage: window_driver_test --program PATH [--pause-dir DIR]\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
