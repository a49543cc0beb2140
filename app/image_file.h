// The image file, read line by line and never held whole.
//
// A line ends at CR LF, at a lone LF or at a lone CR; the line end is not
// part of the line. The last line need not have a line end. Position counts
// the bytes consumed so far, line ends included, plus one: the 1-based
// position of the next byte to be read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace tovrix {

class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile();

  // Opens path for reading; false when it cannot be opened or is not a
  // readable file (a directory, for one). ErrorText then tells why.
  bool Open(const std::string& path);
  // Back to the first line.
  bool Rewind();

  // True when no byte is left to read.
  bool AtEnd();
  // Reads the next line into line; false at the end of the file.
  bool ReadLine(std::string& line);
  // True once a read has failed (not merely reached the end).
  bool Failed() const { return failed_; }
  // Why the last Open or read failed, in the system's words ("No such file
  // or directory", "Permission denied", "Is a directory", ...).
  std::string ErrorText() const;

  int64_t Length() const { return length_; }
  int64_t Position() const { return consumed_ + 1; }

 private:
  bool Fill();
  // The length of the line text from begin_: up to the first CR or LF, or
  // to end_ when the buffer holds neither.
  std::size_t TextLength();

  std::FILE* file_ = nullptr;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  // Where the first LF at or after begin_ lies (end_ when none); kUnknown
  // after a fill. Kept across lines so that a file without LFs is not
  // searched to the end of the buffer for every line.
  static constexpr std::size_t kUnknown = SIZE_MAX;
  std::size_t nextLf_ = kUnknown;
  int64_t length_ = 0;
  int64_t consumed_ = 0;
  bool failed_ = false;
  std::error_code error_;
  bool notRegular_ = false;  // neither a directory nor a regular file
};

// The default image found as Windows finds a file: path itself when
// something has that name (whatever the case where the file system ignores
// it); otherwise the one file in path's folder whose name matches path's
// last part without regard to the case of its letters. path again when no
// file matches or several do: opening it then fails as for a missing file.
std::string FindDefaultImage(const std::string& path);

}  // namespace tovrix
