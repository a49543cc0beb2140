// What tovrix-flash asks of the system beyond the unit: the record file
// (--record), the host's name (the station's by default) and the wall
// clock. system_posix.cpp and system_win32.cpp give them; the rest of the
// program reaches them through FlashIo, so that tests can give their own.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/cli/output.h"  // WallTime

namespace tovrix::cli {

// A file that a record is appended to: each line with one write, on a file
// opened for appending only (O_APPEND; FILE_APPEND_DATA on Windows), so
// that two stations sharing it never mix inside a line, then flushed to the
// disk (fsync; FlushFileBuffers) before Append returns. A write cut short
// (the disk full) takes its piece back off the file where it can, so that
// no torn line is left.
class RecordFile {
 public:
  virtual ~RecordFile() = default;
  // Appends line and its line end; empty when done, else the system's reason.
  virtual std::string Append(std::string_view line) = 0;
};

struct RecordOpened {
  std::unique_ptr<RecordFile> file;  // none when it could not be opened
  std::string error;                 // then the system's reason
};

// Opens (creates, mode 0644 less the umask) the record file at path.
RecordOpened OpenRecordFile(const std::string& path);

// The host's name; "localhost" when the system gives none.
std::string HostName();

// Now, with the local zone's offset.
WallTime LocalWallTime();

}  // namespace tovrix::cli
