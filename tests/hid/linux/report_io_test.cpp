// Report I/O on a socket pair standing in for a hidraw node: the test holds
// the device's end and sends input reports as the kernel would deliver them.
#include "hid/linux/report_io.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "hid/ApiDeclarations.h"

namespace tovrix::linux_hid {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kUntouched = 0xEE;

class Link {
 public:
  Link() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) ADD_FAILURE() << "socketpair";
    host_ = fds[0];
    device_ = fds[1];
  }
  ~Link() {
    if (host_ >= 0) ::close(host_);
    CloseDevice();
  }
  int host() const { return host_; }
  void Send(const Bytes& report) const {
    ASSERT_EQ(::write(device_, report.data(), report.size()), static_cast<ssize_t>(report.size()));
  }
  Bytes Receive() const {
    Bytes report(256);
    const ssize_t got = ::read(device_, report.data(), report.size());
    report.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return report;
  }
  void CloseDevice() {
    if (device_ >= 0) ::close(device_);
    device_ = -1;
  }

 private:
  int host_ = -1;
  int device_ = -1;
};

Bytes Sequence(std::size_t count, uint8_t first) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The unit's report descriptor (64 bytes each way, no report IDs), and one
// whose input reports are numbered (ID 7, two bytes).
const Bytes kUnitDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x19, 0x01, 0x29,
                               0x40, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,
                               0x81, 0x02, 0x19, 0x01, 0x29, 0x40, 0x91, 0x02, 0xC0};
const Bytes kNumberedDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x07,
                                   0x75, 0x08, 0x95, 0x02, 0x09, 0x01, 0x81, 0x02, 0xC0};

struct Framing {
  const char* name;
  const Bytes* descriptor;  // the device's
  Bytes sent;               // as the kernel delivers it
  std::size_t length;       // of the read
  Bytes expected;           // the buffer's first `length` bytes
};

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Framing kFramings[] = {
    {"UnitReplyGetsReportIdZeroInFront", &kUnitDescriptor, Sequence(64, 1), 65,
     Concat({0}, Sequence(64, 1))},
    {"NumberedReportKeepsItsId", &kNumberedDescriptor, {7, 0xA, 0xB}, 3, {7, 0xA, 0xB}},
    {"ShortReportIsFollowedByZeros", &kUnitDescriptor, {0x02, 0x38}, 6, {0, 0x02, 0x38, 0, 0, 0}},
    {"ShortNumberedReportIsFollowedByZeros", &kNumberedDescriptor, {7, 0x11}, 4, {7, 0x11, 0, 0}},
    {"LongReportIsCut", &kUnitDescriptor, Sequence(64, 1), 5, {0, 1, 2, 3, 4}},
    {"OneByteReadHoldsTheIdOnly", &kUnitDescriptor, {0x55}, 1, {0}},
};

void PrintTo(const Framing& framing, std::ostream* out) { *out << framing.name; }

class FramingTest : public testing::TestWithParam<Framing> {};

// The reader is made as the backend makes it, from the device's parsed
// descriptor.
TEST_P(FramingTest, PutsTheReportIdFirstAndTheDataAfterIt) {
  const Framing& f = GetParam();
  const ReportDescriptorResult parsed =
      ParseReportDescriptor(f.descriptor->data(), f.descriptor->size());
  ASSERT_TRUE(parsed.Ok()) << parsed.error;
  Link link;
  ReportReader reader = ReaderFor(link.host(), parsed.summary);
  Bytes buffer(f.length + 1, kUntouched);  // one more, as the engine's buffer has
  ASSERT_EQ(reader.Start(buffer.data(), f.length), 1);
  link.Send(f.sent);
  ASSERT_EQ(reader.Wait(1000), kWaitReady);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(f.length)), f.expected);
  EXPECT_EQ(buffer.back(), kUntouched) << "written past the read's length";
  EXPECT_FALSE(reader.Pending());
}

INSTANTIATE_TEST_SUITE_P(Reports, FramingTest, testing::ValuesIn(kFramings),
                         [](const auto& info) { return std::string(info.param.name); });

// Waits on a reader for a device without report IDs.
class ReportWaitTest : public testing::Test {
 protected:
  Link link;
  ReportReader reader{link.host(), false};
};

TEST_F(ReportWaitTest, RestOfACutReportIsNotTakenForTheNext) {
  link.Send(Sequence(64, 1));
  link.Send({0x42});
  Bytes buffer(3, 0);
  reader.Start(buffer.data(), buffer.size());
  ASSERT_EQ(reader.Wait(0), kWaitReady);
  EXPECT_EQ(buffer, (Bytes{0, 1, 2}));
  reader.Start(buffer.data(), buffer.size());
  ASSERT_EQ(reader.Wait(0), kWaitReady);
  EXPECT_EQ(buffer, (Bytes{0, 0x42, 0}));
}

TEST(ReportWriteTest, WritesTheReportAsFramedIdFirst) {
  Link link;
  Bytes report(65, 0);
  report[1] = 0x08;  // RESET
  EXPECT_EQ(WriteReportTo(link.host(), report.data(), report.size()), 1);
  EXPECT_EQ(link.Receive(), report);
}

TEST(ReportWriteTest, FailedWritesNeverReturnOne) {
  ::signal(SIGPIPE, SIG_IGN);  // a real node never raises it; a socket would
  const Bytes report(65, 0);
  Link gone;
  gone.CloseDevice();
  EXPECT_EQ(WriteReportTo(gone.host(), report.data(), report.size()), -EPIPE);
  EXPECT_EQ(WriteReportTo(-1, report.data(), report.size()), -EBADF);
  Link link;
  EXPECT_EQ(WriteReportTo(link.host(), report.data(), 0), -EINVAL);
  EXPECT_EQ(WriteReportTo(link.host(), nullptr, 65), -EINVAL);
}

TEST_F(ReportWaitTest, ReplyWithinTheWaitEndsItEarly) {
  Bytes buffer(65, kUntouched);
  reader.Start(buffer.data(), buffer.size());
  const auto start = Clock::now();
  std::thread unit([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    link.Send({0x02, 0x38, 0x02, 0x01});
  });
  EXPECT_EQ(reader.Wait(2000), kWaitReady);
  unit.join();
  EXPECT_LT(MillisSince(start), 1500);
  EXPECT_EQ(buffer[1], 0x02);
}

TEST_F(ReportWaitTest, TimeoutKeepsTheBufferAndTheReadPending) {
  Bytes buffer(65, kUntouched);
  reader.Start(buffer.data(), buffer.size());
  const auto start = Clock::now();
  EXPECT_EQ(reader.Wait(80), kWaitTimeout);
  EXPECT_GE(MillisSince(start), 80);
  EXPECT_EQ(buffer, Bytes(65, kUntouched));
  EXPECT_TRUE(reader.Pending());
  EXPECT_EQ(reader.Wait(-5), kWaitTimeout) << "a negative time is no time, not forever";
}

TEST_F(ReportWaitTest, LateReplyIsReadByTheNextWaitUnlessAWriteCameBetween) {
  Bytes buffer(65, 0);

  // Timed out, withdrawn; the reply comes afterwards: the next wait (an
  // erase wait turn, no command between) gets it, once.
  reader.Start(buffer.data(), buffer.size());
  EXPECT_EQ(reader.Wait(20), kWaitTimeout);
  EXPECT_EQ(reader.Cancel(), 1);
  link.Send({0x02, 0xAA});
  reader.Start(buffer.data(), buffer.size());
  EXPECT_EQ(reader.Wait(0), kWaitReady);
  EXPECT_EQ(buffer[2], 0xAA);
  reader.Start(buffer.data(), buffer.size());
  EXPECT_EQ(reader.Wait(20), kWaitTimeout);
  reader.Cancel();

  // A late reply, then a new command (its write discards what is waiting):
  // the new command's wait sees only the new reply.
  link.Send({0x02, 0xBB});
  link.Send({0x02, 0xBC});
  reader.DiscardWaiting();
  reader.Start(buffer.data(), buffer.size());
  EXPECT_EQ(reader.Wait(20), kWaitTimeout);
  link.Send({0x02, 0xCC});
  EXPECT_EQ(reader.Wait(1000), kWaitReady);
  EXPECT_EQ(buffer[2], 0xCC);
}

TEST_F(ReportWaitTest, QueuedReportsComeOneWaitEachInOrder) {
  ReportReader numbered(link.host(), true);
  link.Send({1, 0x10});
  link.Send({2, 0x20});
  Bytes buffer(3, 0);
  for (const uint8_t id : {1, 2}) {
    numbered.Start(buffer.data(), buffer.size());
    ASSERT_EQ(numbered.Wait(0), kWaitReady);
    EXPECT_EQ(buffer, (Bytes{id, static_cast<uint8_t>(id * 0x10), 0}));
  }
  numbered.Start(buffer.data(), buffer.size());
  EXPECT_EQ(numbered.Wait(0), kWaitTimeout);
}

TEST_F(ReportWaitTest, OnlyTheLatestBufferIsWritten) {
  Bytes first(4, kUntouched), second(4, kUntouched);
  reader.Start(first.data(), first.size());
  reader.Start(second.data(), second.size());
  link.Send({9});
  ASSERT_EQ(reader.Wait(1000), kWaitReady);
  EXPECT_EQ(first, Bytes(4, kUntouched));
  EXPECT_EQ(second, (Bytes{0, 9, 0, 0}));
}

TEST_F(ReportWaitTest, FailuresAreNeitherReadyNorTimeout) {
  Bytes buffer(65, kUntouched);
  {
    // No read started, or a read with nowhere to go.
    link.Send({1});
    EXPECT_EQ(reader.Wait(0), -EINVAL);
    EXPECT_EQ(reader.Start(nullptr, 65), 0);
    EXPECT_EQ(reader.Wait(0), -EINVAL);
    EXPECT_EQ(reader.Start(buffer.data(), 0), 0);
    EXPECT_EQ(reader.Wait(0), -EINVAL);
    reader.Start(buffer.data(), buffer.size());
    EXPECT_EQ(reader.Wait(0), kWaitReady);
    EXPECT_EQ(reader.Wait(0), -EINVAL) << "that read is over";
  }
  {
    Link gone;  // the device is gone
    ReportReader onGone(gone.host(), false);
    std::fill(buffer.begin(), buffer.end(), kUntouched);
    onGone.Start(buffer.data(), buffer.size());
    gone.CloseDevice();
    EXPECT_EQ(onGone.Wait(1000), -EIO);
    EXPECT_EQ(buffer, Bytes(65, kUntouched));
    EXPECT_FALSE(onGone.Pending());
  }
  {
    ReportReader none(-1, false);  // no descriptor at all
    none.Start(buffer.data(), buffer.size());
    EXPECT_EQ(none.Wait(10), -EBADF);
  }
  {
    int closed = -1;
    {
      Link shortLived;
      closed = shortLived.host();
    }
    ReportReader onClosed(closed, false);  // a descriptor closed under it
    onClosed.Start(buffer.data(), buffer.size());
    EXPECT_EQ(onClosed.Wait(10), -EBADF);
  }
}

// Signals every few milliseconds at the waiting thread, for a while.
class SignalStorm {
 public:
  explicit SignalStorm(std::chrono::milliseconds duration) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: poll ends with EINTR
    ::sigaction(SIGUSR1, &action, &old_);
    const pthread_t target = ::pthread_self();
    thread_ = std::thread([this, target, duration] {
      const auto end = Clock::now() + duration;
      while (Clock::now() < end && !stop_) {
        ::pthread_kill(target, SIGUSR1);
        ++sent_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  ~SignalStorm() {
    stop_ = true;
    thread_.join();
    ::sigaction(SIGUSR1, &old_, nullptr);
  }
  int sent() const { return sent_; }

 private:
  struct sigaction old_ {};
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::thread thread_;
};

TEST_F(ReportWaitTest, SignalsNeitherEndNorStretchTheWait) {
  Bytes buffer(65, 0);
  int32_t result = 0;
  long long took = 0;
  int signals = 0;
  {
    SignalStorm storm(std::chrono::milliseconds(3000));
    reader.Start(buffer.data(), buffer.size());
    const auto start = Clock::now();
    result = reader.Wait(150);
    took = MillisSince(start);
    signals = storm.sent();
  }
  EXPECT_EQ(result, kWaitTimeout);
  EXPECT_GE(took, 150);
  EXPECT_LT(took, 1500) << "each interruption restarted the whole wait";
  EXPECT_GT(signals, 2);

  {
    SignalStorm storm(std::chrono::milliseconds(3000));
    std::thread unit([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      link.Send({0x02});
    });
    result = reader.Wait(2000);
    unit.join();
  }
  EXPECT_EQ(result, kWaitReady);
  EXPECT_EQ(buffer[1], 0x02);
}

}  // namespace
}  // namespace tovrix::linux_hid
