// Command-line values that set up the emulated unit. The unit's model
// takes these, in the emulated platform and on the gadget side alike:
//
//   --memory START:END   the unit's memory, word addresses in hex (400:57FF)
//   --query HEX          QUERY reply bytes 1..64, zero-padded; replaces --memory
//   --silent-query       no reply to the first QUERY
//   --erase-waits N      failed waits of 500 ms before the erase reply
//                        (0; 11 or more: the unit never answers after ERASE)
//
// The emulated platform takes these as well (EmulatorOptionReader):
//
//   --version HEX          the unit's version (102)
//   --caps IN,OUT,VALUES   report lengths and input value capabilities (65,65,1)
//   --fail-write N         the N-th output report write fails
//   --before LIST          other devices listed before the unit, VID:PID:VER in hex,
//   --after LIST             comma-separated
//   --no-unit              no unit present
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/emulated_hid.h"
#include "emulator/unit.h"

namespace tovrix::emu {

// A hex number of at most 16 digits, no prefix, up to max.
bool ParseHexNumber(std::string_view text, uint64_t max, uint64_t& value);
// A decimal number from min to max.
bool ParseDecimal(std::string_view text, int64_t min, int64_t max, int64_t& value);
// The parts of text between separators; one part when there is none.
std::vector<std::string_view> Split(std::string_view text, char separator);

// Collects the unit's options in the order given.
class UnitOptionReader {
 public:
  // True when name is one of the unit's options.
  static bool Takes(std::string_view name);
  // True when the option is followed by a value (all but --silent-query).
  static bool TakesValue(std::string_view name);

  // Applies one option (value is ignored for one without). False, with the
  // reason in error, when the value is bad.
  bool Apply(std::string_view name, std::string_view value, std::string& error);
  // The model's options from everything applied. False, with the reason in
  // error, when options contradict each other.
  bool Finish(UnitOptions& unit, std::string& error) const;

  int64_t EraseWaits() const { return eraseWaits_; }

 private:
  UnitOptions unit_;
  bool queryGiven_ = false;
  bool memoryGiven_ = false;
  int64_t eraseWaits_ = 0;
};

// Collects the emulated platform's options, the unit's among them, in the
// order given.
class EmulatorOptionReader {
 public:
  static bool Takes(std::string_view name);
  static bool TakesValue(std::string_view name);
  // shownAs: the option's name in the error, where a program gives it
  // under a name of its own (empty: name).
  bool Apply(std::string_view name, std::string_view value, std::string& error,
             std::string_view shownAs = {});
  bool Finish(EmulatorOptions& emulator, std::string& error) const;

  int64_t EraseWaits() const { return unit_.EraseWaits(); }

 private:
  EmulatorOptions emulator_;
  UnitOptionReader unit_;
};

}  // namespace tovrix::emu
