#include "emulator/gadget_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>

#include "emulator/options.h"

namespace tovrix::emu {
namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Milliseconds for poll until when, rounded up so that the wait never ends
// before it.
int PollTimeout(int64_t now, int64_t when) {
  if (when <= now) return 0;
  return static_cast<int>(std::min<int64_t>((when - now + 999) / 1000, 60'000));
}

// Why a wait ended.
enum class Waited : uint8_t { Ready, Deadline, Told, Failed };

// Waits for events on fd until deadline, or until endFd (if any) can be
// read: told to end. On Failed, error says what failed.
Waited Await(int fd, short events, int endFd, Clock& clock, int64_t deadline, std::string& error) {
  for (;;) {
    std::array<pollfd, 2> p{pollfd{fd, events, 0}, pollfd{endFd, POLLIN, 0}};
    const int ready = poll(p.data(), endFd >= 0 ? 2 : 1, PollTimeout(clock.Now(), deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      error = SystemError("poll");
      return Waited::Failed;
    }
    if (endFd >= 0 && p[1].revents != 0) return Waited::Told;
    if (ready > 0) {
      if (p[0].revents & (events | POLLHUP | POLLERR)) return Waited::Ready;
      error = "poll: the node reports " + std::to_string(p[0].revents);
      return Waited::Failed;
    }
    if (clock.Now() >= deadline) return Waited::Deadline;
  }
}

// The processes running now, by number.
std::set<pid_t> Processes() {
  namespace fs = std::filesystem;
  std::set<pid_t> pids;
  std::error_code error;
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    const std::string name = process.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    pids.insert(static_cast<pid_t>(std::stol(name)));
  }
  return pids;
}

// The processes, but this one and those in older, that hold a hidraw node
// open: the host's programs that use a unit. The open files of the
// processes that were there before the unit started are never read, so the
// look takes the same short time however busy the machine was then.
std::vector<pid_t> HidrawHolders(const std::set<pid_t>& older) {
  namespace fs = std::filesystem;
  std::vector<pid_t> holders;
  for (const pid_t pid : Processes()) {
    if (pid == getpid() || older.count(pid) > 0) continue;
    std::error_code fdError;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd.path(), linkError).string().rfind("/dev/hidraw", 0) == 0) {
        holders.push_back(pid);
        break;
      }
    }
  }
  return holders;
}

}  // namespace

std::optional<GadgetUnitOptions> ParseGadgetUnitOptions(const std::vector<std::string>& args,
                                                        std::string& error) {
  GadgetUnitOptions options;
  UnitOptionReader unit;
  bool repeatFirstReply = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--repeat-first-reply") {
      repeatFirstReply = true;
      continue;
    }
    if (name == "--stop-host") {
      options.stopHost = true;
      continue;
    }
    std::string_view value;
    if (name != "--silent-query") {
      if (i + 1 >= args.size()) {
        error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown option: " + name;
        return std::nullopt;
      }
      value = args[++i];
    }
    if (UnitOptionReader::Takes(name)) {
      if (!unit.Apply(name, value, error)) return std::nullopt;
    } else if (name == "--device") {
      options.device = std::string(value);
    } else if (name == "--out") {
      options.out = std::string(value);
    } else if (name == "--unplug") {
      options.unplugPath = std::string(value);
    } else if (name == "--time-limit") {
      int64_t seconds = 0;
      if (!ParseDecimal(value, 1, 3600, seconds)) {
        error = "--time-limit takes seconds, from 1 to 3600";
        return std::nullopt;
      }
      options.timeLimitMicros = seconds * 1'000'000;
    } else if (name == "--hold-until") {
      options.holdUntil = std::string(value);
    } else if (name == "--hold-at" || name == "--unplug-after") {
      int64_t n = 0;
      if (!ParseDecimal(value, 1, INT32_MAX, n)) {
        error = name + " takes a number from 1";
        return std::nullopt;
      }
      (name == "--hold-at" ? options.holdAt : options.unplugAfter) = static_cast<int>(n);
    } else {
      error = "unknown option: " + name;
      return std::nullopt;
    }
  }
  if ((options.unplugAfter > 0) != !options.unplugPath.empty()) {
    error = "--unplug-after and --unplug go together";
    return std::nullopt;
  }
  if ((options.holdAt > 0) != !options.holdUntil.empty()) {
    error = "--hold-at and --hold-until go together";
    return std::nullopt;
  }
  if (options.device.empty()) {
    error = "--device needs a path";
    return std::nullopt;
  }
  if (!unit.Finish(options.unit, error)) return std::nullopt;
  options.unit.repeatFirstReply = repeatFirstReply;
  return options;
}

ServeResult ServeUnit(int fd, TovrixUnit& unit, Clock& clock, int64_t timeLimitMicros,
                      int stopAfter, const ServeHold& hold) {
  ServeResult result;
  const int64_t deadline = clock.Now() + timeLimitMicros;
  enum class Held : uint8_t { Not, Holding, Over } held = hold.atReport > 0 ? Held::Not : Held::Over;
  int64_t lastTaken = clock.Now();
  // The host's programs, stopped at the first QUERY, go on when the
  // replies are out, or when serving ends.
  enum class HostStop : uint8_t { Before, Stopped, Over } hostStop =
      hold.stopHost && hold.resumeHost ? HostStop::Before : HostStop::Over;
  auto resumeHost = [&] {
    if (hostStop == HostStop::Stopped) hold.resumeHost();
    hostStop = HostStop::Over;
  };
  auto end = [&](ServeEnd how) {
    resumeHost();
    result.end = how;
    return result;
  };
  auto fail = [&](std::string error) {
    result.error = std::move(error);
    return end(ServeEnd::DeviceFailed);
  };
  // A wait for the node to take a reply that did not end with it ready.
  auto notWritable = [&](Waited waited, std::string error) {
    if (waited == Waited::Failed) return fail(std::move(error));
    return end(waited == Waited::Told ? ServeEnd::Told : ServeEnd::TimeLimit);
  };

  for (;;) {
    // The replies that are due.
    for (auto at = unit.NextReplyAt(); at && *at <= clock.Now(); at = unit.NextReplyAt()) {
      std::string error;
      const Waited waited = Await(fd, POLLOUT, hold.endFd, clock, deadline, error);
      if (waited != Waited::Ready) return notWritable(waited, error);
      const ReportData reply = unit.TakeReply();
      ssize_t written = 0;
      do {
        written = write(fd, reply.data(), reply.size());
      } while (written < 0 && errno == EINTR);
      if (written != static_cast<ssize_t>(reply.size())) {
        return fail(written < 0 ? SystemError("write")
                                : "write: " + std::to_string(written) + " of 64 bytes taken");
      }
      ++result.replies;
    }
    if (hostStop == HostStop::Stopped && !unit.NextReplyAt()) {
      // The last reply written is taken when the node can be written again.
      std::string error;
      const Waited waited = Await(fd, POLLOUT, hold.endFd, clock, deadline, error);
      if (waited != Waited::Ready) return notWritable(waited, error);
      resumeHost();
    }
    if (unit.Resets() > 0) return end(ServeEnd::Reset);
    if (stopAfter > 0 && result.reports >= stopAfter) return end(ServeEnd::Stopped);
    if (clock.Now() >= deadline) return end(ServeEnd::TimeLimit);

    // Held: the next report only a pace after the last one.
    if (held != Held::Over && result.reports >= hold.atReport) {
      if (hold.released && hold.released()) {
        held = Held::Over;
      } else {
        if (held == Held::Not) {
          held = Held::Holding;
          if (hold.started) hold.started();
        }
        const int64_t next = lastTaken + kHoldPaceMicros;
        if (clock.Now() < next) {
          clock.SleepUntil(std::min({deadline, unit.NextReplyAt().value_or(deadline), next}));
          continue;
        }
      }
    }

    // The next report, until the next reply is due.
    const int64_t until = std::min(deadline, unit.NextReplyAt().value_or(deadline));
    std::string error;
    const Waited waited = Await(fd, POLLIN, hold.endFd, clock, until, error);
    if (waited == Waited::Failed) return fail(error);
    if (waited == Waited::Told) return end(ServeEnd::Told);
    if (waited == Waited::Deadline) continue;
    std::array<uint8_t, kReportData> data{};
    const ssize_t got = read(fd, data.data(), data.size());
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return fail(SystemError("read"));
    }
    if (got == 0) return fail("read: the node was closed");
    ++result.reports;
    lastTaken = clock.Now();
    unit.Receive(std::span<const uint8_t>(data.data(), static_cast<std::size_t>(got)), clock.Now());
    if (hostStop == HostStop::Before && unit.Queries() > 0) {
      hostStop = HostStop::Stopped;
      hold.stopHost();
    }
  }
}

std::string ServeSummary(const ServeResult& result, const TovrixUnit& unit) {
  static constexpr const char* kEnds[] = {"reset", "unplugged", "time limit", "node failed",
                                          "told to end"};
  std::string line = "tovrix-gadget-unit: " + std::string(kEnds[static_cast<int>(result.end)]);
  if (!result.error.empty()) line += " (" + result.error + ")";
  line += "; " + std::to_string(result.reports) + " reports in, " + std::to_string(result.replies) +
          " out; " + std::to_string(unit.Queries()) + " QUERY, " + std::to_string(unit.Erases()) +
          " ERASE, " + std::to_string(unit.Programs()) + " PROGRAM, " +
          std::to_string(unit.Completes()) + " COMPLETE, " + std::to_string(unit.Resets()) +
          " RESET, " + std::to_string(unit.ProtocolErrors()) + " protocol errors; " +
          std::to_string(unit.Memory().ByteCount()) + " bytes of memory";
  return line;
}

int RunGadgetUnit(const GadgetUnitOptions& options) {
  const int fd = open(options.device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "tovrix-gadget-unit: " << SystemError(options.device.c_str()) << '\n';
    return 3;
  }
  TovrixUnit unit(options.unit);
  RealClock clock;
  ServeHold hold;
  // SIGTERM or SIGINT: the unit ends as at the time limit, its memory and
  // summary written (a case that has nothing more to wait for ends it).
  sigset_t told;
  sigemptyset(&told);
  sigaddset(&told, SIGTERM);
  sigaddset(&told, SIGINT);
  if (sigprocmask(SIG_BLOCK, &told, nullptr) == 0) hold.endFd = signalfd(-1, &told, SFD_CLOEXEC);
  if (options.holdAt > 0) {
    hold.atReport = options.holdAt;
    hold.released = [&] { return access(options.holdUntil.c_str(), F_OK) == 0; };
    hold.started = [&] {
      std::cerr << "tovrix-gadget-unit: holding after report " << options.holdAt << " until "
                << options.holdUntil << " is there" << std::endl;
    };
  }
  std::vector<pid_t> stopped;
  int64_t stopMicros = 0;
  std::set<pid_t> older;
  if (options.stopHost) {
    // Only programs started after the unit are the host's under test.
    older = Processes();
    hold.stopHost = [&] {
      const int64_t came = clock.Now();
      stopped = HidrawHolders(older);
      for (const pid_t pid : stopped) kill(pid, SIGSTOP);
      stopMicros = clock.Now() - came;
    };
    hold.resumeHost = [&] {
      for (const pid_t pid : stopped) kill(pid, SIGCONT);
      std::cerr << "tovrix-gadget-unit: " << stopped.size() << " host programs stopped "
                << (stopMicros + 999) / 1000
                << " ms after the first QUERY came, until its replies were taken" << std::endl;
    };
  }
  ServeResult result =
      ServeUnit(fd, unit, clock, options.timeLimitMicros, options.unplugAfter, hold);
  close(fd);
  if (hold.endFd >= 0) close(hold.endFd);

  if (result.end == ServeEnd::Stopped) {
    // Pulled out: the gadget leaves the bus.
    std::ofstream udc(options.unplugPath);
    udc << '\n';
    udc.flush();
    if (!udc) {
      result.end = ServeEnd::DeviceFailed;
      result.error = "cannot write " + options.unplugPath;
    }
  }

  const std::string hex = unit.Memory().ToIntelHex();
  bool memoryWritten = true;
  if (options.out.empty()) {
    std::cout << hex << std::flush;
    memoryWritten = static_cast<bool>(std::cout);
  } else {
    std::ofstream file(options.out, std::ios::binary);
    file << hex;
    file.flush();
    memoryWritten = static_cast<bool>(file);
  }
  std::cerr << ServeSummary(result, unit) << '\n';
  if (!memoryWritten) {
    std::cerr << "tovrix-gadget-unit: cannot write the memory to "
              << (options.out.empty() ? "standard output" : options.out) << '\n';
    return 3;
  }
  switch (result.end) {
    case ServeEnd::Reset:
    case ServeEnd::Stopped:
      return 0;
    case ServeEnd::TimeLimit:
    case ServeEnd::Told:
      return 1;
    case ServeEnd::DeviceFailed:
      break;
  }
  return 3;
}

}  // namespace tovrix::emu
