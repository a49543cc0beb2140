"""What the test VM's check (scripts/vm/check, scripts/vm/test_cases.py)
stands on: the table of cases, a case's files and result, the emulated runs
to compare with, one comparison of transcripts and one of memories, the
JSON events of tovrix-flash, and the summary that pytest's results become.
"""
import difflib
import json
import os
import re
import subprocess
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
TOP = HERE.parent.parent


# --- The table of cases (scripts/vm/cases, which the guest reads too).

@dataclass
class Row:
    name: str
    run: str  # "-": checked from another case's files
    files: list


def vm_case(name):
    """Names the case a test checks."""
    def named(test):
        test.vm_case = name
        return test
    return named


def table(path=HERE / "cases"):
    rows = []
    for line in path.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        name, run, files = (part.strip() for part in line.split("|"))
        rows.append(Row(name, run, files.split()))
    return rows


# --- The run being checked.

@dataclass
class Run:
    out: Path
    emulate: Path
    image: Path
    cases: str = "all"
    boot: str = ""
    tmp: Path = None
    # The guest-time ratios that flash-pack and flash-all give.
    pack_ratio: str = ""
    all_ratio: str = ""

    def wanted(self, name):
        if self.cases == "all":
            return True
        wanted = self.cases.split(",")
        # device-line is the update case's run.
        return name in wanted or (name == "device-line" and "update" in wanted)


class Fail(Exception):
    """A case's problem: the verdict's text, and lines that show it."""

    def __init__(self, problem, details=()):
        super().__init__(problem)
        self.problem = problem
        self.details = list(details)


class Case:
    """One case's folder as the guest left it."""

    def __init__(self, run, row):
        self.run = run
        self.name = row.name
        self.row = row
        self.dir = run.out / row.name
        self.ms = 0
        self.notes = []  # the lines below a passed verdict

    def path(self, name):
        # ../CASE/FILE: another case's, whether this case's folder is there
        # or not.
        return Path(os.path.normpath(self.dir / name))

    def exists(self, name):
        return self.path(name).is_file()

    def text(self, name, default=""):
        try:
            return self.path(name).read_text(errors="replace")
        except OSError:
            return default

    def lines(self, name):
        return self.text(name).splitlines()

    def first(self, name):
        """The file's text without its line end (as $(cat FILE) gives it)."""
        return self.text(name).rstrip("\n")

    def result(self, key):
        """A value of the case's result line (tool, unit, ms)."""
        match = re.search(rf" {key}=(\S*)", self.text("result"))
        return match.group(1) if match else ""

    def present(self):
        missing = [f for f in self.row.files if not self.path(f).is_file()]
        if missing:
            raise Fail("no result from the VM")
        self.ms = int(self.result("ms") or 0) if self.result("ms").isdigit() else 0

    def note(self, line):
        self.notes.append("    " + line)

    def retried(self):
        return self.lines("retried")


# --- The emulated runs to compare with.

def expected(run, name, *args, image=None):
    """tovrix-emulate's transcript with ARGS (the run's image, or IMAGE), and
    its status."""
    image = image or run.image
    done = subprocess.run([str(run.emulate), "--image", str(image), *args], cwd=run.tmp,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False)
    if done.returncode > 1:
        raise Fail(f"the emulated run ({run.emulate} {' '.join(args)}) failed with status "
                   f"{done.returncode}")
    (run.tmp / name).write_bytes(done.stdout)
    return done.stdout.decode(errors="replace"), done.returncode


def screen(transcript):
    """The log as the window shows it: each logpart joined to its line."""
    lines, line = [], ""
    for entry in transcript.splitlines():
        if entry.startswith("logpart "):
            line += entry[8:]
        elif entry.startswith("log "):
            lines.append(line + entry[4:])
            line = ""
        elif entry == "log":
            lines.append(line)
            line = ""
    return "".join(entry + "\n" for entry in lines)


def unwine(text):
    """A Windows program's text with Unix line ends, without the lines of
    Wine's own HID devices (vendor 845E)."""
    lines = text.replace("\r", "").splitlines()
    return "".join(line + "\n" for line in lines
                   if not line.startswith("Found USB device:  VID=845E, "))


def same(want, got):
    """The one comparison of transcripts and logs: None when the texts are
    equal, else the first differences (send lines only counted)."""
    if want == got:
        return None
    a, b = want.splitlines(), got.splitlines()
    shown, sends = [], 0
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        if tag == "equal":
            continue
        for prefix, lines in (("< ", a[i1:i2]), ("> ", b[j1:j2])):
            for line in lines:
                if line.startswith("send "):
                    sends += 1
                elif len(shown) < 6:
                    shown.append("    " + prefix + line)
    return shown + [f"    differing send lines: {sends}"]


def expect_same(want, got, problem):
    differences = same(want, got)
    if differences is not None:
        raise Fail(problem, differences)


def inside(run, image=None):
    """The image's bytes inside the unit's default memory (words
    0x400..0x57FF: bytes 0x800 up to 0xB000), as Intel HEX."""
    image = Path(image or run.image)
    cropped = run.tmp / f"inside-{abs(hash(str(image)))}.hex"
    if not cropped.exists():
        subprocess.run(["srec_cat", str(image), "-intel", "-crop", "0x800", "0xB000",
                        "-o", str(cropped), "-intel"], check=True, stderr=subprocess.DEVNULL)
    return cropped


def memory_differs(want, got):
    """The one comparison of memories (srec_cmp): None when the two Intel
    HEX files hold the same bytes, else srec_cmp's first lines."""
    done = subprocess.run(["srec_cmp", str(want), "-intel", str(got), "-intel"],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
    if done.returncode == 0:
        return None
    return ["    " + line for line in done.stdout.decode(errors="replace").splitlines()[:8]]


def expect_memory(case, name, problem, image=None):
    """The case's memory file NAME is the image inside the unit's bounds."""
    differences = memory_differs(inside(case.run, image), case.path(name))
    if differences is not None:
        raise Fail(problem, differences)


def programs(unit_log):
    """The PROGRAM reports the gadget unit's summary line counts."""
    match = re.search(r" (\d+) PROGRAM, ", unit_log)
    return match.group(1) if match else ""


def ratio(a, b):
    return f"{a / b:.2f}"


# --- tovrix-flash's JSON events, one object a line.

def events(text):
    found = []
    for line in text.replace("\r", "").splitlines():
        try:
            event = json.loads(line)
        except json.JSONDecodeError:
            raise Fail(f"not a JSON event: {line[:60]}") from None
        if not isinstance(event, dict):
            raise Fail(f"not a JSON event: {line[:60]}")
        found.append(event)
    return found


def keys(event):
    return list(event)


def logs(found, port=None):
    """The texts of the log events (of PORT's, with PORT), one a line."""
    shape = ["event", "text"] if port is None else ["event", "port", "text"]
    return "".join(e["text"] + "\n" for e in found
                   if keys(e) == shape and e["event"] == "log" and e.get("port") == port)


TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d")
UNIT_HEAD = ["event", "time", "station", "count", "version", "port", "path"]


def unit_events(found):
    """The unit events, each (PORT, RESULT, STATUS); events of another form
    are left out."""
    units = []
    for e in found:
        k = keys(e)
        if (e.get("event") != "unit" or k[:len(UNIT_HEAD)] != UNIT_HEAD
                or k[-3:] != ["status", "seconds", "phases"]
                or not TIME.fullmatch(str(e["time"]))
                or not isinstance(e["station"], str) or not isinstance(e["version"], str)
                or not isinstance(e["count"], int) or isinstance(e["count"], bool)
                or not re.fullmatch(r"/dev/hidraw\d+", str(e["path"]))
                or not re.fullmatch(r"[a-z]*", str(e.get("result")))
                or not isinstance(e["status"], int) or not isinstance(e["phases"], dict)):
            continue
        middle = k[len(UNIT_HEAD):-3]
        if middle and middle[0] == "sha256":
            middle = middle[1:]
        if not middle or middle[0] != "result":
            continue
        units.append((e["port"], e["result"], e["status"]))
    return units


def failure_reasons(found):
    """The reasons of the failed units, each given after its code."""
    reasons = []
    for e in found:
        k = keys(e)
        if e.get("event") == "unit" and e.get("result") == "failed" and "reason" in k:
            at = k.index("reason")
            if k[at - 1] == "code" and re.fullmatch(r"[a-z-]+", str(e["code"])):
                reasons.append(str(e["reason"]))
    return reasons


def unported(found):
    """The events of a unit that do not name its port (a string) right after
    the event's name (the device event names it after its path)."""
    wrong = []
    for e in found:
        k = keys(e)
        if e.get("event") in ("image", "unit", "summary", "done"):
            continue
        if e.get("event") == "device":
            if k[:3] == ["event", "path", "port"] and isinstance(e["port"], str):
                continue
        elif len(k) > 1 and k[1] == "port" and isinstance(e["port"], str):
            continue
        wrong.append(json.dumps(e, separators=(",", ":")))
    return wrong


def overlapping(found):
    """True when the progress of two ports came each before the other's
    ended: the two were written at once."""
    where = {}
    for i, e in enumerate(found):
        if e.get("event") == "progress" and keys(e)[1:2] == ["port"]:
            where.setdefault(e["port"], []).append(i)
    if len(where) != 2:
        return False
    (a, b) = where.values()
    return a[0] < b[-1] and b[0] < a[-1]


def done(found, status):
    """The events end with done, with STATUS."""
    return bool(found) and keys(found[-1])[:2] == ["event", "status"] and \
        found[-1]["event"] == "done" and found[-1]["status"] == status


# --- The summary: pytest's results as the verdict lines.

class Summary:
    """A pytest plugin: one verdict line per case as it ends, the tries the
    guest ran again, and the counts at the end."""

    def __init__(self, run):
        self.vm = run
        self.passed = self.failed = self.retried = 0
        self.browser_told = False
        self._tmp = tempfile.TemporaryDirectory()
        run.tmp = Path(self._tmp.name)

    @pytest.fixture
    def run(self):
        """The run being checked."""
        return self.vm

    @pytest.fixture
    def case(self, request):
        """The case the test is named for, with the files the table says it
        needs."""
        rows = {row.name: row for row in table()}
        found = Case(self.vm, rows[request.function.vm_case])
        found.present()
        return found

    def pytest_collection_modifyitems(self, session, config, items):
        rows = {row.name: row for row in table()}
        tests = {item.function.vm_case: item for item in items}
        unknown = sorted(set(tests) - set(rows))
        untested = sorted(set(rows) - set(tests))
        if unknown or untested:
            raise pytest.UsageError(f"the table of cases and the tests differ: tests of "
                                    f"{unknown or 'none'} without a row, rows "
                                    f"{untested or 'none'} without a test")
        items[:] = [tests[name] for name in rows if self.vm.wanted(name)]

    def pytest_runtest_setup(self, item):
        if item.function.vm_case.startswith("web-") and not self.browser_told:
            self.browser_told = True
            browser = self.vm.out / "web-browser"
            if (browser / "result").is_file():
                ms = re.search(r" ms=(\S*)", (browser / "result").read_text())
                print(f"vm-e2e: the browser started in the guest in {ms.group(1) if ms else ''} ms")
                broken = browser / "broken"
                if broken.is_file() and broken.stat().st_size:
                    print(f"vm-e2e: the browser: {broken.read_text().rstrip()}")

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        outcome = yield
        report = outcome.get_result()
        if report.when == "setup" and report.passed:
            return
        if report.when == "teardown" and report.passed:
            return
        case = item.funcargs.get("case") if hasattr(item, "funcargs") else None
        name = item.function.vm_case
        ms = case.ms if case else 0
        if report.passed:
            self.verdict(name, ms, None, case.notes)
        else:
            error = call.excinfo.value if call.excinfo else None
            if isinstance(error, Fail):
                self.verdict(name, ms, error.problem, error.details)
            else:
                self.verdict(name, ms, f"the check broke: {error!r}",
                             ["    " + line for line in str(report.longrepr).splitlines()[-6:]])
        if case:
            for why in case.retried():
                self.retried += 1
                print(f"vm-e2e: RETRIED {name} ({why})")

    def verdict(self, name, ms, problem, lines):
        seconds = f"{ms / 1000:.1f}"
        if problem is None:
            self.passed += 1
            print(f"vm-e2e: PASS {name:<13} guest {seconds:>5} s")
            for line in lines:
                print(line)
            return
        self.failed += 1
        print(f"vm-e2e: FAIL {name:<13} guest {seconds:>5} s  {problem}")
        for line in lines:
            print(line)
        folder = self.vm.out / name
        shown = sorted(folder.glob("*.log")) + [folder / "setup-error"]
        for path in shown:
            if path.is_file() and path.stat().st_size:
                for line in path.read_text(errors="replace").splitlines():
                    print(f"    {path.name}: {line}")

    def finish(self):
        if self.vm.pack_ratio:
            print(f"vm-e2e: guest time packed/unpacked: {self.vm.pack_ratio}")
        if self.vm.all_ratio:
            print(f"vm-e2e: guest time two units with --all / one alone: {self.vm.all_ratio}")
        if self.vm.boot:
            print(f"vm-e2e: the VM ran for {self.vm.boot} s, boot included")
        print(f"{self.passed} passed, {self.failed} failed, {self.retried} retried")
        self._tmp.cleanup()
