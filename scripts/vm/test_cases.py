"""The test VM's cases, one test each (scripts/vm/check runs them; the
table scripts/vm/cases names them and their order). A test raises Fail
with the verdict's text; a passed one notes the lines below its verdict.
"""
import contextlib
import json
import re
import subprocess
from pathlib import Path

from vm_cases import (TOP, Fail, done, events, expect_memory, expect_same, expected, inside,
                      logs, memory_differs, overlapping, programs, ratio, same, screen,
                      failure_reasons, unit_events, unported, unwine, vm_case)


def statuses(case):
    return f"tool status {case.result('tool')}, unit status {case.result('unit')}"


def waits(transcript):
    return sum(1 for line in transcript.splitlines() if line == "logpart (waiting) ... ")


def with_note(transcript, note, after):
    """The transcript with the line NOTE after the first that starts with AFTER."""
    lines = []
    for line in transcript.splitlines():
        lines.append(line)
        if line.startswith(after):
            lines.append(note)
    return "".join(line + "\n" for line in lines)


# --- tovrix-emulate --real.

@vm_case("update")
def test_update(case, run):
    """A whole update of the sample image."""
    want, _ = expected(run, "update")
    if case.result("tool") != "0" or case.result("unit") != "0":
        raise Fail(statuses(case))
    expect_same(want, case.text("transcript"), "the transcript differs from the emulated unit's")
    expect_memory(case, "memory.hex", "the unit's memory is not the image inside its bounds")


@vm_case("device-line")
def test_device_line(case):
    """The device line: identity, version and caps from the real kernel."""
    ms = re.search(r" ms=(\d+)", case.text("../update/result"))
    case.ms = int(ms.group(1)) if ms else 0
    shown = screen(case.text("../update/transcript")).splitlines()
    line = "Found USB device:  VID=4D8, PID=3C, Version=102 <- TovrixPro found!"
    if line not in shown:
        found = next((entry for entry in shown if "Found USB" in entry), "")
        raise Fail(f"no such device line: {found}")
    if any("Non-real TovrixPro" in entry for entry in shown) or \
            not any(entry.startswith("Checking TovrixPro ... OK") for entry in shown):
        raise Fail("the unit's caps were not taken for 65, 65, 1")


@vm_case("caps63")
def test_caps63(case, run):
    """A unit with 63-byte reports is refused."""
    want, _ = expected(run, "caps63", "--caps", "64,64,1")
    if case.result("tool") != "0":
        raise Fail(f"tool status {case.result('tool')}")
    if "Non-real TovrixPro detected! Program cannot continue" not in \
            screen(case.text("transcript")).splitlines():
        raise Fail("the unit was not refused")
    expect_same(want, case.text("transcript"),
                "the transcript differs from the emulated unit's with caps 64,64,1")


@vm_case("silent")
def test_silent(case, run):
    """A unit that stops answering after ERASE: eleven waits of 500 ms."""
    want, _ = expected(run, "silent", "--erase-waits", "11")
    transcript = case.text("transcript")
    if case.result("tool") != "1":
        raise Fail(f"tool status {case.result('tool')}, not the abort")
    if waits(transcript) != 11 or "log No response after ERASE!" not in transcript.splitlines():
        raise Fail(f"{waits(transcript)} waits, or no 'No response after ERASE!'")
    expect_same(want, transcript,
                "the transcript differs from the emulated unit's with --erase-waits 11")
    if case.ms < 5400 or case.ms > 8500:
        raise Fail(f"took {case.ms} ms, not about 5.5 s")


@vm_case("stale-reply")
def test_stale_reply(case, run):
    """A unit that answers the first QUERY twice: the second reply waits,
    unread, when the tool writes ERASE and must not be taken for the reply
    that ends the erase. The erase wait waits as with a well-behaved unit
    whose erase takes two waits."""
    want, _ = expected(run, "stale-reply", "--erase-waits", "2")
    transcript = case.text("transcript")
    if case.result("tool") != "0" or case.result("unit") != "0":
        raise Fail(statuses(case))
    unit_log = case.text("unit.log")
    if " reports in, 3 out; 2 QUERY" not in unit_log:
        raise Fail("the unit did not answer the first QUERY twice")
    if not re.search(r"unit: [1-9][0-9]* host programs stopped", unit_log):
        raise Fail("the unit stopped no host program: the second reply may not have waited")
    if waits(transcript) != 2:
        raise Fail(f"{waits(transcript)} erase waits, not 2: the reply nobody asked for ended "
                   "the erase wait")
    expect_same(want, transcript,
                "the transcript differs from the emulated unit's with --erase-waits 2")


@vm_case("unprivileged")
def test_unprivileged(case, run):
    """No access to the node: the permission line, then the not-found block."""
    want, _ = expected(run, "unprivileged", "--no-unit")
    note = "log TovrixPro found at /dev/hidraw0, but it cannot be opened: Permission denied"
    transcript = case.text("transcript")
    if case.result("tool") != "0":
        raise Fail(f"tool status {case.result('tool')}")
    if note not in transcript.splitlines():
        raise Fail("no permission line")
    expect_same(with_note(want, note, "log TovrixPro Updater: looking for"), transcript,
                "not the permission line and the not-found block")


@vm_case("closed")
def test_closed(case, run):
    """The window closed while the image is written: the unit's handles are
    closed (the closed line) and the program ends at once."""
    want, code = expected(run, "closed", "--close", "40")
    transcript = case.text("transcript")
    if case.result("tool") != str(code):
        raise Fail(f"tool status {case.result('tool')}, the emulated run's {code}")
    if "closed" not in transcript.splitlines():
        raise Fail("no closed line")
    expect_same(want, transcript, "the transcript differs from the emulated unit's with --close 40")


@vm_case("unplug")
def test_unplug(case, run):
    """The unit unplugged in the middle of the writing."""
    want, _ = expected(run, "unplug")
    lines = case.lines("transcript")
    at = next((i for i, line in enumerate(lines) if line.startswith("log Write Failure (code=")),
              None)
    sends = sum(1 for line in lines if line.startswith("send "))
    if case.result("tool") == "124":
        raise Fail("the tool hung (ended by the time limit)")
    if at is None:
        raise Fail(f"no Write Failure line (tool status {case.result('tool')})")
    if want.splitlines()[:at] != lines[:at]:
        raise Fail("the run before the failure differs from the emulated unit's")
    if lines[at + 1:] != ["box critical Program Abort!", "exit"]:
        raise Fail("the failure is not followed by the abort")
    if case.result("tool") != "1" or case.result("unit") != "0" or sends < 300:
        raise Fail(f"{statuses(case)}, {sends} reports sent")
    case.note(f"{lines[at][4:]} after {sends} reports")


@vm_case("unplug-wait")
def test_unplug_wait(case, run):
    """The unit unplugged while the tool waits for the erase: every wait
    fails at once (the node reports the hang-up), so the same lines as a
    unit that never answers come, without the 5.5 s."""
    want, _ = expected(run, "unplug-wait", "--erase-waits", "11")
    if case.result("tool") != "1" or case.result("unit") != "0":
        raise Fail(statuses(case))
    expect_same(want, case.text("transcript"),
                "the transcript differs from the emulated unit's with --erase-waits 11")
    if case.ms >= 5000:
        raise Fail("the waits timed out instead of failing at once")


@vm_case("pack")
def test_pack(case, run):
    """The sample image packed: the transcript of the emulated unit with
    --pack, and the unit's memory as after an unpacked run."""
    want, _ = expected(run, "pack", "--pack")
    transcript = case.text("transcript")
    packed = sum(1 for line in transcript.splitlines() if line.startswith("send 0005"))
    if case.result("tool") != "0" or case.result("unit") != "0":
        raise Fail(statuses(case))
    expect_same(want, transcript, "the transcript differs from the emulated unit's with --pack")
    expect_memory(case, "memory.hex", "the unit's memory is not the image inside its bounds")
    update = run.out / "update" / "memory.hex"
    if update.is_file() and memory_differs(update, case.path("memory.hex")) is not None:
        raise Fail("the unit's memory differs from the unpacked run's")
    plain, _ = expected(run, "pack-plain")
    unpacked = sum(1 for line in plain.splitlines() if line.startswith("send 0005"))
    case.note(f"{packed} PROGRAM reports packed, {unpacked} unpacked")


def during(case):
    """The numbers of the case's during file (KEY=N words)."""
    return {key: value for key, value in re.findall(r"([a-z-]+)=(\S*)", case.text("during"))}


@vm_case("exclusive")
def test_exclusive(case, run):
    """A second updater started while the first writes, and tovrix-flash
    beside it: each passes the unit over with the claim line and the
    not-found block; the first finishes with the image in the unit."""
    want, _ = expected(run, "exclusive")
    second_want, _ = expected(run, "exclusive-second", "--no-unit")
    transcript = case.text("transcript")
    note = "log TovrixPro found at /dev/hidraw0, but another update is using it"
    second_noted = with_note(second_want, note, "log TovrixPro Updater: looking for")
    numbers = during(case)
    total = sum(1 for line in transcript.splitlines() if line.startswith("send "))
    if case.result("tool") != "0" or case.result("unit") != "0":
        raise Fail(f"first {statuses(case)}")
    if numbers.get("second") != "0" or note not in case.lines("second"):
        raise Fail(f"the second run (status {numbers.get('second', '')}) did not pass the unit over")
    expect_same(second_noted, case.text("second"),
                "the second run is not the claim line and the not-found block")
    if numbers.get("flash") != "3" or note[4:] not in case.lines("second-flash"):
        raise Fail(f"tovrix-flash beside it (status {numbers.get('flash', '')}) did not pass the "
                   "unit over")
    flash_said = [line for line in case.lines("second-flash.log") if not line.startswith("Image ")]
    if same(screen(second_noted), case.text("second-flash")) is not None or \
            flash_said != ["tovrix-flash: Cannot find TovrixPro!"]:
        raise Fail("tovrix-flash beside it did not give the claim line, the not-found block and "
                   "its error")
    counts = [numbers.get(key, "") for key in ("before", "after", "flashed")]
    if not all(n.isdigit() for n in counts) or int(counts[0]) < 100 or \
            int(counts[1]) >= total or int(counts[2]) >= total:
        raise Fail(f"the second runs did not fall inside the first one's writing "
                   f"({case.first('during')}, {total} reports)")
    expect_same(want, transcript, "the first run's transcript differs from the emulated unit's")
    expect_memory(case, "memory.hex", "the unit's memory is not the image inside its bounds")
    case.note(f"the second ran while the first had sent {counts[0]} to {counts[1]} of its {total} "
              f"reports, tovrix-flash to {counts[2]}")


# --- tovrix-flash, the command-line program.

@vm_case("flash-list")
def test_flash_list(case):
    """--list shows the unit with its port."""
    match = re.search(r"/(\d+-[0-9.]*)/[^/]*/[^/]*$", case.first("sysfs"))
    port = match.group(1) if match else ""
    line = f"/dev/hidraw0  port {port}  VID=04D8 PID=003C Version=0102  TovrixPro in update mode"
    if case.result("tool") != "0":
        raise Fail(f"tool status {case.result('tool')}")
    if not port:
        raise Fail(f"no USB port in the unit's sysfs path {case.first('sysfs')}")
    if case.first("output") != line:
        raise Fail(f"listed: {case.first('output')}, not: {line}")
    case.note(line)


@vm_case("flash-wait")
def test_flash_wait(case, run):
    """--wait: the unit plugged in 2 s after the start is updated."""
    want, _ = expected(run, "flash-wait")
    found = events(case.text("output"))
    finished = [e for e in found if list(e) == ["event", "status", "seconds"]
                and e["event"] == "done" and e["status"] == 0]
    seconds = finished[0]["seconds"] if finished else None
    device = {"event": "device", "path": "/dev/hidraw0", "port": None, "vid": "04D8",
              "pid": "003C", "version": "0102"}
    if case.result("tool") != "0" or case.result("unit") != "0":
        raise Fail(statuses(case))
    expect_same(screen(want), logs(found), "the log differs from the window's")
    if not any(list(e) == list(device) and isinstance(e["port"], str)
               and re.fullmatch(r"\d*-[0-9.]*", e["port"])
               and {**e, "port": None} == device for e in found):
        raise Fail("no device event for the unit")
    if not isinstance(seconds, (int, float)) or seconds < 2:
        raise Fail(f"done after {seconds if seconds is not None else '?'} s, not after the plug "
                   "at 2 s")
    expect_memory(case, "memory.hex", "the unit's memory is not the image inside its bounds")
    case.note(f"plugged in after {case.first('plugged-ms')} ms, updated after {seconds} s")


@vm_case("flash-sigint")
def test_flash_sigint(case, run):
    """SIGINT while writing: stopped after the report in flight, nothing held
    open, and the next run updates the unit."""
    want, _ = expected(run, "flash-sigint")
    interrupted = events(case.text("output-interrupted"))
    said = None
    for e in interrupted:
        if list(e) == ["event", "text"] and e["event"] == "error":
            said = re.fullmatch(r"Interrupted after (\d+) of (\d+) reports; the unit was erased "
                                r"and must be flashed again", e["text"]) or said
    got = re.search(r" (\d+) PROGRAM, (\d+) COMPLETE", case.text("unit-interrupted.log"))
    received = int(got.group(1)) + int(got.group(2)) if got else None
    if case.first("status-interrupted") != "130":
        raise Fail(f"interrupted with status {case.first('status-interrupted')}, not 130")
    n, m = (int(said.group(1)), int(said.group(2))) if said else (0, 0)
    if not said or n <= 0 or n >= m:
        tail = " ".join(case.lines("output-interrupted")[-2:])
        raise Fail(f"no 'Interrupted after N of M reports' during the write: {tail}")
    if received != n:
        raise Fail(f"the tool says {n} reports, the unit got "
                   f"{received if received is not None else '?'}: "
                   f"{case.first('unit-interrupted.log')}")
    if case.text("holders").strip():
        raise Fail(f"processes hold the node: {case.first('holders')}")
    if not done(interrupted, 130):
        raise Fail("the JSON output does not end with done, status 130")
    if case.result("tool") != "0" or case.result("unit") != "0":
        raise Fail(f"the next run: {statuses(case)}")
    expect_same(screen(want), case.text("output"), "the next run's log differs from the window's")
    expect_memory(case, "memory.hex",
                  "after the next run the unit's memory is not the image inside its bounds")
    case.note(f"interrupted after {n} of {m} reports, the unit got {received}")


@vm_case("flash-two-units")
def test_flash_two_units(case):
    """Two units and no --device: status 4 and the list of both."""
    told = case.lines("tool.log")
    # Each unit's line, or its first part when the rest went on the next
    # line to keep within 80 columns.
    unit_line = re.compile(r"  /dev/hidraw[01]  port (\d+-[0-9.]*)  VID=04D8 PID=003C "
                           r"Version=0102(  TovrixPro in update mode)?")
    units = [unit_line.fullmatch(line) for line in told]
    units = [u for u in units if u]
    ports = {u.group(1) for u in units}
    head = [re.sub(" +", " ", line) for line in told if not line.startswith("Image ")][:2]
    found = events(case.text("output.json"))
    if case.result("tool") != "4" or case.first("status-json") != "4":
        raise Fail(f"status {case.result('tool')} (JSON: {case.first('status-json')}), not 4")
    if case.text("output"):
        raise Fail("something on standard output")
    if head != ["tovrix-flash: Several TovrixPro units are attached:",
                " choose one with --device PATH or --port PORT"] or len(units) != 2 or \
            len(ports) != 2:
        raise Fail(f"not the list of both units on their ports: {case.text('tool.log')}")
    if sum(1 for e in found if e.get("event") == "device" and e.get("unit") is True) != 2 or \
            not done(found, 4):
        raise Fail("the JSON output is not two units and done, status 4")


@vm_case("flash-pack")
def test_flash_pack(case, run):
    """--pack, and a run without it on a fresh plug-in: the same memory, the
    image inside the unit's bounds; the window's log; fewer PROGRAM reports."""
    want, _ = expected(run, "flash-pack")
    packed_ms = case.first("packed-ms")
    packed = programs(case.text("unit-packed.log"))
    unpacked = programs(case.text("unit.log"))
    if case.first("status-packed") != "0" or case.first("unit-status-packed") != "0":
        raise Fail(f"with --pack: tool status {case.first('status-packed')}, unit status "
                   f"{case.first('unit-status-packed')}")
    if case.result("tool") != "0" or case.result("unit") != "0":
        raise Fail(f"without --pack: {statuses(case)}")
    expect_same(screen(want), case.text("output-packed"),
                "the log with --pack differs from the window's")
    expect_same(screen(want), case.text("output"), "the log without --pack differs from the window's")
    expect_memory(case, "memory-packed.hex",
                  "with --pack the unit's memory is not the image inside its bounds")
    expect_memory(case, "memory.hex",
                  "without --pack the unit's memory is not the image inside its bounds")
    if memory_differs(case.path("memory-packed.hex"), case.path("memory.hex")) is not None:
        raise Fail("the unit's memory differs with and without --pack")
    if not packed or not unpacked or int(packed) >= int(unpacked):
        raise Fail(f"{packed or '?'} PROGRAM reports with --pack, {unpacked or '?'} without: "
                   "not packed")
    case.note(f"{packed} PROGRAM reports in {packed_ms} ms with --pack, {unpacked} in "
              f"{case.ms} ms without")
    if packed_ms.isdigit() and int(packed_ms) > 0 and case.ms > 0:
        run.pack_ratio = f"{ratio(int(packed_ms), case.ms)} ({packed_ms} ms / {case.ms} ms)"


@vm_case("flash-all")
def test_flash_all(case, run):
    """--all: one unit alone first; then two at once, each updated with the
    window's log under its own port, each memory the image inside its bounds."""
    want, _ = expected(run, "flash-all")
    window = screen(want)
    one_ms = case.first("one-ms")
    found = events(case.text("output"))
    units = unit_events(found)
    ok = sum(1 for _, result, status in units if result == "ok" and status == 0)
    ports = sorted({port for port, _, _ in units})
    if case.first("status-one") != "0" or case.first("unit-status-one") != "0":
        raise Fail(f"one unit alone: tool status {case.first('status-one')}, unit status "
                   f"{case.first('unit-status-one')}")
    expect_same(window, logs(events(case.text("output-one"))),
                "one unit alone: the log differs from the window's")
    expect_memory(case, "memory-one.hex",
                  "one unit alone: the unit's memory is not the image inside its bounds")
    if case.result("tool") != "0" or case.result("unit") != "0,0":
        raise Fail(f"--all: tool status {case.result('tool')}, unit statuses "
                   f"{case.result('unit')}")
    if len(units) != 2 or ok != 2 or len(ports) != 2:
        told = " ".join(line for line in case.lines("output") if '"event":"unit"' in line)
        raise Fail(f"not two unit events, ok, on two ports: {told}")
    summary = [e for e in found if e.get("event") == "summary"]
    if not any(list(e)[:3] == ["event", "updated", "failed"] and e["updated"] == 2
               and e["failed"] == 0 for e in summary):
        raise Fail(f"not the summary of two updated: {json.dumps(summary)}")
    if unported(found):
        raise Fail(f"events without their port: {' '.join(unported(found)[:2])}")
    for port in ports:
        differences = same(window, logs(found, port))
        if differences is not None:
            raise Fail(f"the log of port {port} differs from the window's", differences)
    if not overlapping(found):
        raise Fail("the two units were not written at once")
    for memory in ("memory-0.hex", "memory-1.hex"):
        expect_memory(case, memory, "a unit's memory is not the image inside its bounds")
    if not done(found, 0):
        raise Fail("the JSON output does not end with done, status 0")
    case.note(f"one unit alone in {one_ms} ms; both, on ports {', '.join(ports)}, in {case.ms} ms")
    if one_ms.isdigit() and int(one_ms) > 0:
        run.all_ratio = f"{ratio(case.ms, int(one_ms))} ({case.ms} ms / {one_ms} ms)"


@vm_case("flash-repeat")
def test_flash_repeat(case):
    """--repeat: a unit updated, one pulled out while written, that one
    updated when plugged in again; SIGINT then ends the station with
    status 1."""
    found = events(case.text("output"))
    units = unit_events(found)
    port = units[0][0] if units else ""
    reasons = failure_reasons(found)
    reason = reasons[0] if reasons else ""
    if case.result("unit") != "0,0,0":
        raise Fail(f"unit statuses {case.result('unit')}, not 0,0,0")
    if [(result, status) for _, result, status in units] != [("ok", 0), ("failed", 1), ("ok", 0)]:
        told = " ".join(line for line in case.lines("output") if '"event":"unit"' in line)
        raise Fail(f"unit events not ok, failed, ok: {told}")
    if {p for p, _, _ in units} != {port}:
        raise Fail(f"the units were not all on one port: {' '.join(p for p, _, _ in units)}")
    if not reason.endswith("plug it in again to retry"):
        raise Fail(f"the failure's reason does not end with 'plug it in again to retry': {reason}")
    for memory in ("memory-a.hex", "memory-c.hex"):
        expect_memory(case, memory, "an updated unit's memory is not the image inside its bounds")
    summary = {"event": "summary", "updated": 2, "failed": 1, "failed_ports": [port]}
    if not any(list(e.items()) == list(summary.items()) for e in found):
        told = " ".join(line for line in case.lines("output") if '"event":"summary"' in line)
        raise Fail(f"not the summary of 2 updated, 1 failed on {port}: {told}")
    if unported(found):
        raise Fail(f"events without their port: {' '.join(unported(found)[:2])}")
    if case.result("tool") != "1" or not done(found, 1):
        last = case.lines("output")[-1] if case.lines("output") else ""
        raise Fail(f"ended with status {case.result('tool')}, {last}, not 1")
    if case.text("holders").strip():
        raise Fail(f"processes hold a hidraw node: {case.first('holders')}")
    case.note(f"on port {port}: ok, failed ({reason}), ok")


@vm_case("host-root")
def test_host_root(case):
    """The host's root in the guest: its programs run there, write to the
    guest's /tmp, and the unit's node has the kernel's numbers, gone after
    the unplug."""
    # stat gives the numbers in hexadecimal, the kernel in decimal.
    numbers = case.first("kernel-node").split(":")
    kernel = f"{int(numbers[0]):x}:{int(numbers[1]):x} 600" if len(numbers) == 2 else ""
    if case.result("tool") != "0" or \
            case.first("release") != Path("/etc/debian_version").read_text().rstrip("\n"):
        raise Fail(f"the host's cat (status {case.result('tool')}) did not read the host's release")
    if case.first("written") != "written":
        raise Fail("a host program's file in /tmp is not the guest's")
    if case.text("setup-error") or case.first("node") != kernel:
        raise Fail(f"the node in the host's root: {case.first('node')}, the kernel's: {kernel}")


# --- The Windows programs under Wine, with the shorter image that
# scripts/vm-e2e made beside the cases' folder.

def win_image(run):
    return run.out.parent / "WIN.HEX"


def win_basics(case, out, tool, unit):
    """The case's statuses are TOOL and UNIT and none of our Windows programs
    was left running."""
    if case.first(f"{out}.status") != tool or case.result("unit") != unit:
        raise Fail(f"tool status {case.first(f'{out}.status')}, unit status "
                   f"{case.result('unit')}")
    if case.text("leftovers").strip():
        raise Fail(f"programs left running: {case.first('leftovers')}")


@vm_case("win-update")
def test_win_update(case, run):
    """tovrix-flash.exe updates the unit: the window's log (which the Linux
    tovrix-flash gives too, flash-*), the image in the unit."""
    want, _ = expected(run, "win-update", image=win_image(run))
    win_basics(case, "output", "0", "0")
    expect_same(screen(want), unwine(case.text("output")), "the log differs from the window's")
    expect_memory(case, "output.hex", "the unit's memory is not the image inside its bounds",
                  image=win_image(run))
    case.note(f"Wine's start-up before it: {case.first('wine-start-ms')} ms")


@vm_case("win-list")
def test_win_list(case):
    """--list: the unit's interface path, its version, and the port Windows
    gives (the location path of the USB device; Wine 8 has none: "-")."""
    listed = unwine(case.text("list")).splitlines()
    line = next((entry for entry in listed if "VID=04D8 PID=003C" in entry), "")
    if case.result("tool") != "0":
        raise Fail(f"tool status {case.result('tool')}")
    if not re.fullmatch(r"\\\\\?\\hid#vid_04d8&pid_003c\S*  port \S+  VID=04D8 PID=003C "
                        r"Version=0102  TovrixPro in update mode", line, re.IGNORECASE):
        raise Fail("not the unit's interface with its port and version: "
                   + "|".join(case.text("list").replace("\r", "").splitlines()) + "|")
    case.note(line)


@vm_case("win-pack")
def test_win_pack(case, run):
    """--pack: the window's log, and the memory of the unpacked run."""
    want, _ = expected(run, "win-pack", image=win_image(run))
    win_basics(case, "output", "0", "0")
    expect_same(screen(want), unwine(case.text("output")), "the log differs from the window's")
    expect_memory(case, "output.hex", "the unit's memory is not the image inside its bounds",
                  image=win_image(run))
    update = run.out / "win-update"
    if (update / "output.hex").is_file() and \
            memory_differs(update / "output.hex", case.path("output.hex")) is not None:
        raise Fail("the unit's memory differs from the unpacked run's (win-update)")
    unpacked = programs((update / "unit-output.log").read_text()) \
        if (update / "unit-output.log").is_file() else ""
    case.note(f"{programs(case.text('unit-output.log'))} PROGRAM reports packed, {unpacked} "
              "unpacked")


@vm_case("win-exclusive")
def test_win_exclusive(case, run):
    """A second tovrix-flash.exe while the first writes: the claim line, the
    not-found block, status 3; the first ends with the image in the unit."""
    want, _ = expected(run, "win-exclusive-second", "--no-unit", image=win_image(run))
    second = unwine(case.text("second"))
    claim = next((line for line in second.splitlines()
                  if re.fullmatch(r"TovrixPro found at .*, but another update is using it", line)),
                 "")
    try:
        win_basics(case, "output", "0", "0")
    except Fail as error:
        raise Fail(f"the first: {error.problem}") from None
    if case.first("second.status") != "3" or not claim:
        raise Fail(f"the second (status {case.first('second.status')}) did not pass the unit over")
    said = [line for line in case.text("second.log").replace("\r", "").splitlines()
            if not line.startswith("Image ")]
    if same(with_note(screen(want), claim, "TovrixPro Updater: looking for"), second) is not None \
            or said != ["tovrix-flash: Cannot find TovrixPro!"]:
        raise Fail("the second did not give the claim line, the not-found block and its error")
    if "first-running=yes" not in case.text("during"):
        raise Fail(f"the second did not run while the first wrote: {case.first('during')}")
    expect_memory(case, "memory.hex", "the unit's memory is not the image inside its bounds",
                  image=win_image(run))
    case.note(f"{claim} ({case.first('during')})")


@vm_case("win-silent")
def test_win_silent(case, run):
    """A unit that does not answer the first QUERY: the window's lines,
    status 1, only that QUERY written, nothing left running."""
    want, _ = expected(run, "win-silent", "--silent-query", image=win_image(run))
    got = unwine(case.text("output"))
    # Nobody resets the unit: it is told to end once the tool has ended
    # (status 1, as at its time limit).
    win_basics(case, "output", "1", "1")
    if not any(line.endswith("Invalid QUERY response - not connected to TovrixPro?")
               for line in got.splitlines()):
        raise Fail("no 'Invalid QUERY response - not connected to TovrixPro?'")
    expect_same(screen(want), got, "the log differs from the window's")
    if " 1 reports in," not in case.text("unit-output.log"):
        raise Fail(f"the unit got more than the QUERY: {case.first('unit-output.log')}")


@vm_case("win-unplug")
def test_win_unplug(case):
    """The unit pulled out while written: the write failure, status 1,
    within 2 s of the unplug."""
    unplugged, ended = case.first("unplugged-at"), case.first("ended-at")
    took = int(ended or 0) - int(unplugged or 0)
    win_basics(case, "output", "1", "0")
    failures = [e["text"] for e in events(case.text("output"))
                if list(e) == ["event", "text"] and e["event"] == "log"
                and e["text"].startswith("Write Failure (code=")]
    if not failures:
        tail = " ".join(case.text("output").replace("\r", "").splitlines()[-3:])
        raise Fail(f"no Write Failure line: {tail} ")
    if not unplugged or took > 2000:
        raise Fail(f"ended {took} ms after the unplug, not within 2 s")
    case.note(f"{failures[0]}, {took} ms after the unplug")


@vm_case("win-window")
def test_win_window(case, run):
    """tovrix-update.exe: the window's log of the update, Esc ends it with 0."""
    want, _ = expected(run, "win-window", image=win_image(run))
    if case.result("tool") != "0" or case.result("unit") != "0":
        driver = [line for line in case.text("driver").replace("\r", "").splitlines()
                  if not re.match(r"\[ *(RUN|OK) ", line)][:12]
        raise Fail(f"the driver's status {case.result('tool')}, unit status "
                   f"{case.result('unit')}", ["    " + line for line in driver])
    if case.text("leftovers").strip():
        raise Fail(f"programs left running: {case.first('leftovers')}")
    if "SKIPPED" in case.text("driver"):
        raise Fail("the driver skipped the run")
    expect_same(screen(want), unwine(case.text("window.log")),
                "the window's log differs from the emulated unit's")
    expect_memory(case, "memory.hex", "the unit's memory is not the image inside its bounds",
                  image=win_image(run))


# --- The web page in the guest's Chromium (the web-* cases).

def unversioned(text):
    """The log without the device line's version, which WebHID does not give."""
    return re.sub(r"^(Found USB device: .*, Version=)[0-9A-F]*", r"\1", text, flags=re.M)


def web_outcome(case, want, lines=None):
    """The page's steps went through and its log is the window's for WANT
    (the emulated run's transcript), the version aside, with the same boxes
    and no errors on the page. With LINES, only the log's first LINES lines
    count, and not the boxes."""
    if case.text("page-error").strip() or case.result("tool") != "0":
        raise Fail(f"the page's steps: {case.first('page-error')}")
    window = unversioned(screen(want)).splitlines(keepends=True)
    page = unversioned(case.text("page.text")).splitlines(keepends=True)
    if lines is not None:
        window, page = window[:lines], page[:lines]
    differences = same("".join(window), "".join(page))
    if differences is not None:
        raise Fail("the page's log differs from the window's (the version aside)", differences)
    boxes = "".join(line[4:] + "\n" for line in want.splitlines() if line.startswith("box "))
    if lines is None and boxes != case.text("page.boxes"):
        raise Fail(f"the page's boxes: {'|'.join(case.lines('page.boxes'))}|, the window's: "
                   f"{'|'.join(boxes.splitlines())}|")
    if case.text("page.errors").strip():
        raise Fail(f"errors on the page: {' '.join(case.lines('page.errors')[:3])}")


def browser_tail(run):
    """The end of the browser's output (its D-Bus complaints left out)."""
    text = (run.out / "web-browser" / "browser.txt")
    lines = text.read_text(errors="replace").splitlines() if text.is_file() else []
    return ["    browser: " + line for line in lines if "dbus" not in line][-12:]


@contextlib.contextmanager
def web_checks(case, run):
    """A web case's checks: a failure carries the browser's last lines; when
    all hold, the note of how soon the page offered the unit."""
    try:
        yield
    except Fail as error:
        raise Fail(error.problem, error.details + browser_tail(run))
    web_opened(case)


def collections_differ(case, bytes_):
    """Chromium's collections of the case's unit (page.collections) are what
    the web tests' stand-in for WebHID gives for the unit's descriptor, in
    all that the stand-in tells: None, else the first difference."""
    if not case.text("page.collections").strip():
        return "no collections from the page"
    want = json.loads(subprocess.run(
        ["node", str(TOP / "scripts" / "vm" / "collections.mjs"), str(bytes_)],
        stdout=subprocess.PIPE, check=True).stdout)
    got = json.loads(case.text("page.collections"))

    def walk(want, got, where):
        if not isinstance(want, (dict, list)):
            if want != got:
                return f"{where} is {json.dumps(got)}, not {json.dumps(want)}"
        elif not isinstance(got, (dict, list)):
            return f"{where} is missing"
        elif isinstance(want, list) and len(want) != len(got):
            return f"{where} has {len(got)} entries, not {len(want)}"
        else:
            for key in (want if isinstance(want, dict) else range(len(want))):
                inner = got.get(key) if isinstance(got, dict) else \
                    (got[key] if isinstance(key, int) and key < len(got) else None)
                problem = walk(want[key], inner, f"{where}.{key}")
                if problem:
                    return problem
        return None

    return walk(want, got, "collections")


def page_state(case):
    return case.first("page.state")


def web_opened(case):
    ms = case.first("open-ms")
    seconds = f"{int(ms) / 1000:.1f}" if ms.isdigit() else "0.0"
    case.note(f"the page opened and offered the unit in {seconds} s ({case.first('page.open-ms')} ms)")


@vm_case("web-update")
def test_web_update(case, run):
    """The page updates the unit it may use: the unit's memory is the image
    inside its bounds, the page's log the window's, and the page ends idle.
    The image is a part of the sample's, which the guest gives back."""
    image = case.path("image.hex")
    want, _ = expected(run, "web-update", image=image)
    with web_checks(case, run):
        web_outcome(case, want)
        problem = collections_differ(case, 64)
        if problem:
            raise Fail(f"Chromium's collections differ from the web tests' stand-in's: {problem}")
        if case.result("unit") != "0":
            raise Fail(f"unit status {case.result('unit')}")
        if page_state(case) != "idle -":
            raise Fail(f"the page ended {page_state(case)}, not idle")
        expect_memory(case, "memory.hex", "the unit's memory is not the image inside its bounds",
                      image=image)
    case.note(f"{programs(case.text('unit.log'))} PROGRAM reports")


@vm_case("web-caps")
def test_web_caps(case, run):
    """63-byte reports: Chromium's collections of the kernel's device give
    the refused caps."""
    want, _ = expected(run, "web-caps", "--caps", "64,64,1")
    with web_checks(case, run):
        web_outcome(case, want)
        problem = collections_differ(case, 63)
        if problem:
            raise Fail(f"Chromium's collections differ from the web tests' stand-in's: {problem}")
        if "Non-real TovrixPro detected! Program cannot continue" not in case.lines("page.text"):
            raise Fail("the unit was not refused")
        if page_state(case) != "idle -":
            raise Fail(f"the page ended {page_state(case)}, not idle")


@vm_case("web-silent")
def test_web_silent(case, run):
    """No answer to the first QUERY: the line and the abort, the program ends."""
    want, code = expected(run, "web-silent", "--silent-query")
    with web_checks(case, run):
        web_outcome(case, want)
        if not any(line.endswith("Invalid QUERY response - not connected to TovrixPro?")
                   for line in case.lines("page.text")) or \
                case.first("page.boxes") != "critical Program Abort!":
            raise Fail("not the invalid QUERY response and the abort")
        if page_state(case) != f"ended {code}":
            raise Fail(f"the page ended {page_state(case)}, the window with status {code}")
        if " 1 reports in, 0 out; 1 QUERY," not in case.text("unit.log"):
            raise Fail(f"the unit did not get one QUERY alone: {case.first('unit.log')}")


@vm_case("web-unplug")
def test_web_unplug(case, run):
    """Unplugged while the image is written: the write failure, the abort and
    the end, as the window ends; the page starts again, and offers the unit
    when it is plugged in again."""
    want, _ = expected(run, "web-unplug")
    page = case.lines("page.text")
    at = next((i for i, line in enumerate(page) if line.startswith("Write Failure (code=")), None)
    with web_checks(case, run):
        if case.text("page-error").strip() or case.result("tool") != "0":
            raise Fail(f"the page's steps: {case.first('page-error')}")
        if at is None:
            raise Fail(f"no Write Failure line: {'|'.join(page[-2:])}|")
        web_outcome(case, want, at)
        if page[at + 1:]:
            raise Fail(f"lines after the failure: {' '.join(page[at + 1:at + 3])}")
        if case.first("page.boxes") != "critical Program Abort!":
            raise Fail(f"the boxes after the failure: {'|'.join(case.lines('page.boxes'))}|, "
                       "not the abort")
        if page_state(case) != "ended 1":
            raise Fail(f"the page ended {page_state(case)}, not as the window (status 1)")
        if case.result("unit") != "0" or \
                not case.text("unit.log").startswith("tovrix-gadget-unit: unplugged;") and \
                "\ntovrix-gadget-unit: unplugged;" not in case.text("unit.log"):
            raise Fail(f"unit status {case.result('unit')}, not unplugged: "
                       f"{case.first('unit.log')}")
        if case.first("page.restart") != "Connect to TovrixPro and update":
            raise Fail(f"started again, the button reads: {case.first('page.restart')}")
        if case.first("page.offered") != "Update the TovrixPro":
            raise Fail(f"the unit plugged in again is not offered: {case.first('page.offered')}")
    case.note(f"{page[at]} after {programs(case.text('unit.log'))} PROGRAM reports; started "
              "again, offered again")
