// The table of options, the parser, --help and the manual page's OPTIONS
// name the same options, each with the same value.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/options.h"
#include "emulator/options.h"
#include "tests/cli/flash_manual.h"

namespace tovrix::cli {
namespace {

// An option as written with its value, and whether it is given under
// --emulate (the emulated unit's and bench's) or on its own.
struct Named {
  std::string synopsis;
  bool underEmulate = false;
  auto operator<=>(const Named&) const = default;
};

std::set<Named> FromTheTable() {
  std::set<Named> named;
  for (const FlashOption& option : FlashOptionTable()) {
    const bool under = option.group != OptionGroup::Program;
    named.insert({OptionSynopsis(option), under});
    if (!option.alias.empty()) named.insert({std::string(option.alias), under});
  }
  return named;
}

// A line of font macros (.B, .BI, .BR, ...) as it reads: the arguments, in
// quotes or not, side by side (.B's with blanks between), without the font
// changes, "\-" as "-".
std::string Roman(const std::string& line) {
  std::istringstream in(line);
  std::string macro;
  in >> macro;
  std::vector<std::string> words;
  std::string rest;
  std::getline(in, rest);
  for (std::size_t at = 0; at < rest.size();) {
    if (rest[at] == ' ') {
      ++at;
    } else if (rest[at] == '"') {
      const std::size_t end = rest.find('"', at + 1);
      words.push_back(rest.substr(at + 1, end - at - 1));
      at = end == std::string::npos ? rest.size() : end + 1;
    } else {
      const std::size_t end = std::min(rest.find(' ', at), rest.size());
      words.push_back(rest.substr(at, end - at));
      at = end;
    }
  }
  std::string text;
  for (const std::string& word : words) text += (macro == ".B" && !text.empty() ? " " : "") + word;
  text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
  return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

// The options that the manual's OPTIONS describes: the tag of each .TP,
// several in one separated by ", ".
std::set<Named> FromTheManual() {
  std::set<Named> named;
  std::istringstream manual(test::kFlashManual);
  bool inOptions = false;
  int depth = 0;  // .RS ... .RE: the options given under --emulate
  std::string line;
  while (std::getline(manual, line)) {
    if (line.rfind(".SH", 0) == 0) inOptions = line == ".SH OPTIONS";
    if (!inOptions) continue;
    if (line == ".RS") ++depth;
    if (line == ".RE") --depth;
    if (line != ".TP" || !std::getline(manual, line)) continue;
    const std::string tag = Roman(line);
    for (std::size_t at = 0; at <= tag.size();) {
      const std::size_t end = std::min(tag.find(", ", at), tag.size());
      named.insert({tag.substr(at, end - at), depth > 0});
      at = end + 2;
    }
  }
  return named;
}

TEST(OptionTable, TheManualDescribesEveryOptionAndNoOther) {
  EXPECT_EQ(FromTheManual(), FromTheTable());
}

TEST(OptionTable, HelpNamesEveryOptionAndNoOther) {
  const std::string usage = UsageText();
  // The options' block: from the first empty line to the next.
  const std::size_t start = usage.find("\n\n") + 2;
  const std::string block = usage.substr(start, usage.find("\n\n", start) - start);
  std::set<std::string> mentioned, names;
  const std::regex option(R"((^|[^A-Za-z0-9-])(--?[a-z][a-z0-9-]*))");
  for (std::sregex_iterator it(block.begin(), block.end(), option), end; it != end; ++it) {
    mentioned.insert((*it)[2]);
  }
  for (const FlashOption& entry : FlashOptionTable()) {
    names.insert(std::string(entry.name));
    if (!entry.alias.empty()) names.insert(std::string(entry.alias));
    EXPECT_NE(block.find(OptionSynopsis(entry)), std::string::npos) << OptionSynopsis(entry);
  }
  EXPECT_EQ(mentioned, names);
}

TEST(OptionTable, TheParserKnowsEveryOption) {
  for (const FlashOption& entry : FlashOptionTable()) {
    for (const std::string_view name : {entry.name, entry.alias}) {
      if (name.empty()) continue;
      std::vector<std::string> args{"--emulate", std::string(name)};
      if (entry.value == OptionValue::Required) args.emplace_back("1");
      std::string error;
      ParseFlashOptions(args, error);
      EXPECT_EQ(error.find("unknown option"), std::string::npos) << name << ": " << error;
    }
  }
}

// The emulated unit's options are the emulated platform's, with the same
// values (--unit-version is its --version).
TEST(OptionTable, TheEmulatedUnitsOptionsAreTheEmulators) {
  int unitOptions = 0;
  for (const FlashOption& entry : FlashOptionTable()) {
    if (entry.group != OptionGroup::EmulatedUnit) continue;
    ++unitOptions;
    const std::string name = entry.name == "--unit-version" ? "--version" : std::string(entry.name);
    EXPECT_TRUE(emu::EmulatorOptionReader::Takes(name)) << name;
    EXPECT_EQ(emu::EmulatorOptionReader::TakesValue(name), entry.value == OptionValue::Required) << name;
  }
  EXPECT_EQ(unitOptions, 10);
}

}  // namespace
}  // namespace tovrix::cli
