"""NeritEventViewer: iterator choice, show loop, handlers, follow mode, archive input, escaping."""

import gc
import gettext
import io
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tarfile
import textwrap
import time
import weakref
from datetime import date
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import given, settings, strategies as st

from nerit_record_console import _probe, _tar_refusals, record_console, record_layout, record_source

TODAY = date(2024, 3, 5)
LOG_MEMBER = "vantor/log/nerit/events"


class FixedDate(date):
    @classmethod
    def today(cls):
        return TODAY


def options(**overrides):
    """An option record with every attribute the viewer reads, all empty unless overridden."""
    values = dict(watch_file="/var/empty/events", priority=None, source=None, follow=False,
                  since=None, until=None, days_back=None, today=False, all=False, count=None,
                  format=None, more_info=False, raw=False, nocolor=False, iso_date=False)
    values.update(overrides)
    return SimpleNamespace(**values)


class Calls:
    """Shared record of what the stand-ins were asked to do, in order."""

    def __init__(self):
        self.log = []
        self.events = {}  # iterator kind -> list of events (or exceptions to raise) it yields


class StandIns:
    """Recording stand-ins for the iterators and the formatter, installed on the module."""

    def __init__(self, monkeypatch):
        self.calls = Calls()
        calls = self.calls

        def make_iterator(kind):
            class Recorder:
                def __init__(self, *args, **kwargs):
                    calls.log.append((kind, args, kwargs))
                    self.kind = kind
                    self.items = list(calls.events.get(kind, []))

                def set_priority_filter(self, value):
                    calls.log.append(("set_priority_filter", value))

                def set_source_filter(self, value):
                    calls.log.append(("set_source_filter", value))

                def __iter__(self):
                    return self

                def __next__(self):
                    if not self.items:
                        raise StopIteration
                    item = self.items.pop(0)
                    if isinstance(item, BaseException) or (
                            isinstance(item, type) and issubclass(item, BaseException)):
                        raise item
                    if callable(item):
                        return item()
                    return item

            Recorder.__name__ = kind
            return Recorder

        class Formatter:
            def __init__(self, *args, **kwargs):
                calls.log.append(("NeritEventFormatter", args, kwargs))

            def format_event(self, event):
                calls.log.append(("format_event", event))
                if isinstance(event, dict) and "fail" in event:
                    raise event["fail"]
                return f"text {event.get('n') if isinstance(event, dict) else event}"

        for kind in ("NeritTimeRangeEventIterator", "NeritAllEventsIterator",
                     "NeritRecentEventIterator", "NeritNewEventIterator"):
            monkeypatch.setattr(record_console, kind, make_iterator(kind))
        monkeypatch.setattr(record_console, "NeritEventFormatter", Formatter)
        monkeypatch.setattr(record_console, "date", FixedDate)

    def constructed(self):
        return [entry for entry in self.calls.log if entry[0].startswith("Nerit")
                and entry[0] != "NeritEventFormatter"]

    def formatted(self):
        return [entry[1] for entry in self.calls.log if entry[0] == "format_event"]


class ExitCalled(Exception):
    pass


@pytest.fixture
def stand_ins(monkeypatch):
    return StandIns(monkeypatch)


@pytest.fixture
def exits(monkeypatch):
    """Records sys.exit statuses; the stand-in raises SystemExit like the real one."""
    statuses = []

    def exit(status):
        statuses.append(status)
        raise SystemExit(status)

    monkeypatch.setattr(record_console.sys, "exit", exit)
    return statuses


@pytest.fixture
def removals(monkeypatch):
    """Records shutil.rmtree calls without removing anything."""
    removed = []
    monkeypatch.setattr(record_console.shutil, "rmtree", lambda path: removed.append(path))
    return removed


# ----------------------------------------------------------------------------- module and type


def test_module_exposes_host_facilities_and_classes():
    import datetime, pathlib, shutil, sys
    from nerit_record_console import record_layout, record_source
    assert record_console.gettext is gettext and record_console.shutil is shutil
    assert record_console.sys is sys and record_console.tarfile is tarfile
    assert record_console.time is time
    assert record_console.date is datetime.date and record_console.timedelta is datetime.timedelta
    assert record_console.Path is pathlib.Path
    assert record_console.NeritEventFormatter is record_layout.NeritEventFormatter
    for name in ("NeritRecentEventIterator", "NeritNewEventIterator",
                 "NeritTimeRangeEventIterator", "NeritAllEventsIterator"):
        assert getattr(record_console, name) is getattr(record_source, name)
    assert record_console._ is gettext.gettext


def test_module_binds_its_message_domain():
    assert gettext.textdomain() == "nerit_record_console"
    assert gettext.bindtextdomain("nerit_record_console") == "/usr/share/locale"


def test_viewer_is_an_ordinary_class(stand_ins, tmp_path):
    viewer_class = record_console.NeritEventViewer
    assert {"show_events", "_NeritEventViewer__setup_filters",
            "_NeritEventViewer__extract_events_from_archive",
            "_NeritEventViewer__clean_temp_files",
            "_NeritEventViewer__follow_events"} <= set(vars(viewer_class))

    class Sub(viewer_class):
        def show_events(self):
            return "overridden"

    viewer = Sub(options(watch_file=str(tmp_path / "events")))
    assert viewer.show_events() == "overridden"
    assert viewer._NeritEventViewer__is_path_archive is False
    with pytest.raises(AttributeError):
        viewer._NeritEventViewer__is_path_archive = True
    viewer.extra = 1
    assert gc.is_tracked(viewer)
    ref = weakref.ref(viewer)
    del viewer
    gc.collect()
    assert ref() is None


# ----------------------------------------------------------------------------- construction


@pytest.mark.parametrize("overrides, expected", [
    ({}, ("NeritTimeRangeEventIterator", (), {"date_since": "2024-03-05"})),
    ({"since": "2024-01-01"}, ("NeritTimeRangeEventIterator", ("2024-01-01", None), {})),
    ({"until": "2024-02-01"}, ("NeritTimeRangeEventIterator", (None, "2024-02-01"), {})),
    ({"since": "a", "until": "b", "days_back": 3, "today": True, "all": True, "count": 4},
     ("NeritTimeRangeEventIterator", ("a", "b"), {})),
    ({"since": "", "until": "", "days_back": 3},
     ("NeritTimeRangeEventIterator", (), {"date_since": "2024-03-02"})),
    ({"days_back": 3, "today": True, "all": True, "count": 4},
     ("NeritTimeRangeEventIterator", (), {"date_since": "2024-03-02"})),
    ({"days_back": -2}, ("NeritTimeRangeEventIterator", (), {"date_since": "2024-03-07"})),
    ({"days_back": 0}, ("NeritTimeRangeEventIterator", (), {"date_since": "2024-03-05"})),
    ({"today": True, "all": True, "count": 4},
     ("NeritTimeRangeEventIterator", (), {"date_since": "2024-03-05"})),
    ({"all": True, "count": 4}, ("NeritAllEventsIterator", (), {})),
    ({"count": 4}, ("NeritRecentEventIterator", (4,), {})),
    ({"count": -1}, ("NeritRecentEventIterator", (-1,), {})),
    ({"count": 0}, ("NeritTimeRangeEventIterator", (), {"date_since": "2024-03-05"})),
])
def test_first_matching_rule_chooses_the_iterator(stand_ins, overrides, expected):
    viewer = record_console.NeritEventViewer(options(**overrides))
    kind, extra_args, kwargs = expected
    path = Path("/var/empty/events")
    assert stand_ins.constructed() == [(kind, (path, *extra_args), kwargs)]
    assert viewer._NeritEventViewer__iterator.kind == kind


@pytest.mark.parametrize("priority, source, expected", [
    (None, None, []),
    ([], set(), []),
    (["err"], None, [("set_priority_filter", ["err"])]),
    (None, ["audit"], [("set_source_filter", ["audit"])]),
    (["err", "crit"], ["au", "net"],
     [("set_priority_filter", ["err", "crit"]), ("set_source_filter", ["au", "net"])]),
])
def test_filters_are_handed_over_only_when_not_empty(stand_ins, priority, source, expected):
    viewer = record_console.NeritEventViewer(options(priority=priority, source=source))
    setters = [entry for entry in stand_ins.calls.log if entry[0].startswith("set_")]
    assert setters == expected
    assert viewer._NeritEventViewer__priority_filter is priority
    assert viewer._NeritEventViewer__source_filter is source


def test_construction_stores_fields_and_builds_formatter_by_keyword(stand_ins):
    expression = "%PRIORITY"
    viewer = record_console.NeritEventViewer(options(
        watch_file="/var/empty/x.log", follow=1, format=expression, more_info=True, raw=0,
        nocolor="yes", iso_date=True))
    fields = vars(viewer)
    assert fields["_NeritEventViewer__file_path"] == Path("/var/empty/x.log")
    assert fields["_NeritEventViewer__temp_dir"] is None
    assert fields["_NeritEventViewer__follow"] == 1
    formatter_calls = [e for e in stand_ins.calls.log if e[0] == "NeritEventFormatter"]
    assert formatter_calls == [("NeritEventFormatter", (), {
        "format_expression": expression, "is_detailed": True, "is_raw": 0,
        "no_color": "yes", "use_iso_date": True})]
    assert isinstance(fields["_NeritEventViewer__formatter"], record_console.NeritEventFormatter)


def test_missing_option_attribute_fails_construction(stand_ins):
    record = options()
    del record.nocolor
    with pytest.raises(AttributeError, match="nocolor"):
        record_console.NeritEventViewer(record)


def test_construction_errors_propagate(stand_ins, monkeypatch):
    def refuse(*args, **kwargs):
        raise FileNotFoundError(2, "No such file or directory")
    monkeypatch.setattr(record_console, "NeritAllEventsIterator", refuse)
    with pytest.raises(FileNotFoundError):
        record_console.NeritEventViewer(options(all=True))


# ----------------------------------------------------------------------------- show loop


def test_show_events_prints_each_event_before_drawing_the_next(stand_ins, capsys):
    seen_before_second = []

    def second():
        seen_before_second.append(capsys.readouterr().out)
        return {"n": 2}

    stand_ins.calls.events["NeritAllEventsIterator"] = [{"n": 1}, second]
    viewer = record_console.NeritEventViewer(options(all=True))
    assert viewer.show_events() is None
    assert seen_before_second == ["text 1\n"]
    assert capsys.readouterr().out == "text 2\n"


def test_show_events_writes_to_sys_stdout_of_the_moment(stand_ins, monkeypatch):
    stand_ins.calls.events["NeritAllEventsIterator"] = [{"n": 1}, {"n": 2}]
    viewer = record_console.NeritEventViewer(options(all=True))
    sink = io.StringIO()
    monkeypatch.setattr(record_console.sys, "stdout", sink)
    viewer.show_events()
    assert sink.getvalue() == "text 1\ntext 2\n"


@pytest.mark.parametrize("where", ["module", "builtins"])
def test_replaced_print_is_called(stand_ins, monkeypatch, where):
    printed = []
    import builtins
    target = record_console if where == "module" else builtins
    monkeypatch.setattr(target, "print", lambda *args: printed.append(args), raising=False)
    stand_ins.calls.events["NeritAllEventsIterator"] = [{"n": 1}]
    record_console.NeritEventViewer(options(all=True)).show_events()
    assert printed == [("text 1",)]


@pytest.mark.parametrize("fast_paths", [True, False])
def test_both_print_paths_write_the_same_text(stand_ins, monkeypatch, capsys, fast_paths):
    monkeypatch.setattr(record_console, "_fast_paths", fast_paths)
    stand_ins.calls.events["NeritAllEventsIterator"] = [{"n": "ü\u20ac"}, {"n": 2}]
    record_console.NeritEventViewer(options(all=True)).show_events()
    assert capsys.readouterr().out == "text ü\u20ac\ntext 2\n"


@pytest.mark.parametrize("error, message", [
    (FileNotFoundError(2, "gone"), "No such file"),
    (tarfile.ReadError("bad"), "Unpacking failed: Unsupported format or corrupted file"),
    (ValueError("month must be in 1..12"), "Invalid date format: month must be in 1..12"),
    (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
     "Invalid date format: 'utf-8' codec can't decode byte 0xff in position 0: "
     "invalid start byte"),
])
@pytest.mark.parametrize("raised_by", ["iterator", "formatter"])
def test_handled_errors_print_a_message_and_exit_1(stand_ins, capsys, exits, removals, error,
                                                   message, raised_by):
    item = error if raised_by == "iterator" else {"fail": error}
    stand_ins.calls.events["NeritAllEventsIterator"] = [{"n": 1}, item, {"n": 3}]
    viewer = record_console.NeritEventViewer(options(all=True))
    with pytest.raises(SystemExit) as ended:
        viewer.show_events()
    assert ended.value.code == 1 and exits == [1]
    assert capsys.readouterr() == (f"text 1\n{message}\n", "")


def test_messages_are_translated_when_printed(stand_ins, capsys, exits, monkeypatch):
    monkeypatch.setattr(record_console, "_", lambda text: f"<{text}>")
    stand_ins.calls.events["NeritAllEventsIterator"] = [ValueError("x")]
    with pytest.raises(SystemExit):
        record_console.NeritEventViewer(options(all=True)).show_events()
    assert capsys.readouterr().out == "<Invalid date format>: x\n"


@pytest.mark.parametrize("error", [KeyError("MSG"), KeyboardInterrupt(), OSError("disk")])
def test_other_errors_propagate_after_clean_up(stand_ins, capsys, removals, error):
    stand_ins.calls.events["NeritAllEventsIterator"] = [error]
    viewer = record_console.NeritEventViewer(options(all=True))
    viewer._NeritEventViewer__temp_dir = Path("/tmp/tmp-not-real")
    with pytest.raises(type(error)):
        viewer.show_events()
    assert removals == [Path("/tmp/tmp-not-real")]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("ending", ["normal", "handled", "unhandled", "follow-interrupt"])
def test_temporary_directory_is_removed_in_every_case(stand_ins, exits, removals, ending):
    events = {"normal": [], "handled": [ValueError("x")], "unhandled": [KeyError("x")],
              "follow-interrupt": []}[ending]
    stand_ins.calls.events["NeritAllEventsIterator"] = events
    stand_ins.calls.events["NeritNewEventIterator"] = [KeyboardInterrupt()]
    viewer = record_console.NeritEventViewer(options(all=True, follow=ending == "follow-interrupt"))
    viewer._NeritEventViewer__temp_dir = Path("/tmp/tmp-not-real")
    try:
        viewer.show_events()
    except (SystemExit, KeyError):
        pass
    assert removals == [Path("/tmp/tmp-not-real")]


@pytest.mark.parametrize("pending, expected_exits", [
    ([], [1]),
    ([ValueError("x")], [1, 1]),
    ([KeyError("x")], [1]),
])
def test_permission_denied_on_clean_up_replaces_the_outcome(stand_ins, capsys, exits,
                                                            monkeypatch, pending, expected_exits):
    def refuse(path):
        raise PermissionError(13, "Permission denied")
    monkeypatch.setattr(record_console.shutil, "rmtree", refuse)
    stand_ins.calls.events["NeritAllEventsIterator"] = pending
    viewer = record_console.NeritEventViewer(options(all=True))
    viewer._NeritEventViewer__temp_dir = Path("/tmp/tmp12.5")
    with pytest.raises(SystemExit) as ended:
        viewer.show_events()
    assert ended.value.code == 1 and exits == expected_exits
    assert capsys.readouterr().out.splitlines()[-1] == \
        "Error: The temp folder '/tmp/tmp12.5' was not removed. Permission denied."


def test_other_clean_up_error_replaces_the_pending_exit(stand_ins, exits, monkeypatch):
    def broken(path):
        raise OSError(39, "Directory not empty")
    monkeypatch.setattr(record_console.shutil, "rmtree", broken)
    stand_ins.calls.events["NeritAllEventsIterator"] = [ValueError("x")]
    viewer = record_console.NeritEventViewer(options(all=True))
    viewer._NeritEventViewer__temp_dir = Path("/tmp/tmp-not-real")
    with pytest.raises(OSError, match="not empty") as raised:
        viewer.show_events()
    assert isinstance(raised.value.__context__, SystemExit)


def test_plain_input_removes_nothing(stand_ins, removals):
    record_console.NeritEventViewer(options(all=True)).show_events()
    assert removals == []


# ----------------------------------------------------------------------------- follow mode


def test_follow_mode_prints_new_events_and_exits_0_on_interrupt(stand_ins, capsys, exits):
    stand_ins.calls.events["NeritRecentEventIterator"] = [{"n": 1}]
    stand_ins.calls.events["NeritNewEventIterator"] = [{"n": 2}, StopIteration, {"n": 3},
                                                       KeyboardInterrupt()]
    viewer = record_console.NeritEventViewer(
        options(count=5, follow=True, priority=["err"], source=["audit"]))
    with pytest.raises(SystemExit) as ended:
        viewer.show_events()
    assert ended.value.code == 0 and exits == [0]
    assert capsys.readouterr() == ("text 1\ntext 2\ntext 3\n", "")
    log = [entry[0] for entry in stand_ins.calls.log if entry[0] != "format_event"]
    assert log == ["NeritRecentEventIterator", "set_priority_filter", "set_source_filter",
                   "NeritEventFormatter", "NeritNewEventIterator", "set_priority_filter",
                   "set_source_filter"]
    new_iterator = [e for e in stand_ins.calls.log if e[0] == "NeritNewEventIterator"][0]
    assert new_iterator[1:] == ((Path("/var/empty/events"),), {})
    assert viewer._NeritEventViewer__iterator.kind == "NeritNewEventIterator"


def test_follow_mode_errors_go_through_the_show_handlers(stand_ins, capsys, exits, monkeypatch):
    def missing(path):
        raise FileNotFoundError(2, "No such file or directory")
    monkeypatch.setattr(record_console, "NeritNewEventIterator", missing)
    viewer = record_console.NeritEventViewer(options(all=True, follow=True))
    with pytest.raises(SystemExit) as ended:
        viewer.show_events()
    assert ended.value.code == 1
    assert capsys.readouterr().out == "No such file\n"


def test_interrupt_during_first_pass_propagates(stand_ins, exits):
    stand_ins.calls.events["NeritAllEventsIterator"] = [KeyboardInterrupt()]
    viewer = record_console.NeritEventViewer(options(all=True, follow=True))
    with pytest.raises(KeyboardInterrupt):
        viewer.show_events()
    assert exits == []


def log_event(moment, name, name_ru="Вход"):
    fields = {"type_ru": "Аудит", "type_en": "Audit", "name_ru": name_ru, "name_en": name}
    return (json.dumps({"ISODATE": moment, "PRIORITY": "info", "MSG": {"nerit-audit": fields}},
                       ensure_ascii=False, separators=(",", ":")) + "\n").encode()


def test_today_shows_every_event_of_today_whatever_bytes_yesterday_holds(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(record_console, "date", FixedDate)
    rows = []
    for hour in range(12):
        row = log_event(f"2024-03-04T{hour:02d}:00:00", f"yesterday {hour}")
        rows.append(row.replace("Вход".encode(), b"\xd0\x92\xff") if hour % 3 == 0 else row)
    rows.append(b"\xfe" + log_event("2024-03-06T00:00:00", "tomorrow, undecodable"))
    rows += [log_event(f"2024-03-05T{hour:02d}:00:00", f"today {hour}") for hour in range(5)]
    path = tmp_path / "events"
    path.write_bytes(b"".join(rows))
    for host_paths in (False, True):
        monkeypatch.setattr(record_source, "_fast_paths", not host_paths)
        viewer = record_console.NeritEventViewer(
            options(watch_file=str(path), today=True, format="%name_en", nocolor=True))
        viewer.show_events()
        assert capsys.readouterr().out == "".join(f"today {hour}\n" for hour in range(5))


FAST_POLLING_FRONT = """
import sys, time
sleep = time.sleep
time.sleep = lambda seconds: sleep(seconds / 20)  # follow mode polls every 50 ms
from nerit_record_console import cli
sys.exit(cli.main())
"""


class Logger:
    """Appends events the way a logging service does, through a file it keeps open."""

    def __init__(self, path):
        self.path, self.count = path, 0
        self.out = open(path, "ab", buffering=0)

    def events(self, how_many, torn=False):
        for _ in range(how_many):
            row = log_event("2024-03-05T00:00:00", str(self.count))
            if torn and self.count % 3 == 0:
                cut = row.index("Вход".encode()) + 1  # inside a character
                self.out.write(row[:cut])
                time.sleep(0.02)
                row = row[cut:]
            self.out.write(row)
            self.count += 1

    def reopen(self):
        self.out.close()
        self.out = open(self.path, "ab", buffering=0)


class Printed:
    """The lines a process prints, gathered as they come."""

    def __init__(self, stream):
        import threading
        self.lines = []
        self.thread = threading.Thread(target=self.gather, args=(stream,), daemon=True)
        self.thread.start()

    def gather(self, stream):
        for line in stream:
            self.lines.append(line.decode().rstrip("\n"))

    def numbers(self):
        return [int(line) for line in list(self.lines) if line.isdigit()]

    def wait_for(self, test, seconds=15):
        deadline = time.monotonic() + seconds
        while not test() and time.monotonic() < deadline:
            time.sleep(0.02)
        return test()


@pytest.mark.parametrize("host_paths", ["0", "1"], ids=["fast", "host"])
def test_follow_mode_loses_and_repeats_nothing_while_the_log_is_rotated_cut_and_removed(
        tmp_path, host_paths):
    path = tmp_path / "events"
    path.write_bytes(b"")
    environment = {**os.environ, "NERIT_HOST_PATHS": host_paths, "LC_ALL": "C.UTF-8",
                   "LANGUAGE": "en", "PYTHONUNBUFFERED": "1"}
    process = subprocess.Popen(
        [sys.executable, "-c", FAST_POLLING_FRONT, "-f", "-S", "2099-01-01", "-F", "%name_en",
         str(path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment,
        # Ctrl-C ends the viewer only where SIGINT was not ignored when it started (a suite run
        # in the background of a shell ignores it).
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    printed = Printed(process.stdout)
    logger = Logger(path)
    try:
        # Follow mode starts at the end the file has when it begins: mark until a mark shows.
        marks = 0
        while not printed.lines and marks < 100:
            logger.out.write(log_event("2024-03-05T00:00:00", f"mark {marks}"))
            marks += 1
            printed.wait_for(lambda: printed.lines, 0.1)
        logger.events(200, torn=True)
        # Rotation: the logger writes a little more into the moved file, then opens a new one.
        path.rename(tmp_path / "events.1")
        logger.events(20)
        logger.reopen()
        logger.events(100, torn=True)
        assert printed.wait_for(lambda: len(printed.numbers()) == logger.count)
        # Copy and truncate: the logger goes on appending to the same, now empty, file.
        with open(path, "r+b") as cut:
            cut.truncate(0)
        logger.events(20)
        assert printed.wait_for(lambda: len(printed.numbers()) == logger.count)
        logger.events(100)
        # Removal: more lines reach the removed file; the path is missing for a while.
        path.unlink()
        logger.events(20)
        time.sleep(0.3)
        logger.reopen()
        logger.events(100, torn=True)
        assert printed.wait_for(lambda: len(printed.numbers()) >= logger.count)
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=10) == 0
    finally:
        logger.out.close()
        process.kill()
        process.wait()
    printed.thread.join(timeout=5)
    assert printed.numbers() == list(range(logger.count))
    assert process.stderr.read() == b""


# ----------------------------------------------------------------------------- archive input

HAS_FILTERS = hasattr(tarfile, "data_filter")
MARGIN = 64 << 20  # free space that unpacking leaves untouched


@pytest.fixture
def free_space(monkeypatch):
    """Replaces shutil.disk_usage: the free space it reports, and the paths it was asked about."""
    state = SimpleNamespace(free=1 << 40, asked=[])

    def disk_usage(path):
        state.asked.append(Path(path))
        return shutil._ntuple_diskusage(state.free * 2, state.free, state.free)

    monkeypatch.setattr(record_console.shutil, "disk_usage", disk_usage)
    return state


def write_log(path, lines=('{"n": 1}',)):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(line + "\n" for line in lines))


def report_archive(tmp_path, name="report.tar.xz", top="sosreport-host-2024", extra=()):
    tree = tmp_path / "tree"
    write_log(tree / top / LOG_MEMBER)
    (tree / top / "other.txt").write_text("not read")
    archive = tmp_path / name
    mode = {"xz": "w:xz", "gz": "w:gz", "tgz": "w:gz", "bz2": "w:bz2"}.get(
        name.rsplit(".", 1)[-1], "w")
    with tarfile.open(archive, mode) as tar:
        tar.add(tree / top, arcname=top)
        for info, data in extra:
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
    return archive


@pytest.mark.parametrize("name, expected", [
    ("events", False), ("events.log", False), ("report.TGZ", False), ("report.tar.zst", False),
    (".tar", False), ("report.", False),
    ("report.tar.xz", True), ("report.tgz", True), ("report.gz", True), ("r.zip", True),
    ("r.tar", True), ("r.bz2", True), ("r.rar", True), ("r.7z", True), ("a.b/r.xz", True),
])
def test_archive_is_recognised_by_its_last_suffix(stand_ins, monkeypatch, name, expected):
    monkeypatch.setattr(record_console.NeritEventViewer,
                        "_NeritEventViewer__extract_events_from_archive", lambda self: None)
    viewer = record_console.NeritEventViewer(options(watch_file=name, all=True))
    assert viewer._NeritEventViewer__is_path_archive is expected
    assert (viewer._NeritEventViewer__temp_dir is not None) is expected


@pytest.mark.parametrize("name", ["report.tar", "report.tgz", "report.tar.gz", "report.tar.xz",
                                  "report.tar.bz2"])
def test_report_archive_event_log_is_unpacked_privately(stand_ins, engine_tarfile, free_space,
                                                        tmp_path, viewer_clock, name,
                                                        monkeypatch):
    opened = []
    real_open = record_console.tarfile.open

    def recording_open(*args, **kwargs):
        opened.append((args, kwargs, real_open(*args, **kwargs)))
        return opened[-1][2]

    archive = report_archive(tmp_path, name)
    monkeypatch.setattr(record_console.tarfile, "open", recording_open)
    viewer = record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
    temp_dir = viewer._NeritEventViewer__temp_dir
    try:
        assert re.fullmatch(r"/tmp/tmp\d+\.\d+", str(temp_dir))
        assert stat.S_IMODE(temp_dir.stat().st_mode) == 0o700
        expected = temp_dir / "sosreport-host-2024" / LOG_MEMBER
        assert viewer._NeritEventViewer__file_path == expected
        assert stand_ins.constructed() == [("NeritAllEventsIterator", (expected,), {})]
        assert [p for p in temp_dir.rglob("*") if p.is_file()] == [expected]
        assert opened[0][:2] == ((Path(archive), "r:*"), {}) and opened[0][2].closed
        (extracted,) = engine_tarfile.extracts
        assert extracted["member"].name == "sosreport-host-2024/" + LOG_MEMBER
        assert extracted["path"] == temp_dir
        # The data filter where tarfile has it; else no owner, mode or time from the archive.
        assert extracted.get("filter") == ("data" if engine_tarfile.filters else None)
        assert extracted["set_attrs"] is engine_tarfile.filters
        assert free_space.asked == [temp_dir]
    finally:
        viewer.show_events()
    assert not temp_dir.exists()
    assert viewer_clock.left_behind() == set()


def test_unpacked_copy_is_the_readers_plain_file(stand_ins, engine_tarfile, tmp_path,
                                                 viewer_clock):
    # Stored set-user-id, unreadable and someone else's: the copy is the reader's own, readable
    # by its owner, without a set-id bit.
    log = member("D/" + LOG_MEMBER, size=len(b'{"n": 7}\n'))
    log.mode, log.uid, log.gid = 0o4000, 4242, 4242
    archive = hostile_archive(tmp_path, [member("D", tarfile.DIRTYPE), log],
                              data=b'{"n": 7}\n')
    viewer = record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
    copy = viewer._NeritEventViewer__file_path
    try:
        mode = copy.stat().st_mode
        assert mode & 0o7000 == 0 and mode & 0o600 == 0o600
        assert copy.stat().st_uid == os.geteuid()
        assert copy.read_text() == '{"n": 7}\n'
    finally:
        viewer.show_events()
    assert viewer_clock.left_behind() == set()


def member(name, kind=tarfile.REGTYPE, linkname="", size=0):
    info = tarfile.TarInfo(name)
    info.type, info.linkname, info.size = kind, linkname, size
    return info


HOSTILE = {
    "absolute": ([member("/tmp/escape-top", tarfile.DIRTYPE),
                  member("/tmp/escape-top/" + LOG_MEMBER, size=3)], "AbsolutePathError",
                 "member '/tmp/escape-top/vantor/log/nerit/events' has an absolute path"),
    "dotdot": ([member("../escape-top", tarfile.DIRTYPE),
                member("../escape-top/" + LOG_MEMBER, size=3)], "OutsideDestinationError",
               f"'../escape-top/vantor/log/nerit/events' would be extracted to "
               f"'{Path('/tmp').resolve()}/escape-top/vantor/log/nerit/events', "
               f"which is outside the destination"),
    "symlink": ([member("D", tarfile.DIRTYPE),
                 member("D/" + LOG_MEMBER, tarfile.SYMTYPE, "/etc/passwd")],
                "SpecialFileError", "'D/vantor/log/nerit/events' is a special file"),
    "hardlink": ([member("D", tarfile.DIRTYPE),
                  member("D/" + LOG_MEMBER, tarfile.LNKTYPE, "/etc/passwd")],
                 "SpecialFileError", "'D/vantor/log/nerit/events' is a special file"),
    "device": ([member("D", tarfile.DIRTYPE), member("D/" + LOG_MEMBER, tarfile.CHRTYPE)],
               "SpecialFileError", "'D/vantor/log/nerit/events' is a special file"),
    "fifo": ([member("D", tarfile.DIRTYPE), member("D/" + LOG_MEMBER, tarfile.FIFOTYPE)],
             "SpecialFileError", "'D/vantor/log/nerit/events' is a special file"),
    "directory": ([member("D", tarfile.DIRTYPE), member("D/" + LOG_MEMBER, tarfile.DIRTYPE)],
                  "SpecialFileError", "'D/vantor/log/nerit/events' is a special file"),
}


def hostile_archive(tmp_path, members, name="hostile.tar", data=b"{}\n"):
    archive = tmp_path / name
    with tarfile.open(archive, "w") as tar:
        for info in members:
            tar.addfile(info, io.BytesIO(data[:info.size]) if info.isreg() else None)
    return archive


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_hostile_member_is_refused_and_nothing_is_left(stand_ins, engine_tarfile, tmp_path,
                                                       viewer_clock, case):
    members, error_name, text = HOSTILE[case]
    archive = hostile_archive(tmp_path, members)
    with pytest.raises(tarfile.TarError) as refused:
        record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
    assert type(refused.value) is getattr(engine_tarfile.refusals, error_name)
    assert str(refused.value) == text
    assert refused.value.tarinfo.name == members[-1].name
    assert engine_tarfile.extracts == []
    assert not Path("/tmp/escape-top").exists() and not (tmp_path.parent / "escape-top").exists()
    assert len(viewer_clock) == 1 and viewer_clock.left_behind() == set()
    assert stand_ins.constructed() == []


@pytest.mark.skipif(not HAS_FILTERS, reason="this interpreter's tarfile has no extraction filters")
@pytest.mark.parametrize("name, args", [
    ("AbsolutePathError", ()), ("OutsideDestinationError", ("/tmp/x/y",)),
    ("SpecialFileError", ()),
])
def test_own_refusals_read_as_tarfiles(name, args):
    info = member("D/it's")
    ours, theirs = getattr(_tar_refusals, name)(info, *args), getattr(tarfile, name)(info, *args)
    assert (str(ours), ours.args, ours.tarinfo) == (str(theirs), theirs.args, theirs.tarinfo)
    assert type(ours).__name__ == name and isinstance(ours, _tar_refusals.FilterError)
    assert issubclass(_tar_refusals.FilterError, tarfile.TarError)


@pytest.mark.parametrize("case, error", [
    ("no log", KeyError), ("top-level file first", KeyError), ("not a tar", tarfile.ReadError),
])
def test_failed_unpacking_removes_the_temporary_directory(stand_ins, engine_tarfile, tmp_path,
                                                          viewer_clock, case, error):
    if case == "no log":
        archive = hostile_archive(tmp_path, [member("D", tarfile.DIRTYPE)])
    elif case == "top-level file first":
        tree = tmp_path / "tree"
        write_log(tree / "D" / LOG_MEMBER)
        (tree / "README").write_text("x")
        archive = tmp_path / "first-file.tgz"
        with tarfile.open(archive, "w:gz") as tar:
            tar.add(tree / "README", arcname="README")
            tar.add(tree / "D", arcname="D")
    else:
        archive = tmp_path / "single.gz"
        import gzip
        archive.write_bytes(gzip.compress(b'{"n": 1}\n'))
    with pytest.raises(error):
        record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
    assert engine_tarfile.extracts == []
    assert viewer_clock.left_behind() == set()


@pytest.mark.parametrize("first, log_name", [
    (".", "./" + LOG_MEMBER),
    ("./D", "./D/" + LOG_MEMBER),
    ("D/sub", "D/sub/" + LOG_MEMBER),
    ("D\udcff", "D\udcff/" + LOG_MEMBER),  # a byte that is no UTF-8, as tarfile reads it
], ids=["dot", "dot-folder", "folder-path", "undecodable"])
def test_log_is_read_where_the_member_was_written(engine_tarfile, tmp_path, viewer_clock, capsys,
                                                  first, log_name):
    # tar writes "./" for "-C dir ." and "D/sub/" for a folder given by its path.
    content = b'{"PRIORITY": "info", "MSG": {"nerit-audit": {"name_en": "kept"}}}\n'
    members = [member(first, tarfile.DIRTYPE), member(log_name, size=len(content))]
    archive = hostile_archive(tmp_path, members, name="report.tar", data=content)
    viewer = record_console.NeritEventViewer(
        options(watch_file=str(archive), all=True, nocolor=True, format="%name_en"))
    temp_dir = viewer._NeritEventViewer__temp_dir
    assert viewer._NeritEventViewer__file_path == temp_dir / log_name
    assert viewer._NeritEventViewer__file_path.read_bytes() == content
    viewer.show_events()
    assert capsys.readouterr().out == "kept\n"
    assert viewer_clock.left_behind() == set()


def test_failure_after_unpacking_removes_the_temporary_directory(stand_ins, tmp_path,
                                                                 viewer_clock, monkeypatch):
    def bad_date(*args, **kwargs):
        raise ValueError("Unknown string format: someday")
    monkeypatch.setattr(record_console, "NeritTimeRangeEventIterator", bad_date)
    archive = report_archive(tmp_path, "report.tgz")
    with pytest.raises(ValueError):
        record_console.NeritEventViewer(options(watch_file=str(archive), since="someday"))
    assert viewer_clock.left_behind() == set()


def test_existing_temporary_directory_is_not_touched(stand_ins, tmp_path, monkeypatch):
    stamp = 1000000000.0 + os.getpid() + 0.5
    existing = Path(f"/tmp/tmp{stamp}")
    existing.mkdir()
    try:
        monkeypatch.setattr(record_console, "time", SimpleNamespace(time=lambda: stamp))
        archive = report_archive(tmp_path, "report.tar")
        with pytest.raises(FileExistsError):
            record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
        assert existing.is_dir()
    finally:
        existing.rmdir()


def test_temporary_directory_is_named_after_the_clock(stand_ins, tmp_path, monkeypatch):
    stamp = 1700000000.0 + os.getpid() + 0.125
    monkeypatch.setattr(record_console, "time", SimpleNamespace(time=lambda: stamp))
    viewer = record_console.NeritEventViewer(
        options(watch_file=str(report_archive(tmp_path, "r.tar")), all=True))
    try:
        assert viewer._NeritEventViewer__temp_dir == Path("/tmp") / f"tmp{stamp!r}"
    finally:
        viewer.show_events()


def test_empty_archive_is_read_as_the_event_file(stand_ins, tmp_path, viewer_clock):
    archive = tmp_path / "empty.tar"
    with tarfile.open(archive, "w"):
        pass
    viewer = record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
    assert viewer._NeritEventViewer__file_path == archive
    viewer.show_events()
    assert viewer_clock.left_behind() == set()


# ------------------------------------------------------- archive input: bounded unpacking


class Zeros:
    """A file of `size` zero bytes, read in pieces, never held whole."""

    def __init__(self, size):
        self.left = size

    def read(self, count=-1):
        count = self.left if count < 0 else min(count, self.left)
        self.left -= count
        return bytes(count)


def zeros_archive(tmp_path, size, name="bomb.tgz", sparse=None):
    """A compressed report whose event log declares `size` bytes of zeros; with `sparse`, a
    sparse log whose map (offset, length pairs) places `size` stored bytes."""
    log = member("D/" + LOG_MEMBER, size=size)
    if sparse is not None:
        pieces, real_size = sparse
        log.pax_headers = {"GNU.sparse.map": ",".join(f"{o},{n}" for o, n in pieces),
                           "GNU.sparse.size": str(real_size)}
    archive = tmp_path / name
    with tarfile.open(archive, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        tar.addfile(member("D", tarfile.DIRTYPE))
        tar.addfile(log, Zeros(size))
    return archive


def disk_use(directory):
    return sum(p.stat().st_blocks * 512 for p in Path(directory).rglob("*") if p.is_file())


@pytest.mark.parametrize("spare, refused", [(0, False), (-1, True)])
def test_compression_bomb_is_unpacked_only_within_the_free_space(stand_ins, engine_tarfile,
                                                                 free_space, tmp_path,
                                                                 viewer_clock, monkeypatch,
                                                                 spare, refused):
    size = 32 << 20  # of zeros, in a 32 KiB archive
    archive = zeros_archive(tmp_path, size)
    assert archive.stat().st_size < 64 << 10
    free_space.free = size + MARGIN + spare
    if not refused:
        viewer = record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
        copy = viewer._NeritEventViewer__file_path
        assert copy.stat().st_size == size and disk_use(copy.parent) <= size
        viewer.show_events()
    else:
        written = []
        monkeypatch.setattr(tarfile.TarFile, "makefile",
                            lambda self, info, target: written.append(target))
        with pytest.raises(_tar_refusals.MemberTooLargeError) as error:
            record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
        assert re.fullmatch(
            rf"'D/{LOG_MEMBER}' declares {size} bytes, more than the {size - 1} bytes free for "
            r"it in '/tmp/tmp[\d.]+' \(free space less a margin of 64 MiB\)", str(error.value))
        assert error.value.tarinfo.name == "D/" + LOG_MEMBER
        assert isinstance(error.value, _tar_refusals.FILTER_ERRORS)
        assert written == [] and engine_tarfile.extracts == [] and stand_ins.constructed() == []
    assert free_space.asked == [Path("/tmp") / f"tmp{viewer_clock[0]!r}"]
    assert viewer_clock.left_behind() == set()


def test_member_declaring_a_negative_size_is_refused(engine_tarfile, tmp_path, viewer_clock):
    # tarfile reads a pax size as given; copying "-5 bytes" would write almost 16 KiB.
    log = member("D/" + LOG_MEMBER)
    log.pax_headers = {"size": "-5"}
    archive = hostile_archive(tmp_path, [member("D", tarfile.DIRTYPE), log], name="neg.tar")
    with tarfile.open(archive) as tar:
        assert tar.getmember("D/" + LOG_MEMBER).size == -5
    with pytest.raises(_tar_refusals.MemberTooLargeError) as error:
        record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
    assert str(error.value) == f"'D/{LOG_MEMBER}' declares a negative size (-5 bytes)"
    assert engine_tarfile.extracts == [] and viewer_clock.left_behind() == set()


@pytest.mark.parametrize("pieces, real_size, refused", [
    ([(0, 512), (4096, 512)], 8192, False),            # holes within the size: unpacked
    ([(0, 512), (4096, 512), (8192, 0)], 8192, False),  # GNU tar's closing empty piece
    ([(0, 1 << 20), (1 << 20, 1 << 20), (2 << 20, 1 << 20)], 1, True),  # 3 MiB behind 1 byte
    ([(0, 4096), (0, 4096)], 4096, True),              # the same bytes written twice
    ([(4096, 512)], 1024, True),                       # a piece past the end
], ids=["holes", "closing-piece", "past-size", "overlap", "past-end"])
def test_sparse_member_writes_no_more_than_it_declares(engine_tarfile, free_space, tmp_path,
                                                       viewer_clock, pieces, real_size, refused):
    free_space.free = MARGIN + real_size
    archive = zeros_archive(tmp_path, sum(n for _, n in pieces), sparse=(pieces, real_size))
    with tarfile.open(archive) as tar:  # the map as tarfile reads it
        assert tar.getmember("D/" + LOG_MEMBER).sparse == pieces
    if refused:
        with pytest.raises(_tar_refusals.MemberTooLargeError) as error:
            record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
        assert str(error.value) == (f"'D/{LOG_MEMBER}' holds data past its declared size of "
                                    f"{real_size} bytes")
        assert engine_tarfile.extracts == []
    else:
        viewer = record_console.NeritEventViewer(options(watch_file=str(archive), all=True))
        copy = viewer._NeritEventViewer__file_path
        assert copy.read_bytes() == bytes(real_size)
        viewer.show_events()
    assert viewer_clock.left_behind() == set()


def test_unpacking_streams_the_member(tmp_path):
    # Unpacking a 96 MiB member must not hold it in memory: measured in a fresh process.
    size = 96 << 20
    archive = zeros_archive(tmp_path, size)
    script = textwrap.dedent(f"""
        import resource, types
        from nerit_record_console import record_console
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        options = types.SimpleNamespace(
            watch_file={str(archive)!r}, priority=None, source=None, follow=False, since=None,
            until=None, days_back=None, today=False, all=True, count=None, format=None,
            more_info=False, raw=False, nocolor=True, iso_date=False)
        viewer = record_console.NeritEventViewer(options)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(viewer._NeritEventViewer__file_path.stat().st_size, (after - before) * 1024)
        viewer.show_events()
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            check=True, timeout=60)
    unpacked, growth = map(int, result.stdout.split())
    assert unpacked == size and growth < 16 << 20


# ----------------------------------------------------------------------------- escaping


def reference_escape(text):
    return re.sub("[\x00-\x08\x0a-\x1f\x7f-\x9f]", lambda m: f"\\x{ord(m.group()):02x}", text)


CONTROL = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f]")
texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=40)
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | texts,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(texts, children, max_size=4),
    max_leaves=20)


@settings(max_examples=300, deadline=None)
@given(texts)
def test_probe_escapes_exactly_the_control_characters(text):
    escaped = _probe.escape_controls(text)
    assert escaped == reference_escape(text)
    assert not CONTROL.search(escaped)
    if not CONTROL.search(text):
        assert escaped is text


@pytest.mark.parametrize("text, expected", [
    ("\x1b[31mred", "\\x1b[31mred"), ("a\tb", "a\tb"), ("line\nbreak\r", "line\\x0abreak\\x0d"),
    ("\x7f\x80\x9f\xa0", "\\x7f\\x80\\x9f\xa0"), ("имя\x07", "имя\\x07"), ("😀\x00", "😀\\x00"),
])
def test_probe_escape_examples(text, expected):
    assert _probe.escape_controls(text) == expected


def escaped_like_reference(event):
    """Keys and texts escaped in the event, its message block and each member's mapping; every
    other list or mapping the very same object."""
    def mapping(value, level):
        escaped = {}
        for key, item in value.items():
            if isinstance(item, str):
                item = reference_escape(item)
            elif isinstance(item, dict) and (level == 1 or (level == 0 and key == "MSG")):
                item = mapping(item, level + 1)
            escaped[reference_escape(key)] = item
        return escaped
    return mapping(event, 0)


def printed_as_is(event):
    """The keys and texts that a layout prints as they are (the escaped levels)."""
    found = []
    for key, value in event.items():
        found.append(key)
        if isinstance(value, str):
            found.append(value)
        elif key == "MSG" and isinstance(value, dict):
            for member_key, fields in value.items():
                found.append(member_key)
                if isinstance(fields, str):
                    found.append(fields)
                elif isinstance(fields, dict):
                    for field_key, field in fields.items():
                        found += [field_key] + ([field] if isinstance(field, str) else [])
    return found


messages = st.dictionaries(texts, st.dictionaries(texts, json_values, max_size=4) | json_values,
                           max_size=3)
events = st.builds(lambda top, msg: {**top, **msg}, st.dictionaries(texts, json_values, max_size=6),
                   st.none().map(lambda _: {}) | messages.map(lambda m: {"MSG": m}))


@settings(max_examples=150, deadline=None)
@given(events)
def test_formatter_receives_escaped_keys_and_texts_only_where_printed_as_is(event):
    with pytest.MonkeyPatch.context() as monkeypatch:
        stand_ins = StandIns(monkeypatch)
        stand_ins.calls.events["NeritAllEventsIterator"] = [event]
        record_console.NeritEventViewer(options(all=True)).show_events()
    (received,) = stand_ins.formatted()
    expected = escaped_like_reference(event)
    assert received == expected and list(received) == list(expected)
    assert not any(CONTROL.search(text) for text in printed_as_is(received))
    if not any(CONTROL.search(text) for text in printed_as_is(event)):
        assert received is event
    # Lists, and mappings other than the message block and its members, are the same objects.
    for key, value in event.items():
        if isinstance(value, list) or (isinstance(value, dict) and key != "MSG"):
            assert received[reference_escape(key)] is value


def test_event_without_control_characters_is_handed_over_unchanged(stand_ins, capsys):
    event = {"PRIORITY": "err", "MSG": {"nerit-audit": {"name_en": "ok", "list": [1, "x"]}}}
    stand_ins.calls.events["NeritAllEventsIterator"] = [event]
    record_console.NeritEventViewer(options(all=True)).show_events()
    assert stand_ins.formatted()[0] is event


def test_escaping_keeps_key_order_and_leaves_the_original(stand_ins, capsys):
    inner = {"name_en": "a\x1b]0;title\x07", "type_en": "t", "deep": ["\x1b"]}
    event = {"ISODATE": "x", "PRI\x9bORITY": "err", "MSG": {"nerit-\naudit": inner}, "z": [1],
             "extra": {"k\x1b": "\x1b"}}
    stand_ins.calls.events["NeritAllEventsIterator"] = [event]
    record_console.NeritEventViewer(options(all=True)).show_events()
    received = stand_ins.formatted()[0]
    assert list(received) == ["ISODATE", "PRI\\x9bORITY", "MSG", "z", "extra"]
    assert received["MSG"] == {"nerit-\\x0aaudit": {"name_en": "a\\x1b]0;title\\x07",
                                                     "type_en": "t", "deep": ["\x1b"]}}
    assert received["MSG"]["nerit-\\x0aaudit"]["deep"] is inner["deep"]
    assert received["z"] is event["z"] and received["extra"] is event["extra"]
    assert event["MSG"]["nerit-\naudit"] is inner and inner["name_en"] == "a\x1b]0;title\x07"


@pytest.mark.parametrize("fast_paths", [True, False], ids=["native", "host"])
def test_values_that_are_not_text_print_their_own_escapes_once(tmp_path, capsys, monkeypatch,
                                                               fast_paths):
    for module in (record_console, record_layout, record_source):
        monkeypatch.setattr(module, "_fast_paths", fast_paths)
    event = {"PRIORITY": "info", "extra": ["a\u001b", 1], "map": {"k": "\u009b"},
             "MSG": {"nerit-audit": {"name_en": "n\u001b[2J", "list": ["\u0007"]}}}
    log = tmp_path / "events"
    log.write_text(json.dumps(event) + "\n")
    record_console.NeritEventViewer(options(watch_file=str(log), all=True, more_info=True,
                                            nocolor=True)).show_events()
    lines = capsys.readouterr().out.splitlines()
    assert lines == ["Priority: info",
                     "Extra:    ['a\\x1b', 1]",
                     "Map:      {'k': '\\x9b'}",
                     "Source:   audit",
                     "Name_en:  n\\x1b[2J",
                     "List:     ['\\x07']", ""]


BOUNDARY_UNITS = [0x00, 0x08, 0x09, 0x0A, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0x9F, 0xA0, 0xFF]
WIDE_UNITS = [0x109, 0x17F, 0x19F, 0x7F00, 0x8009, 0x807F, 0xFF1F, 0xFFFD, 0x1F600]


@pytest.mark.parametrize("filler", ["a", "é", "ж", "😀"])
def test_scanner_finds_each_control_at_every_position_and_length(filler):
    # Blocks of 16 bytes, the overlapping last block and the short tail all see every unit.
    units = BOUNDARY_UNITS + (WIDE_UNITS if ord(filler) > 0xFF else [])
    for length in range(1, 37):
        for position in range(length):
            for unit in units:
                text = filler * position + chr(unit) + filler * (length - position - 1)
                escaped = _probe.escape_controls(text)
                assert escaped == reference_escape(text), (length, position, hex(unit))
                if not CONTROL.search(text):
                    assert escaped is text


# ----------------------------------------------------------------------------- per-event look-ups
# The loop keeps what it looked up while nothing it depends on changed; a change made between two
# events must reach the very next one.


def swap_between_events(stand_ins, change):
    """Events 1 and 3, with `change()` run when the second is drawn (it then yields event 2)."""
    def second():
        change()
        return {"n": 2}
    stand_ins.calls.events["NeritAllEventsIterator"] = [{"n": 1}, second, {"n": 3}]
    return record_console.NeritEventViewer(options(all=True))


@pytest.mark.parametrize("fast_paths", [True, False])
def test_stdout_replaced_between_events_gets_the_next_line(stand_ins, monkeypatch, fast_paths):
    monkeypatch.setattr(record_console, "_fast_paths", fast_paths)
    first, second = io.StringIO(), io.StringIO()
    monkeypatch.setattr(record_console.sys, "stdout", first)
    viewer = swap_between_events(stand_ins, lambda: setattr(record_console.sys, "stdout", second))
    viewer.show_events()
    assert (first.getvalue(), second.getvalue()) == ("text 1\n", "text 2\ntext 3\n")


def test_sys_replaced_between_events_and_write_replaced_on_the_file(stand_ins, monkeypatch):
    first, lines = io.StringIO(), []
    monkeypatch.setattr(record_console.sys, "stdout", first)

    def change():
        sink = io.StringIO()
        sink.write = lines.append
        monkeypatch.setattr(record_console, "sys", SimpleNamespace(stdout=sink, exit=record_console.sys.exit))

    swap_between_events(stand_ins, change).show_events()
    assert first.getvalue() == "text 1\n"
    assert lines == ["text 2", "\n", "text 3", "\n"]


@pytest.mark.parametrize("where", ["module", "builtins"])
def test_print_replaced_between_events_is_called_from_the_next(stand_ins, monkeypatch, capsys,
                                                               where):
    import builtins
    printed = []
    target = record_console if where == "module" else builtins
    viewer = swap_between_events(stand_ins, lambda: monkeypatch.setattr(
        target, "print", lambda *args: printed.append(args), raising=False))
    viewer.show_events()
    assert capsys.readouterr().out == "text 1\n"
    assert printed == [("text 2",), ("text 3",)]


def test_formatter_replaced_between_events_formats_the_next(stand_ins, capsys):
    holder = {}

    def change():
        holder["viewer"]._NeritEventViewer__formatter = SimpleNamespace(
            format_event=lambda event: f"other {event['n']}")

    holder["viewer"] = viewer = swap_between_events(stand_ins, change)
    viewer.show_events()
    assert capsys.readouterr().out == "text 1\nother 2\nother 3\n"


def test_format_event_replaced_on_the_formatter_between_events(stand_ins, capsys):
    holder = {}

    def change():
        formatter = holder["viewer"]._NeritEventViewer__formatter
        formatter.format_event = lambda event: f"patched {event['n']}"

    holder["viewer"] = viewer = swap_between_events(stand_ins, change)
    viewer.show_events()
    assert capsys.readouterr().out == "text 1\npatched 2\npatched 3\n"
