// The unit served on a node, with a socket pair standing in for the HID
// gadget's node: one 64-byte message per report, in both directions.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/gadget_unit.h"

namespace tovrix::emu {
namespace {

// The host's end of the link.
class Host {
 public:
  explicit Host(int fd) : fd_(fd) {}
  void Send(std::vector<uint8_t> data) {
    data.resize(kReportData, 0);
    Send(data.data(), data.size());
  }
  void Send(const uint8_t* data, std::size_t size) {
    ASSERT_EQ(send(fd_, data, size, MSG_NOSIGNAL), static_cast<ssize_t>(size));
  }
  // The next reply within timeoutMs, or nothing.
  std::optional<std::vector<uint8_t>> Receive(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    std::vector<uint8_t> data(kReportData + 8);
    const ssize_t got = recv(fd_, data.data(), data.size(), 0);
    if (got < 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(got));
    return data;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Serves the unit on one end of a socket pair while host plays the other.
struct Served {
  ServeResult result;
  std::unique_ptr<TovrixUnit> unit;
};

Served Serve(UnitOptions options, int64_t limitMicros, int stopAfter,
             const std::function<void(Host&)>& host, const ServeHold& hold = {}) {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  Served served;
  served.unit = std::make_unique<TovrixUnit>(options);
  Host hostEnd(fds[1]);
  std::thread hostThread([&] { host(hostEnd); });
  RealClock clock;
  served.result = ServeUnit(fds[0], *served.unit, clock, limitMicros, stopAfter, hold);
  hostThread.join();
  hostEnd.Close();
  close(fds[0]);
  return served;
}

int64_t MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

TEST(GadgetUnit, AnswersInRealTimeAndEndsAtReset) {
  UnitOptions options;
  options.eraseMicros = EraseMicrosForWaits(0);  // 250 ms
  const Served served = Serve(options, 10'000'000, 0, [&](Host& host) {
    host.Send({0x02});
    const auto reply = host.Receive(2000);
    ASSERT_TRUE(reply);
    const ReportData expected = TovrixUnit(options).QueryReply();
    EXPECT_EQ(*reply, std::vector<uint8_t>(expected.begin(), expected.end()));

    const auto start = std::chrono::steady_clock::now();
    host.Send({0x04});
    host.Send({0x02});
    ASSERT_TRUE(host.Receive(2000));
    EXPECT_GE(MillisSince(start), 240);  // not before the erase is over

    std::vector<uint8_t> program(kReportData, 0);
    program[0] = 0x05, program[1] = 0x00, program[2] = 0x04, program[5] = 2;
    program[62] = 0xAB, program[63] = 0xCD;
    host.Send(program);
    host.Send({0x08});
  });
  EXPECT_EQ(served.result.end, ServeEnd::Reset);
  EXPECT_EQ(served.result.reports, 5);
  EXPECT_EQ(served.result.replies, 2);
  EXPECT_EQ(served.unit->Memory().Read(0x800), 0xAB);
  EXPECT_EQ(served.unit->Memory().Read(0x801), 0xCD);
  EXPECT_EQ(served.unit->ProtocolErrors(), 0);
}

struct EndCase {
  const char* name;
  int eraseWaits;
  int64_t limitMicros;
  int stopAfter;
  std::function<void(Host&)> host;
  ServeEnd end;
  int reports;
  int replies;
  int protocolErrors;
  friend void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }
};

class GadgetUnitEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(GadgetUnitEndTest, StopsForItsReason) {
  const EndCase& c = GetParam();
  UnitOptions options;
  options.eraseMicros = EraseMicrosForWaits(c.eraseWaits);
  const auto start = std::chrono::steady_clock::now();
  const Served served = Serve(options, c.limitMicros, c.stopAfter, c.host);
  EXPECT_EQ(served.result.end, c.end) << served.result.error;
  EXPECT_EQ(served.result.reports, c.reports);
  EXPECT_EQ(served.result.replies, c.replies);
  EXPECT_EQ(served.unit->ProtocolErrors(), c.protocolErrors);
  if (c.end == ServeEnd::TimeLimit) {
    EXPECT_GE(MillisSince(start), c.limitMicros / 1000);
  }
  EXPECT_LT(MillisSince(start), 5000);
  EXPECT_NE(ServeSummary(served.result, *served.unit).find(std::to_string(c.reports) + " reports in"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, GadgetUnitEndTest,
    ::testing::Values(
        EndCase{"time_limit_with_nothing_received", 0, 150'000, 0, [](Host&) {},
                ServeEnd::TimeLimit, 0, 0, 0},
        EndCase{"silent_after_erase", 11, 600'000, 0,
                [](Host& host) {
                  host.Send({0x04});
                  host.Send({0x02});
                  EXPECT_FALSE(host.Receive(400));
                },
                ServeEnd::TimeLimit, 2, 0, 0},
        EndCase{"stopped_after_the_nth_report", 0, 2'000'000, 2,
                [](Host& host) {
                  host.Send({0x06});
                  host.Send({0x02});
                  host.Send({0x06});
                  ASSERT_TRUE(host.Receive(1000));  // the due reply still goes out
                },
                ServeEnd::Stopped, 2, 1, 0},
        EndCase{"node_closed_by_the_other_side", 0, 2'000'000, 0,
                [](Host& host) {
                  host.Send({0x06});
                  host.Close();
                },
                ServeEnd::DeviceFailed, 1, 0, 0},
        EndCase{"short_report_is_a_protocol_error", 0, 2'000'000, 0,
                [](Host& host) {
                  const uint8_t shortReport[10] = {0x02};
                  host.Send(shortReport, sizeof shortReport);
                  host.Send({0x08});
                },
                ServeEnd::Reset, 2, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Told to end (its end descriptor readable): at once, long before the time
// limit, with what it took and sent so far.
TEST(GadgetUnit, EndsAtOnceWhenTold) {
  int told[2];
  ASSERT_EQ(pipe(told), 0);
  ServeHold hold;
  hold.endFd = told[0];
  const auto start = std::chrono::steady_clock::now();
  const Served served = Serve({}, 20'000'000, 0,
                              [&](Host& host) {
                                host.Send({0x02});
                                ASSERT_TRUE(host.Receive(5000));
                                ASSERT_EQ(write(told[1], "x", 1), 1);
                              },
                              hold);
  EXPECT_EQ(served.result.end, ServeEnd::Told) << served.result.error;
  EXPECT_EQ(served.result.replies, 1);
  EXPECT_LT(MillisSince(start), 5000);
  EXPECT_EQ(ServeSummary(served.result, *served.unit).rfind("tovrix-gadget-unit: told to end; 1 reports in", 0),
            0u);
  close(told[0]);
  close(told[1]);
}

// Held after the second report: each later report is taken a pace after
// the one before, however many wait, until the hold is released; then at
// once.
TEST(GadgetUnit, HeldTakesOneReportEachPaceUntilReleased) {
  std::atomic<bool> released{false};
  std::atomic<int> started{0};
  ServeHold hold;
  hold.atReport = 2;
  hold.released = [&] { return released.load(); };
  hold.started = [&] { ++started; };
  constexpr int64_t kPaceMs = kHoldPaceMicros / 1000;
  const Served served = Serve(
      {}, 20'000'000, 0,
      [&](Host& host) {
        host.Send({0x06});
        const auto start = std::chrono::steady_clock::now();
        host.Send({0x06});
        for (int i = 0; i < 3; ++i) host.Send({0x02});
        for (int i = 1; i <= 3; ++i) {
          ASSERT_TRUE(host.Receive(10'000)) << "reply " << i;
          EXPECT_GE(MillisSince(start), i * kPaceMs) << "reply " << i;
        }
        EXPECT_EQ(started.load(), 1);
        released = true;
        for (int i = 0; i < 20; ++i) host.Send({0x06});
        host.Send({0x08});
      },
      hold);
  EXPECT_EQ(served.result.end, ServeEnd::Reset) << served.result.error;
  EXPECT_EQ(served.result.reports, 26);
  EXPECT_EQ(served.result.replies, 3);
  EXPECT_EQ(started.load(), 1);
}

// With the host stopped at the first QUERY: stopped once; let go once the replies due are written (both of a repeated
// reply, none of a silent unit), so the host finds them all waiting; and
// never stopped again by a later QUERY.
struct StopCase {
  const char* name;
  bool repeat;
  bool silent;
  int waiting;  // replies the host finds at once when let go
};

class GadgetUnitStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(GadgetUnitStopTest, LetsTheHostGoWhenTheRepliesAreOut) {
  const StopCase& c = GetParam();
  UnitOptions options;
  options.repeatFirstReply = c.repeat;
  options.silentFirstQuery = c.silent;
  std::atomic<int> stops{0};
  std::atomic<int> resumes{0};
  ServeHold hold;
  hold.stopHost = [&] { ++stops; };
  hold.resumeHost = [&] { ++resumes; };
  const Served served = Serve(options, 20'000'000, 0, [&](Host& host) {
    host.Send({0x02});
    for (int i = 0; i < 1000 && resumes.load() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(resumes.load(), 1);
    for (int i = 0; i < c.waiting; ++i) EXPECT_TRUE(host.Receive(0)) << "reply " << i + 1;
    EXPECT_FALSE(host.Receive(0));
    host.Send({0x02});
    EXPECT_TRUE(host.Receive(10'000));
    host.Send({0x08});
  }, hold);
  EXPECT_EQ(stops.load(), 1);
  EXPECT_EQ(resumes.load(), 1);
  EXPECT_EQ(served.result.end, ServeEnd::Reset) << served.result.error;
  EXPECT_EQ(served.result.replies, c.waiting + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GadgetUnitStopTest,
    ::testing::Values(StopCase{"repeated", true, false, 2}, StopCase{"once", false, false, 1},
                      StopCase{"silent", false, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Serving that ends while the host is stopped lets it go.
TEST(GadgetUnit, LetsTheHostGoWhenServingEnds) {
  UnitOptions options;
  options.repeatFirstReply = true;
  std::atomic<int> resumes{0};
  ServeHold hold;
  hold.stopHost = [] {};
  hold.resumeHost = [&] { ++resumes; };
  const Served served = Serve(options, 20'000'000, 1, [&](Host& host) { host.Send({0x02}); },
                              hold);
  EXPECT_EQ(served.result.end, ServeEnd::Stopped);
  EXPECT_EQ(resumes.load(), 1);
}

TEST(GadgetUnitOptions, ReadsTheUnitAndTheLink) {
  std::string error;
  const auto options = ParseGadgetUnitOptions(
      {"--device", "/dev/hidg3", "--memory", "800:8FFF", "--erase-waits", "11", "--silent-query",
       "--repeat-first-reply", "--time-limit", "30", "--unplug-after", "100", "--unplug", "/cfg/UDC",
       "--hold-at", "40", "--hold-until", "/tmp/go", "--stop-host", "--out", "m.hex"},
      error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->device, "/dev/hidg3");
  EXPECT_EQ(options->unit.MemoryStart, 0x800u);
  EXPECT_EQ(options->unit.MemoryEnd, 0x8FFFu);
  EXPECT_EQ(options->unit.eraseMicros, kNever);
  EXPECT_TRUE(options->unit.silentFirstQuery);
  EXPECT_TRUE(options->unit.repeatFirstReply);
  EXPECT_EQ(options->timeLimitMicros, 30'000'000);
  EXPECT_EQ(options->unplugAfter, 100);
  EXPECT_EQ(options->unplugPath, "/cfg/UDC");
  EXPECT_EQ(options->holdAt, 40);
  EXPECT_EQ(options->holdUntil, "/tmp/go");
  EXPECT_TRUE(options->stopHost);
  EXPECT_EQ(options->out, "m.hex");

  const auto defaults = ParseGadgetUnitOptions({}, error);
  ASSERT_TRUE(defaults) << error;
  EXPECT_EQ(defaults->device, "/dev/hidg0");
  EXPECT_EQ(defaults->unit.eraseMicros, EraseMicrosForWaits(0));
  EXPECT_FALSE(defaults->unit.repeatFirstReply);
  EXPECT_FALSE(defaults->stopHost);
  EXPECT_TRUE(defaults->out.empty());
}

TEST(GadgetUnitOptions, RefusesBadOnes) {
  const std::vector<std::vector<std::string>> bad{
      {"--time-limit", "0"},      {"--time-limit", "x"},   {"--unplug-after", "0"},
      {"--unplug-after", "5"},    {"--unplug", "/UDC"},    {"--memory", "1:2:3"},
      {"--query", "0"},           {"--device"},            {"--device", ""},
      {"--memory", "0:1", "--query", "02"}, {"--caps", "65,65,1"}, {"stray"},
      {"--hold-at", "3"},         {"--hold-until", "/go"}, {"--hold-at", "0", "--hold-until", "/go"}};
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(ParseGadgetUnitOptions(args, error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(GadgetUnit, MissingNodeFailsWithStatus3) {
  GadgetUnitOptions options;
  options.device = "/nonexistent/hidg0";
  EXPECT_EQ(RunGadgetUnit(options), 3);
}

}  // namespace
}  // namespace tovrix::emu
