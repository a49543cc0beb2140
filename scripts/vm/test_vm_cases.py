"""Tests of what the VM's check stands on (scripts/vm/vm_cases.py), run
without a VM:

  /usr/bin/python3 -m pytest scripts/vm/test_vm_cases.py
"""
import ast
import re

import pytest

from vm_cases import (HERE, Case, Row, Run, events, failure_reasons, logs, overlapping, same, screen, table, unit_events,
                      unported, unwine)

UNIT = ('{"event":"unit","time":"2026-12-08T10:00:00.120+01:00","station":"line-4","count":1,'
        '"version":"1.2","port":"1-1","path":"/dev/hidraw0","sha256":"ab","result":"ok",'
        '"status":0,"seconds":1.5,"phases":{"erase":0.5,"write":1.0}}')
FAILED = UNIT.replace('"result":"ok"', '"result":"failed","code":"gone","reason":"r; retry"')


def test_every_row_has_one_test_and_every_test_a_row():
    tree = ast.parse((HERE / "test_cases.py").read_text())
    named = [d.args[0].value for f in tree.body if isinstance(f, ast.FunctionDef)
             for d in f.decorator_list if isinstance(d, ast.Call) and d.func.id == "vm_case"]
    assert sorted(named) == sorted(row.name for row in table())
    assert len(named) == len(set(named))


def test_every_row_the_guest_runs_names_a_case_function_of_init():
    init = (HERE / "init").read_text()
    for row in table():
        if row.run != "-":
            assert re.search(rf"^{row.run.split()[0]}\(\) {{", init, re.M), row.name
        assert "result" in row.files or row.run == "-", row.name


@pytest.mark.parametrize("transcript, shown", [
    ("log a\nlogpart b\nlogpart c\nlog d\nlog\nsend 01\n", "a\nbcd\n\n"),
    ("logpart (waiting) ... \n", ""),  # a part without its line end is not shown yet
])
def test_screen_joins_parts_to_their_line(transcript, shown):
    assert screen(transcript) == shown


@pytest.mark.parametrize("want, got, differs", [
    ("a\nb\n", "a\nb\n", None),
    ("a\nsend 01\nb\n", "a\nsend 02\nc\n",
     ["    < b", "    > c", "    differing send lines: 2"]),
])
def test_same_shows_lines_and_counts_sends(want, got, differs):
    assert same(want, got) == differs


def test_unwine_drops_wines_own_devices_and_carriage_returns():
    assert unwine("x\r\nFound USB device:  VID=845E, PID=1\r\ny\r\n") == "x\ny\n"


@pytest.mark.parametrize("line, told", [
    (UNIT, [("1-1", "ok", 0)]),
    (UNIT.replace('"sha256":"ab",', ""), [("1-1", "ok", 0)]),
    (UNIT.replace('"time":"2026-12-08T10:00:00.120+01:00"', '"time":"now"'), []),
    (UNIT.replace('.120+01:00', ''), []),  # no milliseconds or offset
    (UNIT.replace('"station":"line-4",', ''), []),
    (UNIT.replace('"count":1', '"count":"1"'), []),
    (UNIT.replace(',"phases":{"erase":0.5,"write":1.0}', ''), []),
    (FAILED, [("1-1", "failed", 0)]),
    (UNIT.replace('/dev/hidraw0', '/dev/sda'), []),
    (UNIT.replace('"status":0,"seconds":1.5', '"seconds":1.5,"status":0'), []),
])
def test_unit_events_take_only_their_form(line, told):
    assert unit_events(events(line)) == told


@pytest.mark.parametrize("line, told", [
    (FAILED, ["r; retry"]),
    (FAILED.replace('"code":"gone",', ''), []),  # a reason without its code
    (FAILED.replace('"code":"gone","reason":"r; retry"', '"reason":"r; retry","code":"gone"'), []),
    (UNIT, []),
])
def test_failure_reasons_follow_their_code(line, told):
    assert failure_reasons(events(line)) == told


def test_logs_by_port_and_unported_events():
    found = events('{"event":"log","text":"a"}\n{"event":"log","port":"1-1","text":"b"}\n'
                   '{"event":"device","path":"p","port":"1-1"}\n'
                   '{"event":"progress","port":null,"percent":1}\n')
    assert logs(found) == "a\n"
    assert logs(found, "1-1") == "b\n"
    assert unported(found) == ['{"event":"log","text":"a"}',
                               '{"event":"progress","port":null,"percent":1}']


@pytest.mark.parametrize("ports, together", [
    (["a", "b", "a", "b"], True),
    (["a", "a", "b", "b"], False),
    (["a", "a", "b"], False),
    (["a", "a"], False),
])
def test_overlapping_needs_two_ports_written_at_once(ports, together):
    found = [{"event": "progress", "port": p, "percent": i} for i, p in enumerate(ports)]
    assert overlapping(found) is together


def test_a_line_that_is_not_json_fails_the_case():
    with pytest.raises(Exception, match="not a JSON event"):
        events('{"event":"log"}\nInvalid\n')


def test_a_case_reads_another_cases_files_without_a_folder_of_its_own(tmp_path):
    (tmp_path / "update").mkdir()
    (tmp_path / "update" / "result").write_text("@@tovrix result update tool=0 unit=0 ms=5\n")
    case = Case(Run(out=tmp_path, emulate=tmp_path, image=tmp_path),
                Row("device-line", "-", ["../update/result"]))
    case.present()
    assert "ms=5" in case.text("../update/result")
