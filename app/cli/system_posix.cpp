#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "app/cli/system.h"

namespace tovrix::cli {
namespace {

class PosixRecord final : public RecordFile {
 public:
  explicit PosixRecord(int fd) : fd_(fd) {}
  ~PosixRecord() override { ::close(fd_); }
  PosixRecord(const PosixRecord&) = delete;
  PosixRecord& operator=(const PosixRecord&) = delete;

  std::string Append(std::string_view line) override {
    std::string whole(line);
    whole += '\n';
    ssize_t written = -1;
    do {
      written = ::write(fd_, whole.data(), whole.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return std::strerror(errno);
    if (static_cast<std::size_t>(written) < whole.size()) {
      // Only part of the line went: the disk is full (the next write would
      // say ENOSPC). The piece comes off again while the file ends with it.
      const off_t end = ::lseek(fd_, 0, SEEK_CUR);
      struct stat st {};
      if (end >= written && ::fstat(fd_, &st) == 0 && st.st_size == end) {
        if (::ftruncate(fd_, end - written) != 0) {
          // Left as it is: the reason below says the line was cut.
        }
      }
      return std::string(std::strerror(ENOSPC)) + " (the line was cut short)";
    }
    // A pipe to a log shipper keeps nothing to flush (EINVAL).
    if (::fsync(fd_) != 0 && errno != EINVAL) return std::strerror(errno);
    return {};
  }

 private:
  int fd_;
};

}  // namespace

RecordOpened OpenRecordFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return {nullptr, std::strerror(errno)};
  return {std::make_unique<PosixRecord>(fd), {}};
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

WallTime LocalWallTime() {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  return {ms, static_cast<int>(local.tm_gmtoff / 60)};
}

}  // namespace tovrix::cli
