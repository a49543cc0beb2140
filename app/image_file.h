// The image file, read whole into memory once, then taken line by line from
// there: the check, the write plan and the write all see the bytes of that
// one read, and whatever happens to the file afterwards (replaced, cut
// short, deleted) changes nothing that is sent.
//
// A line ends at CR LF, at a lone LF or at a lone CR; the line end is not
// part of the line. The last line need not have a line end. Position counts
// the bytes consumed so far, line ends included, plus one: the 1-based
// position of the next byte to be read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tovrix {

// The most an image may hold: far beyond the image of any unit's memory (a
// few MiB of text), and what a run keeps in memory at most.
inline constexpr int64_t kMaxImageBytes = int64_t{64} * 1024 * 1024;

// One read of an image file: its bytes, or why there are none.
struct ImageBytes {
  bool read = false;   // the whole file is in bytes
  std::string bytes;
  std::string error;   // why it could not be read, in the system's words
  bool tooLarge = false;  // more than kMaxImageBytes: refused, not read
  int64_t size = 0;       // the file's size in bytes
};

// Reads the file at path whole, once: a regular file of at most
// kMaxImageBytes (a device or a pipe has no length to measure the progress
// by, and a pipe would block the open). The file is read as it is when it
// is read: one that grew past the limit after its size was taken is
// refused as too large all the same, with the size it has then. sized,
// when given, runs between the two (where whoever writes to the file
// meanwhile would).
std::shared_ptr<const ImageBytes> ReadImageFile(const std::string& path,
                                                const std::function<void()>& sized = {});

// "70000000 bytes, more than the limit of 67108864 bytes (64 MiB)": the
// size of an image that is too large, and the limit.
std::string TooLargeText(int64_t size);

class ImageFile {
 public:
  // Reads path whole (ReadImageFile); false when it could not be read or is
  // too large. ErrorText and TooLarge then tell why.
  bool Open(const std::string& path) { return Use(ReadImageFile(path)); }
  // Takes an image read before (by ReadImageFile, or Open of another
  // ImageFile); nothing is read. False when that read failed.
  bool Use(std::shared_ptr<const ImageBytes> image);
  const std::shared_ptr<const ImageBytes>& Image() const { return image_; }

  // Back to the first line.
  void Rewind();
  // True when no byte is left to read.
  bool AtEnd() const;
  // The next line, inside the image's bytes; false at the end.
  bool ReadLine(std::string_view& line);
  // Why the image could not be read ("No such file or directory",
  // "Permission denied", "Is a directory", "Not a regular file", ...).
  std::string ErrorText() const;
  bool TooLarge() const { return image_ && image_->tooLarge; }

  int64_t Length() const { return static_cast<int64_t>(size_); }
  int64_t Position() const { return static_cast<int64_t>(position_) + 1; }

 private:
  std::shared_ptr<const ImageBytes> image_;
  std::size_t size_ = 0;
  std::size_t position_ = 0;
  // Where the first LF at or after position_ lies (size_ when none);
  // kUnknown at first. Kept across lines so that an image without LFs is
  // not searched to its end for every line.
  static constexpr std::size_t kUnknown = SIZE_MAX;
  std::size_t nextLf_ = kUnknown;
};

// The default image found as Windows finds a file: path itself when
// something has that name (whatever the case where the file system ignores
// it); otherwise the one file in path's folder whose name matches path's
// last part without regard to the case of its letters. path again when no
// file matches or several do: opening it then fails as for a missing file.
std::string FindDefaultImage(const std::string& path);

}  // namespace tovrix
