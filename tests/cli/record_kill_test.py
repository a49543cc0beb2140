#!/usr/bin/env python3
"""tovrix-flash's record file after SIGKILL: a station of four emulated
units (--emulate=fast --repeat --all) killed at many moments leaves a
record whose every line parses and that holds every unit whose event
standard output gave before the kill (the record is written first).
Usage: record_kill_test.py TOVRIX_FLASH IMAGE"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

flash, image = sys.argv[1], sys.argv[2]
failures = 0
with tempfile.TemporaryDirectory() as folder:
    for i, moment in enumerate([0.02, 0.05, 0.1, 0.2, 0.3, 0.45, 0.6, 0.8, 1.0, 1.3]):
        record = os.path.join(folder, f"record{i}.jsonl")
        out = os.path.join(folder, f"out{i}.json")
        with open(out, "wb") as stdout:
            station = subprocess.Popen([flash, "--emulate=fast", "--repeat", "--all", "--units", "4", "--json",
                                        "-q", "--record", record, image], stdout=stdout, stderr=subprocess.DEVNULL)
            time.sleep(moment)
            station.send_signal(signal.SIGKILL)
            station.wait()
        lines = open(record, "rb").read().decode().split("\n") if os.path.exists(record) else [""]
        if lines[-1] != "":
            print(f"{moment} s: the record ends in a torn line: {lines[-1]!r}")
            failures += 1
        kept = set(lines[:-1])
        for line in kept:
            if json.loads(line)["event"] != "unit":
                print(f"{moment} s: not a unit event: {line}")
                failures += 1
        told = [line for line in open(out, encoding="utf-8").read().split("\n")
                if line.startswith('{"event":"unit"')]
        missing = [line for line in told if line not in kept]
        if missing:
            print(f"{moment} s: {len(missing)} units told but not in the record, as {missing[0]}")
            failures += 1
        print(f"{moment} s: {len(kept)} units recorded, {len(told)} told")
sys.exit(1 if failures else 0)
