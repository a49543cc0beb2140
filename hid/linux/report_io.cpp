#include "hid/linux/report_io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "hid/ApiDeclarations.h"

namespace tovrix::linux_hid {
namespace {

// Larger than any report the kernel hands out (HID_MAX_BUFFER_SIZE).
constexpr std::size_t kScratchBytes = 16384;
// Reports dropped at most by one DiscardWaiting: the kernel keeps 64.
constexpr int kMaxDiscards = 1024;

}  // namespace

int32_t WriteReportTo(int fd, const uint8_t* report, std::size_t length) {
  if (report == nullptr || length == 0) return -EINVAL;
  for (;;) {
    const ssize_t written = ::write(fd, report, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    return static_cast<std::size_t>(written) == length ? 1 : -EIO;
  }
}

ReportReader::ReportReader(int fd, bool usesReportIds)
    : fd_(fd), usesReportIds_(usesReportIds), scratch_(kScratchBytes) {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

ReportReader ReaderFor(int fd, const ReportDescriptorSummary& descriptor) {
  return ReportReader(fd, descriptor.UsesReportIds);
}

int32_t ReportReader::Start(uint8_t* buffer, std::size_t length) {
  if (buffer == nullptr || length == 0) {
    buffer_ = nullptr;
    return 0;
  }
  buffer_ = buffer;
  length_ = length;
  return 1;
}

int32_t ReportReader::Wait(int timeoutMs) {
  if (buffer_ == nullptr) return -EINVAL;
  if (fd_ < 0) {  // poll would pass over it and time out
    buffer_ = nullptr;
    return -EBADF;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  const auto fail = [this](int32_t code) {
    buffer_ = nullptr;
    return code;
  };

  for (;;) {
    // Rounded up, so that the wait never ends before the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd watch{fd_, POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(-errno);
    }
    if (ready == 0) return kWaitTimeout;
    if (watch.revents & POLLNVAL) return fail(-EBADF);

    // Input, or an error or hang-up: the read tells which.
    const ssize_t got = ::read(fd_, scratch_.data(), scratch_.size());
    if (got == 0) return fail(-EIO);  // the other end is gone
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return fail(-errno);
    }

    // The report ID first: from the report itself, or 0 for a device
    // without IDs, whose reports come without it.
    std::size_t at = 0;
    if (!usesReportIds_) buffer_[at++] = 0;
    const std::size_t copied = std::min(static_cast<std::size_t>(got), length_ - at);
    std::memcpy(buffer_ + at, scratch_.data(), copied);
    std::fill(buffer_ + at + copied, buffer_ + length_, uint8_t{0});
    buffer_ = nullptr;
    return kWaitReady;
  }
}

int32_t ReportReader::Cancel() {
  buffer_ = nullptr;
  return 1;
}

void ReportReader::DiscardWaiting() {
  for (int i = 0; i < kMaxDiscards; ++i) {
    const ssize_t got = ::read(fd_, scratch_.data(), scratch_.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
  }
}

}  // namespace tovrix::linux_hid
