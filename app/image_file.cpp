#include "app/image_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tovrix {
namespace {
constexpr std::size_t kBufferBytes = 64 * 1024;

char Folded(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameWithoutCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Folded(a[i]) != Folded(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string FindDefaultImage(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path given(path);
  if (fs::exists(fs::symlink_status(given, error)) || given.filename().empty()) return path;
  const fs::path folder = given.has_parent_path() ? given.parent_path() : fs::path(".");
  const std::string name = given.filename().string();
  std::string found;
  int matches = 0;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string entry = it->path().filename().string();
    std::error_code ignored;
    if (!SameWithoutCase(entry, name) || it->is_directory(ignored)) continue;
    found = (given.has_parent_path() ? it->path() : fs::path(entry)).string();
    ++matches;
  }
  return matches == 1 ? found : path;
}

ImageFile::~ImageFile() {
  if (file_) std::fclose(file_);
}

bool ImageFile::Open(const std::string& path) {
  error_.clear();
  notRegular_ = false;
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!error && status.type() == std::filesystem::file_type::not_found) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
  }
  if (error) {
    error_ = error;
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    error_ = std::make_error_code(std::errc::is_a_directory);
    return false;
  }
  // A device or a pipe has no length to measure the progress by, and a
  // pipe would block the open.
  if (!std::filesystem::is_regular_file(status)) {
    notRegular_ = true;
    return false;
  }
  const auto size = std::filesystem::file_size(path, error);
  if (error) {
    error_ = error;
    return false;
  }
  errno = 0;
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) {
    error_ = std::error_code(errno != 0 ? errno : EIO, std::generic_category());
    return false;
  }
  length_ = static_cast<int64_t>(size);
  buffer_.resize(kBufferBytes);
  return true;
}

std::string ImageFile::ErrorText() const {
  if (notRegular_) return "Not a regular file";
  return error_ ? error_.message() : std::string();
}

bool ImageFile::Rewind() {
  if (!file_) return false;
  errno = 0;
  if (std::fseek(file_, 0, SEEK_SET) != 0) {
    error_ = std::error_code(errno != 0 ? errno : EIO, std::generic_category());
    return false;
  }
  begin_ = end_ = 0;
  nextLf_ = kUnknown;
  consumed_ = 0;
  failed_ = false;
  return true;
}

bool ImageFile::Fill() {
  if (begin_ < end_) return true;
  if (!file_ || failed_) return false;
  begin_ = 0;
  nextLf_ = kUnknown;
  errno = 0;
  end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
  if (end_ == 0 && std::ferror(file_)) {
    failed_ = true;
    error_ = std::error_code(errno != 0 ? errno : EIO, std::generic_category());
  }
  return end_ > 0;
}

bool ImageFile::AtEnd() { return !Fill(); }

std::size_t ImageFile::TextLength() {
  const char* start = buffer_.data() + begin_;
  if (nextLf_ == kUnknown || nextLf_ < begin_) {
    const void* lf = std::memchr(start, '\n', end_ - begin_);
    nextLf_ = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - buffer_.data()) : end_;
  }
  const std::size_t limit = nextLf_ - begin_;
  const void* cr = std::memchr(start, '\r', limit);
  return cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - start) : limit;
}

bool ImageFile::ReadLine(std::string& line) {
  line.clear();
  if (!Fill()) return false;
  for (;;) {
    const std::size_t available = end_ - begin_;
    const std::size_t n = TextLength();
    line.append(buffer_.data() + begin_, n);
    begin_ += n;
    consumed_ += static_cast<int64_t>(n);
    if (n < available) break;  // a line end is next
    if (!Fill()) return true;  // the last line, without a line end
  }
  const char ending = buffer_[begin_++];
  ++consumed_;
  if (ending == '\r' && Fill() && buffer_[begin_] == '\n') {
    ++begin_;
    ++consumed_;
  }
  return true;
}

}  // namespace tovrix
