// The Linux interface watch: see linux_hid.h.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "hid/linux/linux_hid.h"

namespace tovrix {
namespace {

constexpr int kPollMs = 250;  // without inotify

class InotifyWatch final : public InterfaceWatch {
 public:
  explicit InotifyWatch(const std::string& devRoot) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, devRoot.c_str(), IN_CREATE | IN_ATTRIB | IN_MOVED_TO) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~InotifyWatch() override {
    if (fd_ >= 0) ::close(fd_);
  }
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;

  bool Wait(int timeoutMs) override {
    timeoutMs = std::max(timeoutMs, 0);
    if (fd_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, kPollMs)));
      return true;
    }
    pollfd watch{fd_, POLLIN, 0};
    // A signal ends the wait early (EINTR): the caller looks at why.
    if (::poll(&watch, 1, timeoutMs) <= 0) return false;
    // Take every event waiting: one list of the interfaces covers them all.
    alignas(inotify_event) char events[4096];
    while (::read(fd_, events, sizeof events) > 0) {
    }
    return true;
  }

 private:
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<InterfaceWatch> MakeLinuxInterfaceWatch(std::string devRoot) {
  return std::make_unique<InotifyWatch>(devRoot);
}

}  // namespace tovrix
