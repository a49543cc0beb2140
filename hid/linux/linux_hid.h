// The HID platform on Linux: the engine's HidApi over the kernel's hidraw
// interfaces.
//
// Listing. The interfaces are the entries hidrawN of
// <sysfsRoot>/class/hidraw, in the order of their numbers (hidraw2 before
// hidraw10); each is listed as <devRoot>/hidrawN, whether or not that node
// exists: a missing node shows when it is opened. No entries (no hidraw
// support, no folder): an empty list.
//
// DescribeInterfaces lists the same interfaces without opening them, each
// with the port name of its USB device (sysfs.h, ReadUsbPort) and, when its
// device's uevent holds HID_ID, the vendor and product from there and the
// version as GetAttributes gives it.
//
// Handles are the file descriptors of the opened nodes, opened close-on-exec
// and never shared with another handle. Open opens the node for reading and
// writing, blocking (the write handle); OpenForReading opens it again,
// non-blocking, for waits with poll (the read handle). The kernel allows any
// number of opens of one node. A failed open returns kInvalidHandle. Close
// closes a handle this object opened, once: closing it again, or any other
// number, closes nothing and returns 0. Handles still open when the object
// is destroyed are closed then.
//
// The claim (hid/unit_claims.h). Two updaters writing to one unit at once
// would interleave their commands, so Open of the unit's interface (sysfs
// names its device as the unit: the line HID_ID=BBBB:000004D8:0000003C in
// the uevent of <sysfsRoot>/class/hidraw/hidrawN/device, on any bus) also
// takes an exclusive lock on the node (flock, LOCK_EX | LOCK_NB). flock
// locks belong to the open file description, so the object keeps a
// descriptor of its own on the write handle's description: the claim lasts
// until the object's last handle on that node is closed (its read handle
// shares it), or the process ends. When another description holds the lock (another program,
// or another HidApi object in this one), Open closes the node again and
// fails. Other devices are opened without a claim.
//
// OpenFailureOf(path) after a failed Open(path) or OpenForReading(path),
// when sysfs names the interface's device as the unit: the failure, of
// kind Claimed when the claim was refused, else with the system's text
// for the open's error ("Permission denied", of kind Denied, when no udev
// rule gives the user access; "No such file or directory", of kind Gone,
// when the node is missing). Nothing otherwise, nor after a later open
// succeeded.
//
// GetAttributes: vendor and product from the kernel (HIDIOCGRAWINFO); the
// version is the bcdDevice of the USB device the interface belongs to, found
// by walking up sysfs from the interface's device, or 0 for a device that is
// not on USB (Bluetooth, virtual devices) or has no such file. Returns 1, or
// 0 when the kernel cannot tell the vendor and product.
//
// GetCaps: reads the report descriptor from the kernel and derives the
// report lengths and the number of input value capabilities as the Windows
// HID class reports them (report_descriptor.h). Returns 1, or 0 (caps
// unchanged) when the descriptor cannot be read or is malformed.
//
// Reports. A device may or may not number its reports; the descriptor tells
// (OpenForReading reads it, and fails when it cannot). Written reports pass
// as the engine frames them, report ID first; the kernel drops an ID of 0
// before the report goes to a device without IDs. Read reports are framed
// for the engine: buffer[0] holds the report ID (0 for a device without
// IDs), the data follow; a report shorter than the read leaves zeros after
// it, a longer one is cut.
//
// WriteReport returns 1 when the whole report was taken, else -errno of the
// failed write (-EIO when only part was taken), so the engine's line reads
// e.g. "Write Failure (code=-19)" for a unit that is gone (ENODEV). Before
// it writes, it drops the input reports that arrived, unread, on the read
// handles of the same path: every reply answers a command written before
// it, so a read after a write never delivers a report older than that
// write (a late reply to an earlier command is not taken for the new one).
//
// StartRead records the buffer (1; 0 for an unknown handle, a null buffer
// or a length of 0). WaitRead polls the read handle for at most timeoutMs
// and reads one report: kWaitReady (the read is over), kWaitTimeout (the
// read stays pending and nothing was read: a report that arrives later is
// read by the next wait), or -errno on failure (-EIO when the device is
// gone, -EINVAL without a pending read, -EBADF for an unknown handle); a
// signal does not cut the wait short. CancelRead withdraws the pending read
// without reading (1; 0 for an unknown handle). PrepareRead has nothing to
// prepare: 1 for a read handle, 0 otherwise.
//
// One object serves one thread: calls on one object must not overlap. Two
// objects share nothing, so each may run on a thread of its own.
#pragma once

#include <memory>
#include <string>

#include "hid/ApiDeclarations.h"

namespace tovrix {

// sysfsRoot: normally "/sys"; tests point it at a tree of their own.
// devRoot: the folder of the device nodes, normally "/dev".
std::unique_ptr<HidApi> MakeLinuxHidApi(std::string sysfsRoot = "/sys", std::string devRoot = "/dev");

// Watches devRoot with inotify for nodes made, moved in or changed in their
// access (udev sets a node's permissions and ACL a moment after the kernel
// makes it): Wait returns true at the first such event, at once when one
// came since the last wait. Where inotify cannot be had, Wait polls
// (PollingInterfaceWatch in hid/platform.h).
std::unique_ptr<InterfaceWatch> MakeLinuxInterfaceWatch(std::string devRoot = "/dev");

}  // namespace tovrix
