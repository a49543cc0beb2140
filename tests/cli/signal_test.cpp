// tovrix-flash itself, stopped by signals while it updates the emulated
// unit in real time (each report 1 ms): SIGTERM (kill, systemd stopping a
// station, a time limit) does exactly what SIGINT (Ctrl-C) does, during the
// erase and during the write. A single update stops at the first: what was
// done is said, and the status is 130. A station stopped once lets its
// units finish and ends as a station does; stopped twice it interrupts
// them (130). The JSON ends with its done event, the station with its
// summary.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "tests/cli/flash_run.h"

extern char** environ;

namespace tovrix::cli {
namespace {

using test::SplitLines;

// Past this the program is taken to hang: it is killed and the test says
// what it was waiting for.
constexpr auto kHang = std::chrono::seconds(60);

struct Stopped {
  int status = -1;  // the exit status; 1000 + the signal when a signal ended it
  std::string out, err;
};

// One signal sent: once the program's output (either stream) holds every
// one of marks, after delayMs more.
struct Step {
  std::vector<std::string> marks;
  int delayMs = 0;
};

// Runs tovrix-flash with args on the sample image and sends it signal at
// each step in turn; reads both streams to their end.
Stopped RunAndSignal(std::vector<std::string> args, const std::vector<Step>& steps, int signal) {
  args.insert(args.begin(), TOVRIX_FLASH);
  args.push_back(TOVRIX_SAMPLE_IMAGE);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  Stopped run;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return run;
  }

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  auto marked = Clock::time_point::max();
  std::size_t sent = 0;  // the steps done
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&run.out, &run.err};
  for (int open = 2; open > 0;) {
    ::poll(fds, 2, 20);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
    const auto now = Clock::now();
    if (sent < steps.size() && marked == Clock::time_point::max()) {
      bool all = true;
      for (const std::string& mark : steps[sent].marks) {
        all = all && (run.out.find(mark) != std::string::npos || run.err.find(mark) != std::string::npos);
      }
      if (all) marked = now;
    }
    if (sent < steps.size() && now - marked >= std::chrono::milliseconds(steps[sent].delayMs)) {
      ::kill(pid, signal);
      ++sent;
      marked = Clock::time_point::max();
    }
    if (now - started > kHang) {
      ::kill(pid, SIGKILL);
      std::string waited;
      if (sent < steps.size()) {
        for (const std::string& mark : steps[sent].marks) waited += " '" + mark + "'";
      }
      ADD_FAILURE() << "tovrix-flash still ran after " << kHang.count() << " s, "
                    << (sent == steps.size() ? "after the signals" : "waiting for its output to hold" + waited);
      break;
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return run;
}

struct SignalCase {
  const char* name;
  bool json;
  bool station;      // --all on two units
  bool duringErase;  // else during the write
  int signals;       // 1 or, for a station, 2
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class SignalTest : public ::testing::TestWithParam<SignalCase> {};

// What a stopped unit says: that it was interrupted, and where.
std::string Interrupted(bool duringErase) {
  return std::string(duringErase ? "Interrupted after 0 of 2561 reports" : "Interrupted after [0-9]+ of 2561 reports") +
         "; the unit was erased and must be flashed again";
}

TEST_P(SignalTest, StopsAsCtrlCDoes) {
  const SignalCase& c = GetParam();
  const bool station = c.station;
  const bool json = c.json;
  std::vector<std::string> args = {"--emulate"};
  if (json) args.push_back("--json");
  if (station) args.insert(args.end(), {"--all", "--units", "2"});
  const std::vector<std::string> ports = station ? std::vector<std::string>{"emu-1", "emu-2"} : std::vector<std::string>{""};
  Step first;
  for (const std::string& port : ports) {
    const std::string tag = port.empty() ? "" : json ? "\"port\":\"" + port + "\"," : "[" + port + "] ";
    if (c.duringErase) {
      first.marks.push_back(tag + (json ? "\"text\":\"Checking TovrixPro ... OK" : "Checking TovrixPro ... OK"));
    } else {
      first.marks.push_back(json ? "{\"event\":\"progress\"," + tag : tag + "Writing data from");
    }
  }
  // An erase of six waits (3 s) is under way in every unit when its check
  // is logged, however late a loaded machine starts the station's second.
  if (c.duringErase) args.insert(args.end(), {"--erase-waits", "6"});
  first.delayMs = c.duringErase ? 200 : 0;
  std::vector<Step> steps{first};
  // The second once the station has said that it stops.
  if (c.signals == 2) steps.push_back(Step{{json ? "{\"event\":\"stopping\",\"finishing\":2}" : "stopping: 2 units"}, 0});
  const bool interrupts = !station || c.signals == 2;

  // The two signals' runs at once: each waits on the emulated unit's real
  // time, not on the processor.
  std::future<Stopped> byTerm = std::async(std::launch::async, RunAndSignal, args, steps, SIGTERM);
  const Stopped byInt = RunAndSignal(args, steps, SIGINT);
  const Stopped runs[] = {byInt, byTerm.get()};
  for (const Stopped& run : runs) {
    SCOPED_TRACE(&run == &runs[0] ? "SIGINT" : "SIGTERM");
    EXPECT_EQ(run.status, interrupts ? 130 : 0) << run.err;
    EXPECT_EQ(run.out.find("TovrixPro should now be running") == std::string::npos, interrupts);
    // The erase's line is whole only once the erase is over.
    EXPECT_EQ(run.out.find("(waiting) ... OK") == std::string::npos, c.duringErase && interrupts) << run.out;
    const auto lines = SplitLines(run.out);
    if (!json) {
      // The image stated first, then what the stop did (broken within 80
      // columns: its later lines indented under the first).
      const test::ImageLineSplit err = test::SplitImageLine(run.err);
      const std::string said = station ? "stopping: 2 units finishing, Ctrl-C again to interrupt them"
                                       : Interrupted(c.duringErase);
      EXPECT_TRUE(std::regex_match(err.imageLine, std::regex("Image .*: [0-9]+ bytes, SHA-256 [0-9a-f]{64}")))
          << run.err;
      EXPECT_TRUE(std::regex_match(test::Unwrapped(err.rest), std::regex("tovrix-flash: " + said + "\n")))
          << run.err;
      if (station) {
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "Summary: 2 updated, 0 failed");
      }
      continue;
    }
    EXPECT_EQ(run.err, "");
    ASSERT_GE(lines.size(), 2u);
    std::size_t errors = 0, stopping = 0;
    for (const std::string& line : lines) {
      stopping += line == R"({"event":"stopping","finishing":2})";
      if (line.rfind("{\"event\":\"error\"", 0) != 0) continue;
      ++errors;
      EXPECT_TRUE(std::regex_match(line, std::regex(R"(\{"event":"error",("port":"emu-[12]",)?"text":")" +
                                                    Interrupted(c.duringErase) + R"("\})")))
          << line;
    }
    EXPECT_EQ(errors, interrupts ? ports.size() : 0u) << run.out;
    EXPECT_EQ(stopping, station ? 1u : 0u) << run.out;
    EXPECT_EQ(lines.back().rfind("{\"event\":\"done\",\"status\":" + std::to_string(interrupts ? 130 : 0) +
                                     ",\"seconds\":", 0),
              0u)
        << lines.back();
    if (station && interrupts) {
      // The ports in the order their units ended.
      EXPECT_TRUE(std::regex_match(lines[lines.size() - 2],
                                   std::regex(R"(\{"event":"summary","updated":0,"failed":2,)"
                                              R"("failed_ports":\[("emu-1","emu-2"|"emu-2","emu-1")\]\})")))
          << lines[lines.size() - 2];
    } else if (station) {
      EXPECT_EQ(lines[lines.size() - 2], R"({"event":"summary","updated":2,"failed":0,"failed_ports":[]})");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, SignalTest,
                         ::testing::Values(SignalCase{"text_erase", false, false, true, 1},
                                           SignalCase{"text_write", false, false, false, 1},
                                           SignalCase{"json_erase", true, false, true, 1},
                                           SignalCase{"json_write", true, false, false, 1},
                                           SignalCase{"station_once_erase", true, true, true, 1},
                                           SignalCase{"station_once_write_text", false, true, false, 1},
                                           SignalCase{"station_twice_erase", true, true, true, 2},
                                           SignalCase{"station_twice_write", true, true, false, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovrix::cli
