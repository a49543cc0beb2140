// How tovrix-update starts: its command line answered, and the image of
// the run, asked for in a file dialog in the desktop launcher's mode.
#pragma once

#include <QString>
#include <optional>
#include <string>

#include "app/command_line.h"

class QWidget;

namespace tovrix::qt {

// Answers the command line before Qt starts where it can, so that
// --version, --help and mistakes need no display: the exit status, or
// nothing when the program goes on. argv may still hold Qt's own options
// (-platform NAME): with one of them, only --version and --help are
// answered here.
std::optional<int> AnswerEarly(int argc, char** argv);

// The command line once QApplication has taken out its own options.
CommandLine ReadCommandLine(int argc, char** argv);

// Prints the text of an action other than Update; its exit status.
int Answer(const CommandLine& line);

// The image of the run: the command line's, or the one chosen in the file
// dialog (see ChooseImage); nothing when the dialog was cancelled.
std::optional<ImageSource> ImageOfTheRun(const CommandLine& line);

// The desktop launcher's question for the image: a modal file dialog for
// Intel HEX files (*.hex), starting in the user's Downloads folder, or the
// home folder where there is none. The path chosen, or nothing on Cancel.
std::optional<std::string> ChooseImage(QWidget* parent = nullptr);

// Where that dialog starts.
QString ImageDialogFolder();

}  // namespace tovrix::qt
