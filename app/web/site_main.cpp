// The engine's entry points for the web page (app/web/page.js calls them
// through ccall):
//
//   tovrix_run(demo, imagePath, imageName)
//                                 the window's load handler: the whole
//                                 update of the image at imagePath (named
//                                 imageName in the boxes), on the
//                                 devices chosen in the browser (WebHID) or,
//                                 with demo, on the emulated unit in real
//                                 time (erase 1.2 s, 1 ms a report, as the
//                                 desktop demo). Awaited (Asyncify). Returns
//                                 1 when the program was ended.
//   tovrix_key(code)              a key press on the log once the update has
//                                 returned. Awaited.
//   tovrix_write_sample(path)     writes the sample image (the demo's).
//
// One update session per page: a second tovrix_run does nothing.
//
// The engine here uses no C++ streams: they would bring the whole of the
// standard library's locales into tovrix.wasm.
#include <emscripten.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "app/web/browser_clock.h"
#include "app/web/web_hid.h"
#include "app/web/web_window.h"
#include "emulator/emulated_hid.h"
#include "emulator/images.h"

namespace {

using namespace tovrix;

struct Site {
  std::unique_ptr<HidApi> hid;
  std::unique_ptr<web::BrowserClock> clock;
  std::unique_ptr<web::WebWindow> window;
};

Site& TheSite() {
  static Site site;
  return site;
}

// The emulated unit of the demo: as tovrix-update-demo's.
std::unique_ptr<HidApi> DemoUnit(emu::Clock& clock) {
  return std::make_unique<emu::EmulatedHid>(emu::RealTimeDemoOptions(), clock);
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int tovrix_run(int demo, const char* imagePath, const char* imageName) {
  Site& site = TheSite();
  if (site.window) return 0;
  if (demo != 0) {
    site.clock = std::make_unique<web::BrowserClock>();
    site.hid = DemoUnit(*site.clock);
  } else {
    site.hid = std::make_unique<web::WebHidApi>();
  }
  ImageSource image(imagePath);
  image.shown = imageName;
  site.window = std::make_unique<web::WebWindow>(*site.hid, std::move(image));
  return site.window->FormLoad() ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE void tovrix_key(int code) {
  Site& site = TheSite();
  if (site.window) site.window->KeyPress(code);
}

EMSCRIPTEN_KEEPALIVE int tovrix_write_sample(const char* path) {
  std::FILE* out = std::fopen(path, "wb");
  if (!out) return 0;
  const std::string image = images::SampleImage();
  const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  return std::fclose(out) == 0 && written ? 1 : 0;
}

}  // extern "C"
