// An emulated bench: units in update mode on the ports of a bench, plugged
// in and out while a station updates them, one thread per unit.
//
// Each thread takes a HidApi of its own (NewView); every view lists the
// same ports, and the units on them, with the path "bench:PORT.PLUG" (PLUG
// counts the plug-ins on that port) and the port "emu-PORT" (1-based). A
// handle of a unit that has left its port fails from then on: writes and
// waits return errors, closing it works.
//
// A unit leaves its port when it is unplugged (Unplug, or its plan's
// unplugAfterWrites), or when it has received RESET and its last handle is
// closed: it resets into its own firmware, and a unit running its firmware
// is no longer listed. With replugMicros set, a fresh unit comes into an
// empty port that long after the last one left (the demo's endless line of
// units), up to plugsPerPort plug-ins on each port.
//
// Listing the ports never waits for a unit: a unit in the middle of an
// operation (a wait for its reply, say) is in use, and stays.
//
// Time: with realTime the units and the watch keep the machine's time;
// otherwise each unit has a clock of its own that only moves when it works
// or a wait is due (as EmulatedHid's VirtualClock), and the watch moves the
// bench's clock on without sleeping.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/emulated_hid.h"

namespace tovrix::emu {

// One plug-in: the unit, and when it is pulled out.
struct UnitPlan {
  EmulatorOptions unit;
  int unplugAfterWrites = 0;  // pulled out at that write (1-based; it fails); 0: never
};

struct BenchSettings {
  int ports = 1;
  bool pluggedAtStart = true;  // a unit on every port from the start
  int64_t replugMicros = -1;   // -1: nothing comes by itself
  int plugsPerPort = -1;       // after that many plug-ins a port stays empty; -1: no end
  // A unit that left is listed this many times more, without its port; it
  // opens, and nothing else works on it: the kernel takes a moment to
  // remove a pulled unit's node, and by then its port is already gone.
  int lingerListings = 0;
  bool realTime = false;
  // Keep a record of every unit that leaves (History): for tests, which
  // look at what each unit was given. Off, the bench keeps nothing of the
  // units that left, and runs for any number of them in the same memory.
  bool keepHistory = false;
  // The plan of plug-in number plug (0-based) on port (0-based).
  std::function<UnitPlan(int port, int plug)> plan;
};

// What a unit that left its port had been through.
struct BenchRecord {
  int port = 0;  // 0-based
  int plug = 0;
  std::map<uint64_t, std::vector<uint8_t>> memory;  // UnitMemory::Runs()
  int resets = 0;
  int programs = 0;
  bool unplugged = false;  // pulled out, not reset into its firmware
};

class EmulatedBench {
 public:
  explicit EmulatedBench(BenchSettings settings);
  ~EmulatedBench();
  EmulatedBench(const EmulatedBench&) = delete;
  EmulatedBench& operator=(const EmulatedBench&) = delete;

  std::unique_ptr<HidApi> NewView();
  std::unique_ptr<InterfaceWatch> NewWatch();

  // A fresh unit into port (0-based), unless one is there.
  void Plug(int port);
  // The unit on port pulled out, if one is there.
  void Unplug(int port);

  // Every unit that has left, in the order they left (with keepHistory;
  // none without).
  std::vector<BenchRecord> History();
  int64_t NowMicros();

 private:
  class View;
  class Watch;
  struct Slot;
  struct Unit;
  // The unit plugged in there, or the one that left while still listed.
  std::shared_ptr<Unit> UnitAt(int port, int plug, bool& lingering);
  void PlugLocked(int port);
  void Sweep();  // under mutex_: units that reset leave, fresh ones come
  void Leave(Slot& slot, bool unplugged);

  BenchSettings settings_;
  std::mutex mutex_;
  RealClock realClock_;
  VirtualClock benchClock_;  // without realTime: the watch's time
  std::vector<Slot> slots_;
  std::vector<BenchRecord> history_;
};

}  // namespace tovrix::emu
