// How tovrix-update starts: its command line answered, and the image of
// the run, asked for in a file dialog in the desktop launcher's mode.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>

#include "app/command_line.h"

class QWidget;

namespace tovrix::qt {

// Answers the command line before Qt starts where it can, so that
// --version, --help and mistakes need no display: the exit status, or
// nothing when the program goes on. argv may still hold Qt's own options
// (-platform NAME): with one of them, only --version and --help are
// answered here.
std::optional<int> AnswerEarly(int argc, char** argv);

// Where the window would be shown: the platform chosen (Qt's -platform
// NAME on the command line, else QT_QPA_PLATFORM; empty for Qt's default)
// and the X and Wayland displays of the environment.
struct DisplayPlaces {
  std::string platform;
  std::string display;         // DISPLAY
  std::string waylandDisplay;  // WAYLAND_DISPLAY
  // Whether the X server of DISPLAY answered a connection (tried only where
  // the platform may be X; true where it was not tried).
  bool displayAnswers = true;
};
DisplayPlaces DisplayPlacesOf(int argc, char** argv);

// Whether an X server answers at display (DISPLAY's form, ":0",
// "host:10.0"): a connection made and closed at once.
bool XServerAnswers(const std::string& display);

// Whether the window has somewhere to be shown, judged before QApplication
// is made (which ends the process when it finds no display, or cannot reach
// the one named): a platform that needs no display (offscreen, for one)
// always has; X, only with a display whose server answers; Wayland, and
// Qt's default, only with their display. A list of platforms
// ("wayland;xcb") has one when any of them has.
bool HasDisplay(const DisplayPlaces& places);

// The line for a run without a display, before the status 1.
inline constexpr std::string_view kNoDisplayText =
    "tovrix-update: no display to open the window on; tovrix-flash updates a unit without one";

// The command line once QApplication has taken out its own options.
CommandLine ReadCommandLine(int argc, char** argv);

// Prints the text of an action other than Update; its exit status.
int Answer(const CommandLine& line);

// The image of the run: the command line's, or the one chosen in the file
// dialog (see ChooseImage); nothing when the dialog was cancelled.
std::optional<ImageSource> ImageOfTheRun(const CommandLine& line);

// The desktop launcher's question for the image: a modal file dialog for
// Intel HEX files (*.hex), or files of any name, starting in the user's
// Downloads folder, or the home folder where there is none. The path chosen, or nothing on Cancel.
std::optional<std::string> ChooseImage(QWidget* parent = nullptr);

// Where that dialog starts.
QString ImageDialogFolder();

}  // namespace tovrix::qt
