#include "app/image_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tovrix {
namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

std::string SystemText(int error) {
  return std::error_code(error != 0 ? error : EIO, std::generic_category()).message();
}

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

std::shared_ptr<const ImageBytes> ReadImageFile(const std::string& path,
                                                const std::function<void()>& sized) {
  auto image = std::make_shared<ImageBytes>();
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!error && status.type() == std::filesystem::file_type::not_found) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
  }
  if (!error && std::filesystem::is_directory(status)) error = std::make_error_code(std::errc::is_a_directory);
  if (error) {
    image->error = error.message();
    return image;
  }
  if (!std::filesystem::is_regular_file(status)) {
    image->error = "Not a regular file";
    return image;
  }
  const auto size = std::filesystem::file_size(path, error);
  if (error) {
    image->error = error.message();
    return image;
  }
  image->size = static_cast<int64_t>(size);
  if (image->size > kMaxImageBytes) {
    image->tooLarge = true;
    return image;
  }
  if (sized) sized();
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    image->error = SystemText(errno);
    return image;
  }
  // Read in chunks up to one byte past the limit: a file that grew since
  // its size was taken is read as it is now, and refused when too large.
  image->bytes.reserve(static_cast<std::size_t>(size));
  std::vector<char> chunk(kChunkBytes);
  for (;;) {
    const std::size_t room = static_cast<std::size_t>(kMaxImageBytes) + 1 - image->bytes.size();
    errno = 0;
    const std::size_t got = std::fread(chunk.data(), 1, std::min(chunk.size(), room), file);
    image->bytes.append(chunk.data(), got);
    if (static_cast<int64_t>(image->bytes.size()) > kMaxImageBytes) {
      std::fclose(file);
      // The size it has now, not the bytes read up to the limit.
      std::error_code ignored;
      const auto now = std::filesystem::file_size(path, ignored);
      image->tooLarge = true;
      image->size = std::max(ignored ? 0 : static_cast<int64_t>(now),
                             static_cast<int64_t>(image->bytes.size()));
      image->bytes = std::string();
      return image;
    }
    if (got == 0) break;
  }
  const bool failed = std::ferror(file) != 0;
  const int readError = errno;
  std::fclose(file);
  if (failed) {
    image->error = SystemText(readError);
    image->bytes = std::string();
    return image;
  }
  image->size = static_cast<int64_t>(image->bytes.size());
  image->read = true;
  return image;
}

std::string TooLargeText(int64_t size) {
  return std::to_string(size) + " bytes, more than the limit of " + std::to_string(kMaxImageBytes) +
         " bytes (" + std::to_string(kMaxImageBytes / (1024 * 1024)) + " MiB)";
}

bool ImageFile::Use(std::shared_ptr<const ImageBytes> image) {
  image_ = std::move(image);
  size_ = image_ && image_->read ? image_->bytes.size() : 0;
  Rewind();
  return image_ && image_->read;
}

std::string ImageFile::ErrorText() const { return image_ ? image_->error : std::string(); }

void ImageFile::Rewind() {
  position_ = 0;
  nextLf_ = kUnknown;
}

bool ImageFile::AtEnd() const { return position_ >= size_; }

bool ImageFile::ReadLine(std::string_view& line) {
  line = {};
  if (AtEnd()) return false;
  const char* data = image_->bytes.data();
  if (nextLf_ == kUnknown || nextLf_ < position_) {
    const void* lf = std::memchr(data + position_, '\n', size_ - position_);
    nextLf_ = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) : size_;
  }
  const void* cr = std::memchr(data + position_, '\r', nextLf_ - position_);
  const std::size_t textEnd = cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - data) : nextLf_;
  line = std::string_view(data + position_, textEnd - position_);
  position_ = textEnd;
  if (position_ < size_) {
    const char ending = data[position_++];
    if (ending == '\r' && position_ < size_ && data[position_] == '\n') ++position_;
  }
  return true;
}

}  // namespace tovrix
