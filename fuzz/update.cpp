// A whole image through the check of the file and then the whole update
// against the emulated unit, with the unit's answers and the user's action
// taken from the input as well.
//
// Input: a header of kHeaderBytes, then the image.
//    0      flags: 1 no reply to the first QUERY, 2 replace the checked
//           QUERY reply bytes (14..18), 4 other capabilities (13), 8 no
//           unit, 0x30 the user at pump (12): 0x10 Esc Yes, 0x20 Esc No,
//           0x30 the window closed; 0x40 another device before the unit,
//           0x80 one with the unit's vendor after it
//    1      0x80: packed PROGRAMs; the low bits: failed erase waits,
//           modulo 13
//    2..3   the failing output report, little-endian, 0 for none
//    4..7   MemoryStart, 8..11 MemoryEnd, little-endian words
//    12     the pump of the user's action, less one
//    13     capabilities: input length 64 + v % 3, output 64 + v / 3 % 3,
//           value capabilities v / 9 % 3
//    14..18 QUERY reply bytes 1, 2, 3, 4 and 13
// Missing header bytes count as zero.
//
// Invariants beyond the sanitizers: the emulated platform sees no misuse
// and the unit no command it cannot take; when the check of the file
// refuses the image the unit is never touched; once the window is shown no
// box reports a bad line (an image with no data inside the memory is
// refused there, before ERASE); a finished update that erased the unit resets
// it, and the unit then holds exactly the data of the records that start
// inside its memory, later records over earlier ones. Packed, no PROGRAM
// carries more than the packet size the unit declared; and when no write
// is made to fail, the same run unpacked gives the same transcript but for
// its send lines, and when both finish, the unit the same data bytes at
// the same addresses in the same order with the same commands between
// them.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/update.h"
#include "emulator/emulated_hid.h"
#include "tools/emulate/transcript.h"

namespace {

using namespace tovrix;

constexpr std::size_t kHeaderBytes = 19;

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// The image goes to one memory file per process, rewritten for each input.
const std::string& ImagePath(int& fd) {
  static int file = memfd_create("tovrix-fuzz-image", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(file);
  Require(file >= 0, "a memory file for the image");
  fd = file;
  return path;
}

uint32_t Le32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// What the unit must hold after a finished update of an image that passed
// the check: every line is then a good record, so this reads the fields
// without checking them. A type-04 record takes its two bytes from the data
// as they stand, bytes of earlier records included when its count is short.
std::map<uint64_t, uint8_t> ExpectedMemory(std::string_view image, int64_t start, int64_t end) {
  std::map<uint64_t, uint8_t> memory;
  std::array<uint8_t, 255> data{};
  int64_t base = 0;
  while (!image.empty()) {
    const std::size_t length = image.find_first_of("\r\n");
    const std::string_view line = image.substr(0, length);
    if (length == std::string_view::npos) {
      image = {};
    } else {
      image.remove_prefix(length + (image.substr(length, 2) == "\r\n" ? 2 : 1));
    }
    auto byte = [&](std::size_t k) { return Digit(line[1 + 2 * k]) * 16 + Digit(line[2 + 2 * k]); };
    const int count = byte(0);
    const int64_t address = byte(1) * 256 + byte(2);
    const int type = byte(3);
    for (int k = 0; k < count; ++k) data[k] = static_cast<uint8_t>(byte(4 + k));
    if (type == 4) base = (int64_t{data[0]} * 256 + data[1]) * 65536;
    if (type != 0 || count == 0) continue;
    const int64_t word = (base + address) / 2;
    if (word < start || word > end) continue;
    for (int k = 0; k < count; ++k) memory[static_cast<uint64_t>(base + address + k)] = data[k];
  }
  return memory;
}

// One whole session, and what it showed and sent. The platform's events
// write into the Run, which outlives it.
struct Run {
  UpdateOutcome outcome;
  bool fault = false;
  bool windowShown = false;
  bool lineBoxAfterWindow = false;
  bool noDataBox = false;
  std::vector<std::string> lines;  // the transcript without the reports
  // The unit's input: (byte address, value) for each data byte of a
  // PROGRAM, (-code, 0) for every other command.
  std::vector<std::pair<int64_t, int>> stream;
  int largestProgram = 0;
  std::unique_ptr<emu::VirtualClock> clock;
  std::unique_ptr<emu::EmulatedHid> hid;
};

void RunUpdate(Run& run, const emu::EmulatorOptions& options, const headless::PumpScript& script,
               const std::string& path, bool pack) {
  auto sink = [&](std::string_view keyword, std::string_view text) {
    if (keyword == "caption") run.windowShown = true;
    if (keyword == "box" && text.rfind("critical The image has no data inside", 0) == 0) {
      run.noDataBox = true;
    }
    if (keyword == "box" && run.windowShown && text.rfind("critical ", 0) == 0 &&
        text != "critical Program Abort!" &&
        text.rfind("critical The image has no data inside the unit's memory", 0) != 0) {
      run.lineBoxAfterWindow = true;
    }
    run.lines.push_back(headless::TranscriptLine(keyword, text));
  };
  headless::TranscriptShell shell(sink, script);
  run.clock = std::make_unique<emu::VirtualClock>();
  emu::EmulatorEvents events;
  events.fault = [&](const std::string& text) {
    std::fprintf(stderr, "emulator fault: %s\n", text.c_str());
    run.fault = true;
  };
  events.sent = [&](const uint8_t* report, std::size_t length) {
    if (length < 65) return;
    if (report[1] != PROGRAM) {
      run.stream.emplace_back(-int64_t{report[1]}, 0);
      return;
    }
    const int64_t word = int64_t{report[2]} | int64_t{report[3]} << 8 | int64_t{report[4]} << 16 |
                         int64_t{report[5]} << 24;
    const int count = report[6] <= 64 ? report[6] : 64;
    if (count > run.largestProgram) run.largestProgram = count;
    for (int k = 0; k < count; ++k) run.stream.emplace_back(word * 2 + k, report[65 - count + k]);
  };
  events.closed = [&] { run.lines.emplace_back("closed"); };
  run.hid = std::make_unique<emu::EmulatedHid>(options, *run.clock, events);
  UpdateSession session(shell, *run.hid, path);
  session.boot.Pack = pack;
  shell.Attach(session);
  run.outcome = session.RunUpdate();
}

}  // namespace

// Every input allocates the file buffer and the unit's memory pages afresh;
// with the default 256 MB quarantine each of them lands on new pages, and
// the page faults cost two thirds of the time. 16 MB still holds the
// blocks of many inputs.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  uint8_t header[kHeaderBytes] = {};
  const std::size_t headerBytes = size < kHeaderBytes ? size : kHeaderBytes;
  for (std::size_t i = 0; i < headerBytes; ++i) header[i] = data[i];
  const uint8_t* image = data + headerBytes;
  const std::size_t imageBytes = size - headerBytes;

  int fd = -1;
  const std::string& path = ImagePath(fd);
  Require(ftruncate(fd, 0) == 0, "the image file truncated");
  Require(pwrite(fd, image, imageBytes, 0) == static_cast<ssize_t>(imageBytes),
          "the image written");

  emu::EmulatorOptions options;
  const uint8_t flags = header[0];
  options.unit.silentFirstQuery = (flags & 1) != 0;
  options.unit.MemoryStart = Le32(header + 4);
  options.unit.MemoryEnd = Le32(header + 8);
  if (flags & 2) {
    emu::TovrixUnit bounds(options.unit);
    emu::ReportData reply = bounds.QueryReply();
    reply[0] = header[14];
    reply[1] = header[15];
    reply[2] = header[16];
    reply[3] = header[17];
    reply[12] = header[18];
    options.unit.rawQueryReply = reply;
  }
  if (flags & 4) {
    const int v = header[13];
    options.unitCaps = {static_cast<uint16_t>(64 + v % 3), static_cast<uint16_t>(64 + v / 3 % 3),
                        static_cast<uint16_t>(v / 9 % 3)};
  }
  options.unitPresent = (flags & 8) == 0;
  if (flags & 0x40) options.before.push_back({0x046D, 0xC52B, 0x1201});
  if (flags & 0x80) options.after.push_back({0x04D8, 0x003D, 0x0001});
  options.unit.eraseMicros = emu::EraseMicrosForWaits((header[1] & 0x7F) % 13);
  options.failWrite = header[2] | header[3] << 8;

  headless::PumpScript script;
  switch (flags & 0x30) {
    case 0x10: script.insert({header[12] + 1, {headless::PumpAction::EscYes}}); break;
    case 0x20: script.insert({header[12] + 1, {headless::PumpAction::EscNo}}); break;
    case 0x30: script.insert({header[12] + 1, {headless::PumpAction::Close}}); break;
    default: break;
  }

  const bool pack = (header[1] & 0x80) != 0;
  Run run;
  RunUpdate(run, options, script, path, pack);
  const UpdateOutcome& outcome = run.outcome;
  const bool fault = run.fault;
  const bool windowShown = run.windowShown;
  const bool lineBoxAfterWindow = run.lineBoxAfterWindow;
  emu::EmulatedHid& hid = *run.hid;

  Require(!fault, "no misuse of the emulated platform");
  Require(hid.Unit().ProtocolErrors() == 0, "every command taken by the unit");
  Require(!outcome.ended || outcome.status == kExitUpdated || outcome.status == kExitByAbort,
          "a known exit status");
  if (!windowShown) {
    Require(outcome.ended && outcome.status == kExitByAbort, "a refused image aborts");
    Require(hid.Writes() == 0 && hid.OpenHandles() == 0, "a refused image never reaches the unit");
  }
  Require(!lineBoxAfterWindow, "no bad-line box once the image was checked");
  Require(!run.noDataBox || !hid.Unit().Erased(), "an image with no data is never erased in");
  if (!outcome.ended && hid.Unit().Erased()) {
    Require(hid.Unit().Resets() == 1, "a finished update resets the unit");
    const std::string_view text(reinterpret_cast<const char*>(image), imageBytes);
    const auto expected = ExpectedMemory(text, options.unit.MemoryStart, options.unit.MemoryEnd);
    const emu::UnitMemory& memory = hid.Unit().Memory();
    Require(memory.ByteCount() == expected.size(), "the unit holds as many bytes as the image gives");
    for (const auto& [address, value] : expected) {
      Require(memory.Read(address) == value, "the unit holds the image's bytes");
    }
  }
  if (pack) {
    const int declared = hid.Unit().QueryReply()[1];
    Require(run.largestProgram <= declared, "no packed PROGRAM exceeds the declared size");
    if (options.failWrite == 0) {
      Run plain;
      RunUpdate(plain, options, script, path, false);
      Require(plain.lines == run.lines, "packed and unpacked runs show the same transcript");
      if (!outcome.ended && !plain.outcome.ended) {
        Require(plain.stream == run.stream, "the unit gets the same bytes packed and unpacked");
      }
    }
  }
  return 0;
}
