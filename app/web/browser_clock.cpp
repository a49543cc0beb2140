#include "app/web/browser_clock.h"

#include <emscripten.h>

#include <algorithm>

namespace tovrix::web {

BrowserClock::BrowserClock() : origin_(emscripten_get_now()) {}

int64_t BrowserClock::Real() const {
  return static_cast<int64_t>((emscripten_get_now() - origin_) * 1000.0);
}

int64_t BrowserClock::Now() {
  now_ = std::max(now_, Real());
  return now_;
}

void BrowserClock::SleepUntil(int64_t when) {
  now_ = std::max({now_, when, Real()});
  const int64_t ahead = now_ - Real();
  if (ahead >= kSleepGrainMicros) emscripten_sleep(static_cast<unsigned>(ahead / 1000));
}

}  // namespace tovrix::web
