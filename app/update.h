// The update session: everything the window holds for one run of the tool,
// and the handlers that the window calls.
//
// RunUpdate is the window's load handler. It reads TOVRIXPRO.HEX whole, once
// (or shows "Cannot find TovrixPro.HEX file" and ends; an image the user
// named shows "Cannot open IMAGE: REASON" instead; an image larger than
// kMaxImageBytes shows its size and the limit), checks the whole image once
// before anything else (a bad line, or an odd address or count, is reported
// with its box and "Program Abort!"; an image whose last record is not an
// end-of-file record may be cut short and is refused with its own box; the
// unit is never touched), shows the window, finds and checks the unit,
// refuses an image with no data inside the unit's memory before ERASE,
// erases it, writes the image line by line with the progress in the
// caption (never above 100%), and resets the unit. The check, the write and
// the progress all take the bytes of that one read. It pumps the window's
// events once per image line and once per wait after ERASE; the window's
// handlers run only there.
//
// Records after an end-of-file record are read and written as before: only
// the last record must be one (images joined one after the other end with
// the last one's).
//
// Packing (boot.Pack, Bootloader in protocol.h) is off by default and the
// window never turns it on; a front end that offers it sets session.boot.Pack
// before RunUpdate. The log is the same either way.
//
// The program ends at once in three ways: an abort, Esc confirmed, or the
// window closed during a pump. RunUpdate then returns ended with the exit
// status, and the shell ends the process without its closing handling.
//
// A front end without a window (the command line) may also set the hooks
// under "Front ends without a window" below; the window sets none of them,
// and the session then runs exactly as described here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "app/image_file.h"
#include "app/write_plan.h"
#include "messages/messages.h"
#include "hex/hex.h"
#include "hid/hid.h"
#include "protocol/protocol.h"

namespace tovrix {

inline constexpr const char* kImageFileName = "TOVRIXPRO.HEX";
inline constexpr int kEscape = 27;

// The image of a run: TOVRIXPRO.HEX in the current directory by default
// (found whatever the case of its name, see FindDefaultImage), or a file
// the user named (on the command line, or in the desktop
// launcher's file dialog), whatever its name. Only the box for a file that
// cannot be opened differs: "Cannot find TovrixPro.HEX file" for the
// default, "Cannot open PATH: REASON" for a named one, with the path as the
// user gave it and the system's reason.
struct ImageSource {
  std::string path = kImageFileName;
  bool named = false;
  // The image as read before (a station reads it once for all its units):
  // the session takes these bytes, or this failure, and reads no file.
  std::shared_ptr<const ImageBytes> read;
  // The name the boxes give the image; path where empty (a page that holds
  // the user's file under a path of its own names the file here).
  std::string shown;

  const std::string& Shown() const { return shown.empty() ? path : shown; }

  ImageSource() = default;
  // A path in place of the default file, with the default file's box.
  ImageSource(std::string imagePath) : path(std::move(imagePath)) {}  // NOLINT: implicit
  ImageSource(const char* imagePath) : path(imagePath) {}             // NOLINT: implicit
  static ImageSource Named(std::string imagePath) {
    ImageSource source(std::move(imagePath));
    source.named = true;
    return source;
  }
};

// How the load handler came to its end.
struct UpdateOutcome {
  bool ended = false;  // the program must end at once
  int status = 0;      // its exit status when it does
};

// How far the sequence came: the step it began last. A front end that
// reports the result other than through the log (the command line's exit
// status) reads it instead of the log's words.
enum class UpdateStage : uint8_t {
  Image,       // opening and checking the image
  Search,      // looking for the unit
  NotFound,    // ended: no unit (the not-found block)
  NotTheUnit,  // ended: "Non-real TovrixPro detected!"
  Check,       // QUERY and its reply
  Refused,     // ended: no data inside the unit's memory (the box of BeforeTheErase)
  Erase,       // ERASE is being sent, or was sent and its reply awaited
  Write,       // writing the image
  Reset,       // the final flush and RESET
  Done,        // the sequence ran to its end
};

// What the window does after a key press.
struct KeyOutcome {
  int code = 0;        // what is left of the key's code for the control: always 0,
                       // as every code is discarded
  bool end = false;    // the program must end at once now
  int status = kExitUpdated;
};

class UpdateSession {
 public:
  UpdateSession(Shell& shell, HidApi& api, ImageSource image = {});

  // The window's load handler: the whole update.
  UpdateOutcome RunUpdate();

  // The key press handler of the log; the window's own handler calls it on
  // a copy of its code. Esc ends the program, after the question "Exit
  // TovrixPro Update - Are you sure" while DeviceOpen is exactly -1; every
  // code is discarded. While the update runs, an end is carried out when
  // the pump returns and the result never asks the shell to end.
  KeyOutcome KeyPress(int code);

  // The window's unload handler: closes the device, never asks. A close
  // during a pump of the running update ends the program there.
  void Unload();

  // True while RunUpdate runs.
  bool Running() const { return running_; }
  UpdateStage Stage() const { return stage_; }
  // The exit status of the program as the session stands: kExitUpdated once
  // the unit was updated, kExitByAbort before (Esc and the close during the
  // update end it with this, and a window closed after a run that found no
  // unit ends with it too).
  int ExitStatus() const { return stage_ == UpdateStage::Done ? kExitUpdated : kExitByAbort; }

  // Every front end: once the memory bounds are known and before ERASE, an
  // image without any data inside them (empty, or made for another device
  // or another memory layout) is refused: the box "The image has no data
  // inside the unit's memory ($S to $E): nothing was erased" and the end of
  // the program with status 1, the unit not erased.

  // Front ends without a window.
  //
  // Called once before ERASE (after that refusal), with what the write will
  // send. It runs like an event pump: when a handler called in there asked
  // for the end (Unload), the program ends as it returns, before ERASE.
  std::function<void(const WritePlan&)> BeforeErase;

  // The window's fields.
  Messages messages;
  HidTransport hid;
  Bootloader boot;
  HexRecord Record;
  std::string_view CurrentLine;  // inside the image's bytes
  int32_t LineNumber = 0;
  int16_t LastPercent = 0;

 private:
  void UpdateSequence();
  void OpenImage();
  // The box for an image that cannot be opened or read, and the end.
  [[noreturn]] void ImageFailure();
  void ValidateImage();
  void LogNotFound();
  bool CapsAreTheUnits() const;
  void CheckTheUnit();
  void BeforeTheErase();
  void EraseTheUnit();
  void WriteTheImage();
  void ParseCurrentLine();
  void ShowLineProgress();
  void ReportHighestAddress();
  void ResetTheUnit();
  void EndAtOnce(int status);

  ImageSource source_;
  ImageFile image_;
  bool running_ = false;
  UpdateStage stage_ = UpdateStage::Image;
};

}  // namespace tovrix
