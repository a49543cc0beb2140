// tovrix-flash itself, stopped by a signal while it updates the emulated
// unit in real time (the erase 1.2 s, each report 1 ms): SIGTERM (kill,
// systemd stopping a station, a time limit) ends it exactly as SIGINT
// (Ctrl-C) does, during the erase and during the write, alone and as a
// station: what was done is said, the JSON ends with its done event, the
// station with its summary, and the status is 130.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

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

// Runs tovrix-flash with args on the sample image; once its standard output
// holds every one of marks, waits delayMs and sends it signal; reads both
// streams to their end.
Stopped RunAndSignal(std::vector<std::string> args, const std::vector<std::string>& marks, int delayMs,
                     int signal) {
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
  bool signalled = false;
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
    if (marked == Clock::time_point::max()) {
      bool all = true;
      for (const std::string& mark : marks) all = all && run.out.find(mark) != std::string::npos;
      if (all) marked = now;
    }
    if (!signalled && now - marked >= std::chrono::milliseconds(delayMs)) {
      ::kill(pid, signal);
      signalled = true;
    }
    if (now - started > kHang) {
      ::kill(pid, SIGKILL);
      std::string waited;
      for (const std::string& mark : marks) waited += " '" + mark + "'";
      ADD_FAILURE() << "tovrix-flash still ran after " << kHang.count() << " s, "
                    << (signalled ? "after the signal" : "waiting for its output to hold" + waited);
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

enum class Form { Text, Json, Station };

struct SignalCase {
  const char* name;
  Form form;
  bool duringErase;  // else during the write
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class SignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalTest, EndsTheRunAsCtrlCDoes) {
  const SignalCase& c = GetParam();
  std::vector<std::string> args = {"--emulate"};
  std::vector<std::string> marks;
  if (c.form != Form::Text) args.push_back("--json");
  if (c.form == Form::Station) args.insert(args.end(), {"--all", "--units", "2"});
  const std::vector<std::string> ports =
      c.form == Form::Station ? std::vector<std::string>{"emu-1", "emu-2"} : std::vector<std::string>{""};
  for (const std::string& port : ports) {
    const std::string tag = port.empty() ? "" : "\"port\":\"" + port + "\",";
    if (c.duringErase) {
      marks.push_back(c.form == Form::Text ? "Checking TovrixPro ... OK" : tag + "\"text\":\"Checking TovrixPro ... OK");
    } else {
      marks.push_back(c.form == Form::Text ? "Writing data from" : "{\"event\":\"progress\"," + tag);
    }
  }
  // The erase has 1.2 s to go when the check is logged.
  const int delayMs = c.duringErase ? 200 : 0;
  const std::string interrupted = c.duringErase ? "Interrupted after 0 of 2561 reports"
                                                : "Interrupted after [0-9]+ of 2561 reports";
  const std::string said = interrupted + "; the unit was erased and must be flashed again";

  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
    const Stopped run = RunAndSignal(args, marks, delayMs, signal);
    EXPECT_EQ(run.status, 130) << run.err;
    EXPECT_EQ(run.out.find("TovrixPro should now be running"), std::string::npos);
    // The erase's line is whole only once the erase is over.
    EXPECT_EQ(run.out.find("(waiting) ... OK") == std::string::npos, c.duringErase) << run.out;
    const auto lines = SplitLines(run.out);
    if (c.form == Form::Text) {
      ASSERT_EQ(SplitLines(run.err).size(), 1u) << run.err;
      EXPECT_TRUE(std::regex_match(run.err, std::regex("tovrix-flash: " + said + "\n"))) << run.err;
      continue;
    }
    EXPECT_EQ(run.err, "");
    ASSERT_GE(lines.size(), 2u);
    std::size_t errors = 0;
    for (const std::string& line : lines) {
      if (line.rfind("{\"event\":\"error\"", 0) != 0) continue;
      ++errors;
      EXPECT_TRUE(std::regex_match(line, std::regex(R"(\{"event":"error",("port":"emu-[12]",)?"text":")" + said +
                                                    R"("\})")))
          << line;
    }
    EXPECT_EQ(errors, ports.size()) << run.out;
    EXPECT_EQ(lines.back().rfind("{\"event\":\"done\",\"status\":130,\"seconds\":", 0), 0u) << lines.back();
    if (c.form == Form::Station) {
      // The ports in the order their units ended.
      EXPECT_TRUE(std::regex_match(lines[lines.size() - 2],
                                   std::regex(R"(\{"event":"summary","updated":0,"failed":2,)"
                                              R"("failed_ports":\[("emu-1","emu-2"|"emu-2","emu-1")\]\})")))
          << lines[lines.size() - 2];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, SignalTest,
                         ::testing::Values(SignalCase{"text_erase", Form::Text, true},
                                           SignalCase{"text_write", Form::Text, false},
                                           SignalCase{"json_erase", Form::Json, true},
                                           SignalCase{"json_write", Form::Json, false},
                                           SignalCase{"station_erase", Form::Station, true},
                                           SignalCase{"station_write", Form::Station, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovrix::cli
