// The command line of the window programs, the same on every platform:
//
//   tovrix-update [IMAGE]        update the unit with IMAGE, or with
//                                TOVRIXPRO.HEX in the current directory
//   tovrix-update --version      print the version and end
//   tovrix-update --help, -h     print the usage and end
//
// and, where the front end offers it, the desktop launcher's mode
//
//   tovrix-update --desktop [IMAGE]
//
// in which, without IMAGE, a file dialog asks for the image first; and
//
//   tovrix-update --emulate [IMAGE]
//
// which runs the window against the emulated unit, in real time, to try it
// without a unit. "--" ends the options, for an image whose name starts
// with "-". Front ends print the texts made here; they make none of their
// own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/update.h"

namespace tovrix {

// Exit status of a command line the program does not take.
inline constexpr int kExitUsage = 2;

// The desktop launcher's option.
inline constexpr std::string_view kDesktopOption = "--desktop";
// The window against the emulated unit.
inline constexpr std::string_view kEmulateOption = "--emulate";

// The file dialog of the desktop launcher's mode: its title, the name of
// its filter for Intel HEX images (*.hex, in any case), and the filter
// beside it for a file of any name.
inline constexpr std::string_view kChooseImageTitle = "TovrixPro Update - choose the image";
inline constexpr std::string_view kImageFilterName = "Intel HEX images";
inline constexpr std::string_view kAllFilesFilter = "All files (*)";

struct CommandLine {
  enum class Action {
    Update,   // run the update
    Version,  // print VersionText() to the standard output, status 0
    Help,     // print UsageText() to the standard output, status 0
    Usage,    // print error and UsageText() to the standard error, kExitUsage
  };
  Action action = Action::Update;
  std::optional<std::string> image;  // IMAGE, as given
  bool desktop = false;              // the desktop launcher's mode
  bool emulate = false;              // the emulated unit in place of the USB's
  std::string error;                 // for Usage: what is wrong

  // The image of the run; nullopt when the file dialog must ask for it.
  std::optional<ImageSource> Image() const;
};

// args: the arguments after the program's name. desktopMode: whether this
// front end offers --desktop.
CommandLine ParseCommandLine(const std::vector<std::string>& args, bool desktopMode);

// "tovrix-update VERSION", one line.
std::string VersionText();
// The usage and options, several lines.
std::string UsageText(bool desktopMode);

}  // namespace tovrix
