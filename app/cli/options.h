// tovrix-flash's options: one table (name, value, text, group) from which
// the parser and --help are made. The manual page describes the same
// options (its OPTIONS), and a test holds the two together.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/image_file.h"
#include "emulator/emulated_hid.h"

namespace tovrix::cli {

enum class Emulation { None, RealTime, Fast };

struct FlashOptions {
  std::string image = "TOVRIXPRO.HEX";
  bool imageNamed = false;  // given on the command line: "Cannot open IMAGE: REASON"
  std::string device;  // --device PATH
  std::string port;    // --port PORT
  bool list = false;
  bool json = false;
  bool quiet = false;
  bool wait = false;
  bool all = false;     // --all
  bool repeat = false;  // --repeat
  bool pack = false;    // --pack
  // Approved images (--sha256 HEX, --approved FILE): their digests, in
  // lowercase. approval: either was given, and only those images are taken.
  std::vector<std::string> approved;
  bool approval = false;
  // Signed images: the minisign public keys trusted (--key FILE), and the
  // signature (--signature FILE; empty: the image's path and ".minisig").
  std::vector<std::string> keys;
  std::string signature;
  int units = 1;        // --units N: ports of the emulated bench (station runs)
  std::string station;  // --station NAME (empty: the host's name)
  std::string record;   // --record FILE (empty: none)
  int64_t waitMs = -1;  // -1: for ever
  Emulation emulation = Emulation::None;
  emu::EmulatorOptions emulator;  // the emulated unit (--emulate)
  bool help = false;
  bool version = false;
  // The image as the program read it, once, before any unit (RunFlash, the
  // station): every session takes these bytes and reads no file.
  std::shared_ptr<const ImageBytes> imageRead;
};

// What follows an option's name.
enum class OptionValue {
  None,      // nothing: --list
  Required,  // the next argument, or after "=": --device PATH, --device=PATH
  Optional,  // only after "=": --wait[=SECONDS]
};

// Where an option belongs: --help and the manual list the program's own
// options one by one, and those of the emulated unit and bench under
// --emulate.
enum class OptionGroup {
  Program,       // the program's own
  EmulatedUnit,  // sets up the emulated unit: with --emulate
  EmulatedBench, // sets up the emulated bench: with --emulate and --all or --repeat
};

struct FlashOption {
  std::string_view name;       // "--quiet"
  std::string_view alias;      // "-q", or empty
  OptionValue value = OptionValue::None;
  std::string_view valueName;  // "PATH", "SECONDS"; empty without a value
  // Its words in --help; a line end in it starts a new line there.
  std::string_view text;
  OptionGroup group = OptionGroup::Program;
  bool FlashOptions::*flag = nullptr;  // a switch: what it sets
};

// Every option of tovrix-flash, in the order --help and the manual give them.
std::span<const FlashOption> FlashOptionTable();

// How the option is written with its value: "--device PATH",
// "--wait[=SECONDS]", "--list" (the alias apart).
std::string OptionSynopsis(const FlashOption& option);

// Parses args (without the program name). On an error returns nothing and
// says why in error.
std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args,
                                              std::string& error);

// The usage text of --help, and the version line of --version.
std::string UsageText();
std::string VersionText();

}  // namespace tovrix::cli
