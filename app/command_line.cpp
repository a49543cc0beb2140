#include "app/command_line.h"

#include "app/version.h"

namespace tovrix {

CommandLine ParseCommandLine(const std::vector<std::string>& args, bool desktopMode) {
  CommandLine line;
  bool options = true;
  for (const std::string& arg : args) {
    if (options && arg == "--") {
      options = false;
    } else if (options && arg == "--version") {
      line.action = CommandLine::Action::Version;
      return line;
    } else if (options && (arg == "--help" || arg == "-h")) {
      line.action = CommandLine::Action::Help;
      return line;
    } else if (options && desktopMode && arg == kDesktopOption) {
      line.desktop = true;
    } else if (options && arg == kEmulateOption) {
      line.emulate = true;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      line.action = CommandLine::Action::Usage;
      line.error = "unknown option " + arg;
      return line;
    } else if (line.image) {
      line.action = CommandLine::Action::Usage;
      line.error = "one IMAGE at most";
      return line;
    } else if (arg.empty()) {
      line.action = CommandLine::Action::Usage;
      line.error = "IMAGE is empty";
      return line;
    } else {
      line.image = arg;
    }
  }
  return line;
}

std::optional<ImageSource> CommandLine::Image() const {
  if (image) return ImageSource::Named(*image);
  if (desktop) return std::nullopt;
  return ImageSource();
}

std::string VersionText() { return std::string("tovrix-update ") + TOVRIX_VERSION + "\n"; }

std::string UsageText(bool desktopMode) {
  std::string text =
      "usage: tovrix-update [--emulate] [IMAGE]\n"
      "Updates the TovrixPro unit plugged in with UP held with the firmware\n"
      "IMAGE (Intel HEX), or with TOVRIXPRO.HEX in the current directory.\n"
      "Exit status: 0 the unit was updated, 1 it was not, 2 a bad command line.\n"
      "  --emulate   try it without a unit: update an emulated one, in real time\n"
      "  --version   print the version and end\n"
      "  -h, --help  print this text and end\n";
  if (desktopMode) {
    text += "  --desktop   the desktop launcher's mode: without IMAGE, ask for it first\n";
  }
  return text;
}

}  // namespace tovrix
