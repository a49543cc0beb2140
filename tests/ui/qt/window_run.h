// One run of the window against the emulated unit on a virtual clock, and
// the headless transcript of the same run to hold it against.
//
// The window's run is written down in the transcript's own words, apart
// from the log (which is compared as the text of TxtBox): captions as the
// window title changes, boxes as the hooks answer them, reports and closes
// as the emulated unit sees them, and "exit" or "end" as the load handler
// finishes. Esc and close in the options' pump script are done to the
// window the way a user does them: as events that the pump delivers.
#pragma once

#include <QKeyEvent>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>

#include "app/qt/frm_tovrix_update.h"
#include "tools/emulate/emulate.h"
#include "emulator/emulated_hid.h"

namespace tovrix::qt::test {

// The sample image; with a bad checksum; none; an empty file; only the
// end-of-file record (no data for the unit); the sample's first 100 lines
// (cut short, without its end-of-file record).
enum class Image { Sample, BadChecksum, Missing, Empty, NoData, CutShort };

QString Q(std::string_view text);

// What the headless runner reports for the same options.
struct Transcript {
  QString log;         // the log/logpart lines joined as the log's text
  QStringList events;  // every other line, captions that change nothing left out
};

// Leaves out the caption lines that repeat the caption in force (the first
// one repeats the window's design caption).
QStringList DropRepeatedCaptions(const QStringList& events);

class WindowRun {
 public:
  // args: tovrix-emulate's options, without --image.
  explicit WindowRun(const QStringList& args, Image image = Image::Sample);
  ~WindowRun();

  frmTovrixUpdate& Window() { return *window_; }
  QPlainTextEdit* TxtBox() { return window_->TxtBox(); }
  emu::EmulatedHid& Hid() { return *hid_; }
  QString Log() const { return window_->TxtBox()->toPlainText(); }

  // Runs the load handler.
  void Load();
  // The headless transcript of the same options and image.
  Transcript Expected() const;

  QStringList events;              // as in the transcript
  std::optional<int> endStatus;    // the program ended at once with this
  int questions = 0;
  bool answer = true;              // the answer to the next question
  std::function<void(int pump)> atPump;  // more user actions at a pump

 private:
  QTemporaryDir dir_;
  headless::EmulateOptions options_;
  emu::VirtualClock clock_;
  std::unique_ptr<emu::EmulatedHid> hid_;
  std::unique_ptr<frmTovrixUpdate> window_;
};

// The log's size in the window as it stands: the size rule on the outer
// size (the log 330 x 700 twips smaller), but reaching down to as near the
// bottom of the client area as it is to the top (120 twips) where the frame
// is thinner than the Windows frame the rule's allowances hold.
QSize FittedLog(const frmTovrixUpdate& w);

// A key press as the platform delivers it, posted to be handled by the
// next event pump.
void PostKey(QWidget* target, int key, Qt::KeyboardModifiers modifiers, const QString& text);

// Keys that deliver a character code other than Esc: letters, digits,
// Space, Tab, Backspace, Enter, Delete, and Ctrl with V, X and A.
struct TypedKey {
  int key;
  Qt::KeyboardModifiers modifiers;
  QString text;
};
const std::vector<TypedKey>& TypingKeys();

}  // namespace tovrix::qt::test
