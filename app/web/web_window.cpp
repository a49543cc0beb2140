#include "app/web/web_window.h"

#include <emscripten.h>

#include <string>

namespace tovrix::web {
namespace {

// The page: Module.tovrixPage (app/web/page.js). Texts are passed as
// pointer and length, since log fragments need not end where a C string
// would.
EM_JS(void, page_caption, (const char* text, int length), {
  Module.tovrixPage.caption(UTF8ToString(text, length));
});
EM_JS(void, page_log, (const char* text, int length, int newline), {
  Module.tovrixPage.log(UTF8ToString(text, length), newline !== 0);
});
EM_JS(void, page_show, (), { Module.tovrixPage.show(); });
EM_ASYNC_JS(void, page_critical, (const char* text, int length), {
  await Module.tovrixPage.critical(UTF8ToString(text, length));
});
EM_ASYNC_JS(int, page_question, (const char* text, int length), {
  return (await Module.tovrixPage.question(UTF8ToString(text, length))) ? 1 : 0;
});
// Lets the browser run when it is due; afterwards the keys pressed so far
// are taken one by one with page_next_key.
EM_ASYNC_JS(void, page_pump, (), { await Module.tovrixPage.pump(); });
EM_JS(int, page_next_key, (), { return Module.tovrixPage.nextKey(); });
EM_JS(void, page_end, (int status), { Module.tovrixPage.end(status); });

int Length(std::string_view text) { return static_cast<int>(text.size()); }

}  // namespace

WebWindow::WebWindow(HidApi& api, ImageSource image)
    : glue_(*this, api, std::move(image),
            WindowHooks{
                [](std::string_view text) { page_critical(text.data(), Length(text)); },
                [](std::string_view text) { return page_question(text.data(), Length(text)) != 0; },
                [this](int status) { End(status); },
                {},
            }) {}

bool WebWindow::FormLoad() { return glue_.FormLoad(); }

void WebWindow::KeyPress(int code) {
  if (ended_) return;
  glue_.TxtBoxKeyPress(code);
}

void WebWindow::End(int status) {
  ended_ = true;
  page_end(status);
}

void WebWindow::SetCaption(std::string_view text) { page_caption(text.data(), Length(text)); }

void WebWindow::AppendLog(std::string_view text, bool newline) {
  page_log(text.data(), Length(text), newline ? 1 : 0);
}

void WebWindow::ShowCritical(std::string_view text) { glue_.ShowCritical(text); }

bool WebWindow::AskQuestion(std::string_view text) { return glue_.AskQuestion(text); }

void WebWindow::ShowWindow() { page_show(); }

void WebWindow::PumpEvents() {
  glue_.BeforePump();
  page_pump();
  for (int code = page_next_key(); code != 0; code = page_next_key()) glue_.TxtBoxKeyPress(code);
}

}  // namespace tovrix::web
