#include "app/update.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace tovrix {
namespace {

// Rounds to the nearest integer, halves to the even neighbour.
int64_t RoundHalfEven(double value) {
  // Percentages stay far inside this; the clamp only keeps a file that
  // changed under the tool from overflowing the conversion.
  if (!(value > -32768.0)) return -32768;
  if (!(value < 32767.0)) return 32767;
  const double floor = std::floor(value);
  const double fraction = value - floor;
  auto result = static_cast<int64_t>(floor);
  if (fraction > 0.5 || (fraction == 0.5 && result % 2 != 0)) ++result;
  return result;
}

}  // namespace

UpdateSession::UpdateSession(Shell& shell, HidApi& api, ImageSource image)
    : messages(shell), hid(api, messages), boot(hid, messages), source_(std::move(image)) {}

UpdateOutcome UpdateSession::RunUpdate() {
  running_ = true;
  UpdateOutcome outcome;
  try {
    UpdateSequence();
  } catch (const ProgramEnd& end) {
    outcome = {true, end.status};
  }
  running_ = false;
  return outcome;
}

void UpdateSession::UpdateSequence() {
  stage_ = UpdateStage::Image;
  OpenImage();
  ValidateImage();
  stage_ = UpdateStage::Search;

  messages.SetCaption(BaseCaption);
  messages.LogText("TovrixPro Updater: looking for TovrixPro in UPdate mode ...", 1);
  messages.shell().ShowWindow();

  hid.Device.DeviceOpen = hid.FindTheHid();
  if (!hid.Device.DeviceOpen) {
    stage_ = UpdateStage::NotFound;
    LogNotFound();
    return;
  }
  if (!CapsAreTheUnits()) {
    stage_ = UpdateStage::NotTheUnit;
    messages.LogText("Non-real TovrixPro detected! Program cannot continue", 1);
    return;
  }
  hid.InputBuffer.assign(hid.Device.DeviceCaps.InputReportByteLength + 1u, 0);

  stage_ = UpdateStage::Check;
  CheckTheUnit();
  BeforeTheErase();
  stage_ = UpdateStage::Erase;
  EraseTheUnit();
  stage_ = UpdateStage::Write;
  WriteTheImage();
  stage_ = UpdateStage::Reset;
  ReportHighestAddress();

  // The final flush: no data, but the last line's address may still close
  // the last run.
  Record.DataCount = 0;
  boot.ProgramRecord(Record, LineNumber);
  boot.FinishProgramming();  // packed data still held (none unpacked)

  ResetTheUnit();
  hid.Device.DeviceOpen = kFalse;
  stage_ = UpdateStage::Done;
}

void UpdateSession::OpenImage() {
  const bool read = source_.read ? image_.Use(source_.read)
                                 : image_.Open(source_.named ? source_.path : FindDefaultImage(source_.path));
  if (!read) ImageFailure();
}

void UpdateSession::ImageFailure() {
  if (image_.TooLarge()) {
    messages.CriticalBox("The image " + source_.Shown() + " is too large: " + TooLargeText(image_.Image()->size));
  } else if (source_.named) {
    messages.CriticalBox("Cannot open " + source_.Shown() + ": " + image_.ErrorText());
  } else {
    messages.CriticalBox("Cannot find TovrixPro.HEX file");
  }
  messages.EndProgram(kExitByAbort);
}

// Every check that depends on the file alone, before the unit is touched:
// the lines, the odd address or count of every record that would be
// programmed, an image that does not end with its end-of-file record (a
// download or a copy cut at a line end parses line by line as well as the
// whole), and the final flush on the last line's address. An empty image
// has nothing cut off: the check before ERASE refuses it.
void UpdateSession::ValidateImage() {
  constexpr int kEndOfFile = 0x01;
  HexRecord record;
  std::string_view line;
  int32_t lineNumber = 0;
  int lastType = kEndOfFile;
  while (image_.ReadLine(line)) {
    ++lineNumber;
    const HexLineResult parsed = ParseHexLine(line, record);
    if (parsed.error != HexError::None) {
      messages.CriticalBox(HexErrorMessage(parsed, lineNumber));
      messages.AbortProgram();
    }
    lastType = parsed.type;
    record.DataCount = parsed.count;
    if (record.DataCount != 0 && IsOddRecord(record)) {
      messages.CriticalBox(OddRecordMessage(lineNumber));
      messages.AbortProgram();
    }
  }
  if (lastType != kEndOfFile) {
    messages.CriticalBox("The image " + source_.Shown() +
                         " does not end with an end-of-file record, so it may be cut short: "
                         "nothing was sent to the unit");
    messages.EndProgram(kExitByAbort);
  }
  record.DataCount = 0;
  if (IsOddRecord(record)) {
    messages.CriticalBox(OddRecordMessage(lineNumber));
    messages.AbortProgram();
  }
  image_.Rewind();
}

void UpdateSession::LogNotFound() {
  messages.LogText("", 1);
  messages.LogText("", 1);
  messages.LogText("Cannot find TovrixPro!", 1);
  messages.LogText("=================", 1);
  messages.LogText("Please close program, connect TovrixPro in UPdate mode, and re-run program", 1);
  messages.LogText("Press and hold UP button on TovrixPro, when connecting USB cable", 1);
  messages.LogText("Wait for display to flash quickly, then release UP button", 1);
  messages.LogText("THEN run this program again", 1);
}

bool UpdateSession::CapsAreTheUnits() const {
  return HasTheUnitsCaps(hid.Device.DeviceCaps);
}

void UpdateSession::CheckTheUnit() {
  messages.LogText("Checking TovrixPro ... ", 0);
  boot.SendCommand(QUERY);
  hid.ReadInputReport();
  boot.CheckQueryReply();
}

// An image with nothing to write is refused before the unit is erased for
// it; a front end without a window learns the totals of the write.
void UpdateSession::BeforeTheErase() {
  const WritePlan plan = PlanWrite(image_, boot.MemoryStart, boot.MemoryEnd, boot.Pack, boot.PacketSize);
  if (plan.bytes == 0) {
    stage_ = UpdateStage::Refused;
    messages.CriticalBox("The image has no data inside the unit's memory ($" +
                         Hex(static_cast<uint64_t>(boot.MemoryStart)) + " to $" +
                         Hex(static_cast<uint64_t>(boot.MemoryEnd)) + "): nothing was erased");
    messages.EndProgram(kExitByAbort);
  }
  if (BeforeErase) {
    BeforeErase(plan);
    messages.EndIfRequested();
  }
}

void UpdateSession::EraseTheUnit() {
  messages.LogText("Erasing TovrixPro ... ", 0);
  boot.SendCommand(ERASE);
  messages.ShowProgress(0);
  boot.SendCommand(QUERY);
  hid.AwaitEraseResponse();
  messages.LogText("OK", 1);
}

void UpdateSession::WriteTheImage() {
  boot.StartProgramming();
  LastPercent = 0;
  messages.LogText("", 1);
  messages.LogText("Writing new program to TovrixPro ... ", 1);
  LineNumber = 0;
  while (!image_.AtEnd()) {
    messages.PumpEvents();
    if (!image_.ReadLine(CurrentLine)) break;
    ++LineNumber;
    ParseCurrentLine();
    if (Record.DataCount != 0) boot.ProgramRecord(Record, LineNumber);
    ShowLineProgress();
  }
}

void UpdateSession::ParseCurrentLine() {
  const HexLineResult parsed = ParseHexLine(CurrentLine, Record);
  if (parsed.error != HexError::None) {
    messages.CriticalBox(HexErrorMessage(parsed, LineNumber));
    messages.AbortProgram();
  }
  Record.DataCount = parsed.count;
}

void UpdateSession::ShowLineProgress() {
  const double length = static_cast<double>(image_.Length());
  const double position = static_cast<double>(image_.Position());
  // Past the last line the position is one beyond the length: a small
  // image would show 101%.
  const int64_t percent = std::min<int64_t>(RoundHalfEven(position / (length / 100.0)), 100);
  if (percent - LastPercent > 4) {
    LastPercent = static_cast<int16_t>(percent);
    messages.ShowProgress(LastPercent);
  }
}

void UpdateSession::ReportHighestAddress() {
  if (boot.HighestAddress < 1) {
    messages.LogText("WARNING: No data written!", 1);
  } else {
    messages.LogText("Highest written address: $" + Hex(static_cast<uint64_t>(boot.HighestAddress)),
                     1);
  }
}

void UpdateSession::ResetTheUnit() {
  messages.LogText("", 1);
  messages.LogText("Finished! Resetting TovrixPro ... ", 0);
  boot.SendCommand(RESET);
  messages.LogText("OK", 1);
  messages.LogText("", 1);
  messages.LogText("TovrixPro should now be running with new program ...", 1);
}

KeyOutcome UpdateSession::KeyPress(int code) {
  KeyOutcome outcome;  // every code is discarded
  if (code != kEscape || messages.EndRequested()) return outcome;
  if (hid.Device.DeviceOpen == kTrue &&
      !messages.shell().AskQuestion("Exit TovrixPro Update - Are you sure")) {
    return outcome;
  }
  hid.CloseDevice();
  EndAtOnce(ExitStatus());
  outcome.end = !running_;
  outcome.status = ExitStatus();
  return outcome;
}

void UpdateSession::Unload() {
  hid.CloseDevice();
  EndAtOnce(ExitStatus());
}

void UpdateSession::EndAtOnce(int status) {
  // During the update the pump that let the handler in ends the program;
  // otherwise the shell does.
  if (running_) messages.RequestEnd(status);
}

}  // namespace tovrix
