// Moving reports over a hidraw file descriptor: the core of the Linux
// backend, on plain descriptors so that tests can put a socket pair in the
// device's place (a SOCK_SEQPACKET socket keeps message boundaries as
// hidraw keeps report boundaries). Internal; linux_hid.h documents the
// behaviour as the engine sees it.
//
// hidraw delivers one input report per read, with the report ID byte first
// only when the device uses report IDs; a read into a shorter buffer gets
// the report's start and loses the rest. Up to 64 unread reports wait in
// the kernel for each open descriptor, oldest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hid/linux/report_descriptor.h"

namespace tovrix::linux_hid {

// Writes one report, report ID first, as one write on a blocking descriptor
// (the kernel takes an ID of 0 away before the report goes to a device
// without report IDs). Returns 1 when the whole report was taken; else
// -errno of the failed write, -EIO when only part was taken, -EINVAL for an
// empty report. An interrupted write is tried again.
int32_t WriteReportTo(int fd, const uint8_t* report, std::size_t length);

// Reads with a bounded wait on one descriptor, which it makes non-blocking.
// It does not own the descriptor.
class ReportReader {
 public:
  ReportReader(int fd, bool usesReportIds);

  // Records where the next report goes: the report ID in buffer[0] (0 for a
  // device without report IDs), its data after it. Returns 1, or 0 (and no
  // read pending) for a null buffer or a length of 0. A read already
  // pending is replaced: only the latest buffer is ever written.
  int32_t Start(uint8_t* buffer, std::size_t length);

  // Waits at most timeoutMs (a negative time counts as 0) for a report and
  // reads it:
  // - kWaitReady: one report was read into the buffer, the bytes after it
  //   set to 0 when it was shorter than the buffer, cut when longer; the
  //   read is over.
  // - kWaitTimeout: no report came in time; the buffer is untouched and the
  //   read stays pending. A report that comes later waits in the kernel for
  //   the next read.
  // - -errno (-EIO for a device that is gone, -EINVAL when no read is
  //   pending): the wait failed; the buffer is untouched, the read is over.
  // Interruptions by signals do not end the wait early, nor extend it.
  int32_t Wait(int timeoutMs);

  // Withdraws the pending read: nothing is read. Returns 1.
  int32_t Cancel();

  // Drops every report that has arrived and not been read.
  void DiscardWaiting();

  bool Pending() const { return buffer_ != nullptr; }

 private:
  int fd_;
  bool usesReportIds_;
  uint8_t* buffer_ = nullptr;
  std::size_t length_ = 0;
  std::vector<uint8_t> scratch_;  // one whole report as the kernel gives it
};

// The reader for a device with this report descriptor: its reports start
// with their ID byte only when the descriptor numbers them.
ReportReader ReaderFor(int fd, const ReportDescriptorSummary& descriptor);

}  // namespace tovrix::linux_hid
