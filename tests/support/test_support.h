// Helpers shared by the engine's tests: temporary folders, image lines,
// and whole runs of the update (session_run.h).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/session_run.h"
#include "hex/hex_writer.h"
#include "emulator/images.h"

namespace tovrix::test {

// A temporary directory, removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "tovrix";
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ = std::filesystem::temp_directory_path() /
            ("tovrix-" + name + "-" + std::to_string(std::random_device{}()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const {
    const auto file = path_ / name;
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
  }

 private:
  std::filesystem::path path_;
};

// The update of image (written to a temporary file) against the unit and
// the user of setup.
inline RunResult RunImage(const std::string& image, const Setup& setup = {}) {
  TempDir dir;
  return RunSession(dir.Write("TOVRIXPRO.HEX", image), setup);
}

// tovrix-emulate with args on image (written to a temporary file), in
// process.
inline RunResult RunEmulateTool(const std::string& image, std::vector<std::string> args) {
  TempDir dir;
  args.insert(args.end(), {"--image", dir.Write("TOVRIXPRO.HEX", image)});
  std::string error;
  const auto options = headless::ParseEmulateOptions(args, error);
  RunResult run;
  if (options) run.lines = EmulatedTranscript(*options, &run.status);
  else ADD_FAILURE() << error;
  return run;
}

// An Intel HEX line for a record.
inline std::string HexLine(uint8_t type, uint16_t address, std::vector<uint8_t> data) {
  std::string out;
  AppendHexRecord(out, type, address, data.data(), data.size());
  out.resize(out.size() - 2);  // without CR LF
  return out;
}

// count bytes, each its byte address's low byte plus 1.
inline std::vector<uint8_t> Bytes(std::size_t count, uint8_t first = 1) {
  std::vector<uint8_t> data(count);
  for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(first + i);
  return data;
}

// The first lines of text, as a download cut at a line end leaves them.
inline std::string FirstLines(const std::string& text, int lines) {
  std::size_t at = 0;
  for (int line = 0; line < lines; ++line) at = text.find('\n', at) + 1;
  return text.substr(0, at);
}

}  // namespace tovrix::test
