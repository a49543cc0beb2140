#include "app/cli/options.h"

#include <algorithm>
#include <array>

#include "app/cli/people_lines.h"
#include "app/version.h"  // TOVRIX_VERSION, from project(VERSION)
#include "emulator/options.h"
#include "trust/trust.h"

namespace tovrix::cli {
namespace {

// The emulated unit in real time: each report 1 ms, the erase 1.2 s (the
// tool's waits of 500 ms: two "(waiting) ... " fragments, then the reply).
constexpr int64_t kEmulatedReportMicros = 1000;
constexpr int64_t kEmulatedEraseMicros = 1'200'000;
constexpr int64_t kMaxWaitSeconds = 10'000'000;
constexpr int kMaxEmulatedUnits = 16;
constexpr std::size_t kMaxStationName = 64;

using V = OptionValue;
using G = OptionGroup;

// The switches say what they set; the parser handles the rest by name.
constexpr std::array kTable{
    FlashOption{"--device", "", V::Required, "PATH", "update the unit at this interface path only"},
    FlashOption{"--port", "", V::Required, "PORT", "update the unit on this USB port only (see --list)"},
    FlashOption{"--wait", "", V::Optional, "SECONDS", "wait for a unit to be plugged in (for ever, or SECONDS)"},
    FlashOption{"--all", "", V::None, "", "update every unit attached, all at once", G::Program,
                &FlashOptions::all},
    FlashOption{"--repeat", "", V::None, "",
                "station mode: update each unit attached or plugged in,\n"
                "one after another (--all: every port at once), until Ctrl-C; on a terminal, "
                "standard error shows the board",
                G::Program, &FlashOptions::repeat},
    FlashOption{"--station", "", V::Required, "NAME",
                "the station's name in each unit's record (the host's name by default)"},
    FlashOption{"--record", "", V::Required, "FILE",
                "append each unit's event to FILE, one JSON line each, flushed to the disk before the next unit"},
    FlashOption{"--pack", "", V::None, "", "fill each PROGRAM report up to the unit's packet size", G::Program,
                &FlashOptions::pack},
    FlashOption{"--sha256", "", V::Required, "HEX",
                "take the image only if its SHA-256 is HEX (or one of an --approved list); repeatable"},
    FlashOption{"--approved", "", V::Required, "FILE",
                "take the image only if its SHA-256 is in FILE: one a line, # comments; repeatable"},
    FlashOption{"--key", "", V::Required, "FILE",
                "take the image only if signed by this minisign public key; repeatable: by any of them"},
    FlashOption{"--signature", "", V::Required, "FILE",
                "the image's minisign signature (by default IMAGE.minisig)"},
    FlashOption{"--list", "", V::None, "", "list every HID interface and end", G::Program, &FlashOptions::list},
    FlashOption{"--json", "", V::None, "", "JSON Lines on standard output, one object per event", G::Program,
                &FlashOptions::json},
    FlashOption{"--quiet", "-q", V::None, "", "errors only", G::Program, &FlashOptions::quiet},
    FlashOption{"--emulate", "", V::Optional, "fast",
                "run against the emulated unit, in real time or without delays;"},
    // The emulated unit's and bench's: --help names them in --emulate's entry.
    FlashOption{"--memory", "", V::Required, "START:END", "the unit's memory, word addresses", G::EmulatedUnit},
    FlashOption{"--unit-version", "", V::Required, "HEX", "the unit's USB version", G::EmulatedUnit},
    FlashOption{"--caps", "", V::Required, "IN,OUT,VALUES", "its report lengths and input value capabilities",
                G::EmulatedUnit},
    FlashOption{"--query", "", V::Required, "HEX", "its reply to QUERY, bytes 1 to 64", G::EmulatedUnit},
    FlashOption{"--silent-query", "", V::None, "", "no reply to the first QUERY", G::EmulatedUnit},
    FlashOption{"--erase-waits", "", V::Required, "N", "the waits that fail before the reply to ERASE",
                G::EmulatedUnit},
    FlashOption{"--fail-write", "", V::Required, "N", "the N-th report written fails", G::EmulatedUnit},
    FlashOption{"--before", "", V::Required, "LIST", "other HID devices listed before the unit", G::EmulatedUnit},
    FlashOption{"--after", "", V::Required, "LIST", "other HID devices listed after the unit", G::EmulatedUnit},
    FlashOption{"--no-unit", "", V::None, "", "no unit at all", G::EmulatedUnit},
    FlashOption{"--units", "", V::Required, "N", "N units on a bench (with --all or --repeat)", G::EmulatedBench},
    FlashOption{"--help", "-h", V::None, "", "this text", G::Program, &FlashOptions::help},
    FlashOption{"--version", "", V::None, "", "the program's version", G::Program, &FlashOptions::version},
};

const FlashOption* Find(std::string_view name) {
  const auto it = std::find_if(kTable.begin(), kTable.end(), [&](const FlashOption& option) {
    return option.name == name || (!option.alias.empty() && option.alias == name);
  });
  return it == kTable.end() ? nullptr : &*it;
}

// SECONDS: digits, optionally a point and up to three more.
bool ParseSeconds(std::string_view text, int64_t& ms) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  if (whole.empty() || whole.size() > 8 || fraction.size() > 3 ||
      (point != std::string_view::npos && fraction.empty())) {
    return false;
  }
  int64_t seconds = 0;
  for (const char c : whole) {
    if (c < '0' || c > '9') return false;
    seconds = seconds * 10 + (c - '0');
  }
  int64_t thousandths = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const char c = i < fraction.size() ? fraction[i] : '0';
    if (c < '0' || c > '9') return false;
    thousandths = thousandths * 10 + (c - '0');
  }
  if (seconds > kMaxWaitSeconds) return false;
  ms = seconds * 1000 + thousandths;
  return true;
}

// --approved FILE: its digests are approved; a file that cannot be read,
// or a line that is not a digest, is bad usage.
bool ReadApproved(const std::string& path, FlashOptions& options, std::string& error) {
  if (path.empty()) {
    error = "--approved needs a file";
    return false;
  }
  const std::shared_ptr<const ImageBytes> file = ReadImageFile(path);
  if (!file->read) {
    error = "--approved: cannot read " + path + ": " +
            (file->tooLarge ? TooLargeText(file->size) : file->error);
    return false;
  }
  if (const std::optional<trust::ListFault> fault = trust::ParseApprovedList(file->bytes, options.approved)) {
    error = "--approved: line " + std::to_string(fault->line) + " of " + path +
            " is not a SHA-256 of 64 hexadecimal digits: " + fault->text;
    return false;
  }
  options.approval = true;
  return true;
}

// Sets the program's own option (a switch, or one with its value given)
// into options; false with the reason in error.
bool ApplyProgramOption(const FlashOption& option, const std::optional<std::string>& value, FlashOptions& options,
                        std::string& error) {
  const std::string_view name = option.name;
  if (option.flag) {
    options.*option.flag = true;
  } else if (name == "--device" || name == "--port") {
    if (!value || value->empty()) {
      error = std::string(name) + " needs a value";
      return false;
    }
    (name == "--device" ? options.device : options.port) = *value;
  } else if (name == "--sha256") {
    if (!value || !trust::IsSha256Hex(*value)) {
      error = "--sha256 takes a SHA-256 of 64 hexadecimal digits: " + value.value_or("");
      return false;
    }
    options.approved.push_back(trust::LowerHex(*value));
    options.approval = true;
  } else if (name == "--approved") {
    return ReadApproved(value.value_or(""), options, error);
  } else if (name == "--key" || name == "--signature") {
    if (!value || value->empty()) {
      error = std::string(name) + " needs a file";
      return false;
    }
    if (name == "--key") {
      options.keys.push_back(*value);
    } else {
      options.signature = *value;
    }
  } else if (name == "--station") {
    // A word that the result line's fields cannot be mistaken in.
    if (!value || value->empty() || value->size() > kMaxStationName ||
        value->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") !=
            std::string::npos) {
      error = "--station takes a name of letters, digits, '.', '_' and '-', up to " +
              std::to_string(kMaxStationName) + " characters";
      return false;
    }
    options.station = *value;
  } else if (name == "--record") {
    if (!value || value->empty()) {
      error = "--record needs a value";
      return false;
    }
    options.record = *value;
  } else if (name == "--wait") {
    options.wait = true;
    options.waitMs = -1;
    if (value && !ParseSeconds(*value, options.waitMs)) {
      error = "--wait=SECONDS takes a number of seconds, such as 30 or 2.5";
      return false;
    }
  } else if (name == "--emulate") {
    if (!value) {
      options.emulation = Emulation::RealTime;
    } else if (*value == "fast") {
      options.emulation = Emulation::Fast;
    } else {
      error = "--emulate takes no value, or =fast";
      return false;
    }
  }
  return true;
}

bool ApplyUnits(const std::optional<std::string>& v, FlashOptions& options, std::string& error) {
  if (!v || v->size() > 2 || v->find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(*v) < 1 || std::stoi(*v) > kMaxEmulatedUnits) {
    error = "--units takes a number of units, 1 to " + std::to_string(kMaxEmulatedUnits);
    return false;
  }
  options.units = std::stoi(*v);
  return true;
}

}  // namespace

std::span<const FlashOption> FlashOptionTable() { return kTable; }

std::string OptionSynopsis(const FlashOption& option) {
  std::string synopsis(option.name);
  // Appended piece by piece: GCC 12 at -O3 takes `" " + std::string(...)`
  // for an overlapping copy (-Wrestrict).
  if (option.value == OptionValue::Required) synopsis.append(" ").append(option.valueName);
  if (option.value == OptionValue::Optional) synopsis.append("[=").append(option.valueName).append("]");
  return synopsis;
}

std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args,
                                              std::string& error) {
  FlashOptions options;
  emu::EmulatorOptionReader unit;
  std::string unitOption;  // the last option given that sets up the emulated unit
  bool eraseWaitsGiven = false;
  bool unitsGiven = false;
  bool imageGiven = false;
  // The number that followed a bare --wait, taken for an image: --wait takes
  // its value only as --wait=SECONDS, like every optional value.
  std::string waitNumber;
  bool emulate = false;
  bool optionsEnd = false;
  for (const std::string& arg : args) {
    if (arg == "--emulate" || arg.rfind("--emulate=", 0) == 0) emulate = true;
    if (arg == "--") break;
  }

  auto fail = [&](const std::string& why) -> std::optional<FlashOptions> {
    error = why;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
      int64_t ignored = 0;
      if (!optionsEnd && i > 0 && args[i - 1] == "--wait" && ParseSeconds(arg, ignored)) waitNumber = arg;
      if (imageGiven) {
        std::string why = "one image only: " + arg;
        if (!waitNumber.empty()) why += "; did you mean --wait=" + waitNumber + "?";
        return fail(why);
      }
      options.image = arg;
      options.imageNamed = true;
      imageGiven = true;
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    std::optional<std::string> value;
    if (equals != std::string::npos) value = arg.substr(equals + 1);
    const FlashOption* option = Find(name);
    if (!option) return fail("unknown option: " + arg);
    if (option->value == OptionValue::None && value) {
      // The emulated unit's switches say so; the program's are not known
      // with a value.
      return fail(option->group == OptionGroup::Program ? "unknown option: " + arg : name + " takes no value");
    }
    // A value that is required may come as the next argument.
    if (option->value == OptionValue::Required && !value && i + 1 < args.size()) value = args[++i];

    switch (option->group) {
      case OptionGroup::Program:
        if (!ApplyProgramOption(*option, value, options, error)) return std::nullopt;
        break;
      case OptionGroup::EmulatedBench:
        if (!ApplyUnits(value, options, error)) return std::nullopt;
        unitsGiven = true;
        break;
      case OptionGroup::EmulatedUnit: {
        // The emulated unit's --version is --unit-version here: --version
        // is the program's.
        const std::string unitName = name == "--unit-version" ? "--version" : name;
        if (option->value == OptionValue::Required && !value) return fail(name + " needs a value");
        if (!unit.Apply(unitName, value.value_or(""), error, name)) return std::nullopt;
        unitOption = name;
        eraseWaitsGiven = eraseWaitsGiven || name == "--erase-waits";
        break;
      }
    }
  }

  if (!options.device.empty() && !options.port.empty()) {
    return fail("--device and --port both choose the unit: give one of them");
  }
  if (!options.signature.empty() && options.keys.empty()) {
    return fail("--signature names the image's signature: it needs --key, the key that checks it");
  }
  if (options.list && (options.all || options.repeat)) {
    return fail("--list lists the interfaces and ends: not with --all or --repeat");
  }
  if (options.list && !options.record.empty()) return fail("--list lists the interfaces and ends: not with --record");
  if (unitsGiven && !(emulate && (options.all || options.repeat))) {
    return fail("--units sets up the emulated bench: it needs --emulate and --all or --repeat");
  }
  if (!emulate && !unitOption.empty()) {
    return fail(unitOption + " sets up the emulated unit: it needs --emulate");
  }
  if (emulate) {
    if (!unit.Finish(options.emulator, error)) return std::nullopt;
    // Fast is tovrix-emulate's unit: no delays, the erase's reply in the
    // first wait unless --erase-waits says otherwise.
    if (options.emulation == Emulation::RealTime) {
      if (!eraseWaitsGiven) options.emulator.unit.eraseMicros = kEmulatedEraseMicros;
      options.emulator.reportMicros = kEmulatedReportMicros;
    }
  }
  return options;
}

namespace {

// The column where the options' texts start in --help.
constexpr std::size_t kTextColumn = 21;

// The words of text, a line end in it kept as a word of its own.
void AddWords(std::string_view text, std::vector<std::string>& words) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find_first_of(" \n", at), text.size());
    if (end > at) words.emplace_back(text.substr(at, end - at));
    if (end < text.size() && text[end] == '\n') words.emplace_back("\n");
    at = end + 1;
  }
}

// One option's entry in --help: its synopsis, then its words as many to a
// line as fit within kPeopleColumns, each line after the first indented to
// kTextColumn; "\n" starts a new line.
std::string HelpEntry(const FlashOption& option, const std::vector<std::string>& words) {
  std::string head = "  ";
  if (!option.alias.empty()) head += std::string(option.alias) + ", ";
  head += OptionSynopsis(option);
  head.resize(std::max(head.size() + 1, kTextColumn), ' ');
  std::string entry = head;
  std::size_t column = head.size();
  bool lineEmpty = true;
  for (const std::string& word : words) {
    if (word == "\n" || (!lineEmpty && column + 1 + word.size() > kPeopleColumns)) {
      entry += "\n" + std::string(kTextColumn, ' ');
      column = kTextColumn;
      lineEmpty = true;
      if (word == "\n") continue;
    }
    if (!lineEmpty) {
      entry += ' ';
      ++column;
    }
    entry += word;
    column += word.size();
    lineEmpty = false;
  }
  return entry + "\n";
}

}  // namespace

std::string UsageText() {
  std::string text =
      "Usage: tovrix-flash [OPTIONS] [IMAGE]\n"
      "Writes the firmware image IMAGE (TOVRIXPRO.HEX in the current directory by\n"
      "default) into the TovrixPro unit attached in update mode, as TovrixPro Update's\n"
      "window does, from the command line.\n"
      "\n";
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    const FlashOption& option = kTable[i];
    if (option.group != OptionGroup::Program) continue;
    std::vector<std::string> words;
    AddWords(option.text, words);
    // The options of the emulated unit and bench that follow it in the
    // table are named in its entry: "with it: --memory START:END, ...".
    std::vector<std::string> unitWords, benchWords;
    for (std::size_t j = i + 1; j < kTable.size() && kTable[j].group != OptionGroup::Program; ++j) {
      if (kTable[j].group == OptionGroup::EmulatedUnit) {
        unitWords.push_back(OptionSynopsis(kTable[j]) + ",");
      } else {
        benchWords.emplace_back("\n");
        benchWords.push_back(OptionSynopsis(kTable[j]) + ":");
        AddWords(kTable[j].text, benchWords);
      }
    }
    if (!unitWords.empty()) {
      unitWords.back().pop_back();
      words.emplace_back("with");
      words.emplace_back("it:");
      words.insert(words.end(), unitWords.begin(), unitWords.end());
      AddWords("(see tovrix-flash(1));", words);
    }
    words.insert(words.end(), benchWords.begin(), benchWords.end());
    text += HelpEntry(option, words);
  }
  return text +
         "\n"
         "Standard output carries the update's log; errors go to standard error.\n"
         "Exit status: 0 the unit was updated; 1 the update failed or was refused;\n"
         "2 bad usage; 3 no unit found (or the wait timed out); 4 several units and\n"
         "none chosen; 130 interrupted (Ctrl-C stops after the report in flight).\n"
         "A station (--all, --repeat): the first Ctrl-C takes no more units and lets\n"
         "those being written finish, then 0 when no unit failed, else 1 (--all: 3\n"
         "when no unit was there, 130 when stopped before it took one); a second\n"
         "Ctrl-C interrupts them: 130. See tovrix-flash(1).\n";
}

std::string VersionText() { return std::string("tovrix-flash ") + TOVRIX_VERSION + "\n"; }

}  // namespace tovrix::cli
