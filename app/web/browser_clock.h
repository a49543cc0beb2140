// Real time for the emulated unit in the browser (the page's demo).
//
// The emulated unit sleeps for every report it takes (1 ms in the demo) and
// for the erase. The browser cannot sleep that finely: each sleep returns
// to its event loop, and its timers run late by several milliseconds once
// they follow each other. So this clock lets the unit's time run ahead of
// real time and sleeps (emscripten_sleep, through Asyncify) only when it is
// ahead by a frame, about 16 ms: the unit keeps real time to within that,
// and the page is redrawn while it waits.
#pragma once

#include <cstdint>

#include "emulator/emulated_hid.h"

namespace tovrix::web {

class BrowserClock : public emu::Clock {
 public:
  BrowserClock();
  int64_t Now() override;
  void SleepUntil(int64_t when) override;

 private:
  static constexpr int64_t kSleepGrainMicros = 16'000;
  int64_t Real() const;

  double origin_;
  int64_t now_ = 0;  // never behind real time
};

}  // namespace tovrix::web
