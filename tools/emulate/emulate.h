// tovrix-emulate: the update sequence run headless, in the current
// directory, against the emulated unit, printing its transcript.
//
//   --real                 run against the unit that is plugged in, through
//                          the platform's HID backend (hidraw on Linux), not
//                          the emulated one. The transcript is the same: the
//                          reports written appear as send lines, closing the
//                          unit's last handle as closed. The options that set
//                          up the emulated unit (--memory to --no-unit below)
//                          are refused with it.
//   --pack                 pack the image's contiguous data into PROGRAMs of the
//                          packet size the unit declares (56), instead of one
//                          per record; the send lines show the packed reports
//   --image PATH           the image (default TOVRIXPRO.HEX here)
//   --memory START:END     the unit's memory, word addresses in hex (400:57FF)
//   --version HEX          the unit's version (102)
//   --caps IN,OUT,VALUES   report lengths and input value capabilities (65,65,1)
//   --query HEX            QUERY reply bytes 1..64, zero-padded; replaces --memory
//   --silent-query         no reply to the first QUERY
//   --erase-waits N        failed waits before the erase reply (0; 11+: never)
//   --fail-write N         the N-th output report write fails
//   --before LIST          other devices listed before the unit, VID:PID:VER in hex,
//   --after LIST             comma-separated
//   --no-unit              no unit present
//   --esc N:yes|no         Esc at the N-th event pump, the question answered so
//   --close N              the window closed at the N-th event pump
//
// Exit status: 0 when the sequence returned, 1 when the program ended at
// once, 2 for bad options (and --real in a build without a HID platform).
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/emulated_hid.h"
#include "tools/emulate/transcript.h"

namespace tovrix::headless {

struct EmulateOptions {
  std::string image = "TOVRIXPRO.HEX";
  emu::EmulatorOptions emulator;
  PumpScript script;
  int64_t eraseWaits = 0;
  bool real = false;  // the platform's HID backend instead of the emulated unit
  bool pack = false;  // packed PROGRAMs (Bootloader::Pack)
};

// Parses the options; on an error returns nothing and says why in error.
std::optional<EmulateOptions> ParseEmulateOptions(const std::vector<std::string>& args,
                                                  std::string& error);

// Where a run's transcript goes: line takes each line, without its line
// end; flush, where set, is called when the lines so far must be out (after
// each line of a run against the real unit, and at the end).
struct TranscriptOut {
  std::function<void(std::string_view line)> line;
  std::function<void()> flush;
};

// Runs the headless update, writing the transcript to out. Returns the
// exit status.
int RunEmulated(const EmulateOptions& options, const TranscriptOut& out);
// The same with the lines written to a stream, each ending in a line feed
// (emulate_stream.cpp: the web page's engine goes without streams).
int RunEmulated(const EmulateOptions& options, std::ostream& out);

}  // namespace tovrix::headless
