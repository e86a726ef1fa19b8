"""Behaviour of nerit_record_console.record_source: the event iterators and their filters."""
import datetime as dt
import inspect
import json
import re
import time
import typing

import dateutil.parser
import pytest

from nerit_record_console import record_source as rs


def write(tmp_path, data, name="events"):
    path = tmp_path / name
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    return path


def line(**fields):
    return json.dumps(fields, ensure_ascii=False, separators=(",", ":"))


@pytest.fixture(params=[True, False], ids=["fast", "host"])
def paths(request, monkeypatch):
    monkeypatch.setattr(rs, "_fast_paths", request.param)
    return request.param


# --- module contents -------------------------------------------------------------------------


def test_module_exports_host_names_aliases_and_classes_in_order():
    names = [n for n in vars(rs) if not n.startswith("__")]
    assert names[:11] == ["json", "re", "time", "datetime", "Path", "Dict", "Union", "List",
                          "dateutil", "NeritEvent", "NeritEvents"]
    assert names[11:16] == ["NeritEventIterator", "NeritAllEventsIterator",
                            "NeritTimeRangeEventIterator", "NeritRecentEventIterator",
                            "NeritNewEventIterator"]
    assert rs.json is json and rs.re is re and rs.time is time and rs.datetime is dt.datetime
    assert rs.dateutil.parser is dateutil.parser
    Dict, Union, List = typing.Dict, typing.Union, typing.List
    assert rs.NeritEvent == Dict[str, Union[str, Dict[str, Dict[str, str]]]]
    assert rs.NeritEvents == List[rs.NeritEvent]


@pytest.mark.parametrize("cls, doc, params", [
    ("NeritEventIterator", "\n    A base class for event iterators.\n    ", ["event_file_path"]),
    ("NeritAllEventsIterator", "Iterate over all events.", ["event_file_path"]),
    ("NeritRecentEventIterator", "\n    Iterate over recent events.\n    ", ["event_file_path", "count"]),
    ("NeritNewEventIterator", "Iterate over events newly appended to the event file.", ["event_file_path"]),
    ("NeritTimeRangeEventIterator", "Iterate over events occurring within a specific time range.",
     ["event_file_path", "date_since", "date_until"]),
])
def test_class_docstrings_and_constructor_parameters(cls, doc, params):
    klass = getattr(rs, cls)
    assert klass.__doc__ == doc
    assert klass.__module__ == "nerit_record_console.record_source"
    assert list(inspect.signature(klass.__init__).parameters)[1:] == params
    assert issubclass(klass, rs.NeritEventIterator)


def test_private_members_are_stored_under_mangled_names():
    range_cls = rs.NeritTimeRangeEventIterator
    adjust = range_cls.__dict__["_NeritTimeRangeEventIterator__adjust_end_date"]
    assert isinstance(adjust, staticmethod)
    assert range_cls._NeritTimeRangeEventIterator__adjust_end_date.__doc__ == (
        "\n        If 'date_until' lacks a time, set it to 23:59:59 to include the full day's events.\n"
        "        :param date_until:\n        :return: Adjusted datetime object.\n        ")
    assert rs.NeritRecentEventIterator.__init__.__doc__ == (
        "\n        :param count: Number of the most recent events to iterate over.\n        ")
    assert "_find_positions" in rs.NeritRecentEventIterator.__dict__
    assert set(rs.NeritAllEventsIterator.__dict__) & {"__next__", "__init__"} == {"__next__"}


def test_adjust_end_date_is_a_static_method_as_a_class_body_makes_it():
    class Written:  # what the decorator makes of a function defined in a class body
        @staticmethod
        def __adjust_end_date(date_until):
            pass

    adjust = rs.NeritTimeRangeEventIterator.__dict__["_NeritTimeRangeEventIterator__adjust_end_date"]
    written = Written.__dict__["_Written__adjust_end_date"]
    function = adjust.__func__
    assert type(adjust) is type(written) is staticmethod
    assert adjust.__wrapped__ is function and written.__wrapped__ is written.__func__
    for name in ("__doc__", "__name__", "__qualname__", "__module__"):
        assert getattr(adjust, name) == getattr(function, name)
    assert function.__name__ == written.__name__ == "__adjust_end_date"
    assert function.__qualname__ == "NeritTimeRangeEventIterator.__adjust_end_date"
    assert function.__module__ == "nerit_record_console.record_source"
    assert adjust.__doc__.startswith("\n        If 'date_until' lacks a time")
    assert list(inspect.signature(adjust.__func__).parameters) == ["date_until"]


# --- construction and the base protocol -------------------------------------------------------


def test_base_constructor_sets_attributes_and_opens_the_file(tmp_path):
    path = write(tmp_path, "")
    it = rs.NeritEventIterator(event_file_path=path)
    assert list(vars(it)) == ["_file_path", "_file", "_NeritEventIterator__priority_filter",
                              "_NeritEventIterator__source_filter"]
    assert it._file_path is path and not it._file.closed and it._file.mode == "r"
    assert iter(it) is it and next(it) is None


@pytest.mark.parametrize("cls, extra", [("NeritAllEventsIterator", ()), ("NeritRecentEventIterator", (3,)),
                                         ("NeritNewEventIterator", ()), ("NeritTimeRangeEventIterator", ())])
def test_constructors_need_a_path_object_and_an_existing_file(tmp_path, cls, extra):
    with pytest.raises(AttributeError, match="'str' object has no attribute 'open'"):
        getattr(rs, cls)(str(write(tmp_path, "")), *extra)
    with pytest.raises(FileNotFoundError):
        getattr(rs, cls)(tmp_path / "missing", *extra)


@pytest.mark.parametrize("kwargs, name, got", [({"date_since": 5}, "date_since", "int"),
                                               ({"date_until": b"x"}, "date_until", "bytes")])
def test_time_range_rejects_non_text_bounds_before_opening(tmp_path, kwargs, name, got):
    with pytest.raises(TypeError) as info:
        rs.NeritTimeRangeEventIterator(tmp_path / "missing", **kwargs)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"


# --- all events -----------------------------------------------------------------------------


@pytest.mark.parametrize("content, expected", [
    ("", []),
    ("\n\nnot json\n{\"a\":\n", []),
    ('{"a":1}\n{"a":1}\n', [{"a": 1}, {"a": 1}]),
    ('{"a":1}\r\n{"b":2}\r{"c":3}', [{"a": 1}, {"b": 2}, {"c": 3}]),
    ('{"a":1}\n{"b":', [{"a": 1}]),
    ('5\n[1]\n"s"\n{"n":{"x":[1,2]}}\n', [5, [1], "s", {"n": {"x": [1, 2]}}]),
])
def test_all_events_yields_decodable_lines_in_order(tmp_path, paths, content, expected):
    it = rs.NeritAllEventsIterator(write(tmp_path, content))
    assert list(it) == expected
    assert it._file.closed
    with pytest.raises(ValueError, match="closed file"):
        next(it)


def test_filter_set_mid_iteration_applies_from_next_record(tmp_path, paths):
    content = "".join(line(PRIORITY=p) + "\n" for p in ["info", "err", "info", "err"])
    it = rs.NeritAllEventsIterator(write(tmp_path, content))
    assert next(it) == {"PRIORITY": "info"}
    it.set_priority_filter(["err"])
    assert list(it) == [{"PRIORITY": "err"}, {"PRIORITY": "err"}]


# --- filters -------------------------------------------------------------------------------


def make_filtered(tmp_path, priorities=(), sources=()):
    it = rs.NeritAllEventsIterator(write(tmp_path, ""))
    if priorities:
        it.set_priority_filter(list(priorities))
    if sources:
        it.set_source_filter(list(sources))
    return it


@pytest.mark.parametrize("event, accepted", [
    ({"PRIORITY": "err"}, True),
    ({"PRIORITY": "ERR"}, False),
    ({"PRIORITY": " err"}, False),
    ({"PRIORITY": "error"}, False),
    ({"PRIORITY": 3}, False),
])
def test_priority_filter_is_exact(tmp_path, event, accepted):
    assert make_filtered(tmp_path, priorities=["err", "err"])._filter_event(event) is accepted


@pytest.mark.parametrize("msg, accepted", [
    ({"kern": {}}, True), ({"kernel": {}}, True), ({"xkern": {}}, True), ({"xkernx": {}}, True),
    ({"KERN": {}}, False), ({"k-ern": {}}, False), ({"other": {}, "kern": {}}, False), ({}, False),
])
def test_source_filter_matches_inside_the_first_member_name(tmp_path, msg, accepted):
    assert make_filtered(tmp_path, sources=["kern"])._filter_event({"MSG": msg}) is accepted


def test_filters_pass_everything_when_empty_and_follow_setter_semantics(tmp_path):
    it = make_filtered(tmp_path)
    assert it._filter_event({}) is True
    it.set_source_filter("ab")
    assert it._NeritEventIterator__source_filter == {"a", "b"}
    with pytest.raises(TypeError):
        it.set_source_filter(None)
    assert it._NeritEventIterator__source_filter == {"a", "b"}
    it.set_source_filter([""])
    assert it._filter_event({"MSG": {"x": {}}}) is True
    it.set_source_filter([])
    assert it._filter_event(5) is True
    values = ["err"]
    it.set_priority_filter(priority_filter=values)
    values.append("info")
    assert it._filter_event({"PRIORITY": "info"}) is False


@pytest.mark.parametrize("priorities, sources, event, error", [
    (["err"], [], {}, KeyError),
    (["err"], ["k"], {"PRIORITY": "err"}, KeyError),
    ([], ["k"], {"MSG": "text"}, AttributeError),
    (["err"], [], {"PRIORITY": ["err"]}, TypeError),
    (["err"], [], [1, 2], TypeError),
    ([], ["k"], {"MSG": {1: {}}}, TypeError),
])
def test_filter_errors_come_from_the_host_operations(tmp_path, priorities, sources, event, error):
    with pytest.raises(error):
        make_filtered(tmp_path, priorities, sources)._filter_event(event)


def test_priority_rejection_skips_the_source_test(tmp_path):
    assert make_filtered(tmp_path, ["err"], ["k"])._filter_event({"PRIORITY": "info"}) is False


def test_filter_error_ends_iteration_but_json_errors_do_not(tmp_path, paths):
    content = "nope\n" + line(MSG={"k": {}}) + "\n"
    it = rs.NeritAllEventsIterator(write(tmp_path, content))
    it.set_priority_filter(["err"])
    with pytest.raises(KeyError, match="PRIORITY"):
        next(it)


# --- subclasses ----------------------------------------------------------------------------


def test_subclass_overrides_of_filter_hooks_are_called(tmp_path, paths):
    content = "".join(line(PRIORITY=p, MSG={s: {}}) + "\n" for p, s in
                      [("info", "a"), ("err", "b"), ("crit", "c")])
    calls = []

    class Mine(rs.NeritAllEventsIterator):
        def _filter_priority(self, event_dict):
            calls.append(("p", event_dict["PRIORITY"]))
            return event_dict["PRIORITY"] != "info"

        def _filter_source(self, event_dict):
            calls.append(("s", next(iter(event_dict["MSG"]))))
            return next(iter(event_dict["MSG"])) != "b"

    it = Mine(write(tmp_path, content))
    assert [e["PRIORITY"] for e in it] == ["crit"]
    assert calls == [("p", "info"), ("p", "err"), ("s", "b"), ("p", "crit"), ("s", "c")]


def test_filter_event_override_on_class_and_instance(tmp_path, paths):
    content = line(n=1) + "\n" + line(n=2) + "\n" + line(n=3) + "\n"

    class Odd(rs.NeritTimeRangeEventIterator):
        def _filter_event(self, event_dict):
            return event_dict["n"] % 2

    assert list(Odd(write(tmp_path, content.replace('{"n"', '{"DATE":"2020-01-01","n"')))) == [
        {"DATE": "2020-01-01", "n": 1}, {"DATE": "2020-01-01", "n": 3}]
    it = rs.NeritAllEventsIterator(write(tmp_path, content))
    it._filter_event = lambda event_dict: event_dict["n"] == 2
    assert list(it) == [{"n": 2}]


def test_subclass_next_override_and_own_constructor(tmp_path):
    class Counting(rs.NeritAllEventsIterator):
        def __init__(self, event_file_path, label):
            super().__init__(event_file_path)
            self.label = label

        def __next__(self):
            return {**super().__next__(), "label": self.label}

    it = Counting(write(tmp_path, '{"a":1}\n'), "x")
    assert next(it) == {"a": 1, "label": "x"}
    with pytest.raises(StopIteration):
        next(it)


# --- recent events -------------------------------------------------------------------------

THREE = "".join(line(n=i) + "\n" for i in range(3))


@pytest.mark.parametrize("content, count, expected", [
    ("", 5, []),
    (THREE, 0, []),
    (THREE, -1, []),
    (THREE, 2, [1, 2]),
    (THREE, 3, [0, 1, 2]),
    (THREE, 5, [0, 1, 2]),
    (THREE + line(n=3), 1, [2]),
    (THREE + line(n=3), 9, [0, 1, 2]),
    (line(n=0) + "\n\nbad\n" + line(n=3) + "\n", 3, [3]),
    (line(n=0) + "\r\n" + line(n=1) + "\r\n", 1, [1]),
    (" \t" + line(n=0) + " \x0b\n", 1, [0]),
])
def test_recent_window(tmp_path, paths, content, count, expected):
    it = rs.NeritRecentEventIterator(write(tmp_path, content), count)
    assert [e["n"] for e in it] == expected
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize("count", [2, True, 2.0])
def test_recent_positions_and_restart(tmp_path, paths, count):
    it = rs.NeritRecentEventIterator(write(tmp_path, THREE + "tail"), count)
    size = len(line(n=0)) + 1
    assert it._NeritRecentEventIterator__positions == [size, 2 * size, 3 * size][3 - (int(count) + 1):]
    assert it._file.mode == "rb"
    first = [e["n"] for e in it]
    assert "current_line" in vars(it)


def test_recent_restart_and_many_rejected_lines(tmp_path, paths):
    content = "".join(line(PRIORITY="info") + "\n" for _ in range(5000)) + line(PRIORITY="err") + "\n"
    it = rs.NeritRecentEventIterator(write(tmp_path, content), 6000)
    it.set_priority_filter(["err"])
    assert list(it) == [{"PRIORITY": "err"}]
    it = rs.NeritRecentEventIterator(write(tmp_path, THREE), 3)
    iter(it)
    next(it)
    assert [e["n"] for e in iter(it)] == [0, 1, 2]


@pytest.mark.parametrize("count, expected", [(5, [0, 2]), (2, [2]), (1, [])])
def test_recent_window_drops_an_undecodable_line_and_counts_it(tmp_path, paths, count, expected):
    it = iter(rs.NeritRecentEventIterator(write(tmp_path, b'{"n":0}\n{"n":"\xff"}\n{"n":2}\n\xd0\n'), count))
    assert [e["n"] for e in it] == expected
    assert it.current_line == min(count, 4)


def test_recent_truncated_after_construction(tmp_path, paths):
    path = write(tmp_path, THREE)
    it = iter(rs.NeritRecentEventIterator(path, 3))
    path.write_bytes(THREE[:8].encode())
    assert list(it) == [{"n": 0}]


def test_recent_scan_uses_host_arithmetic_for_other_counts(tmp_path):
    with pytest.raises(TypeError):
        rs.NeritRecentEventIterator(write(tmp_path, THREE), "2")

    class Number(int):
        pass

    it = rs.NeritRecentEventIterator(write(tmp_path, THREE), Number(1))
    assert [e["n"] for e in it] == [2]


def test_recent_count_1000_reads_only_the_tail_of_a_large_file(tmp_path):
    path = tmp_path / "big"
    row = (line(PRIORITY="info", MSG={"k": {"t": "x" * 200}}) + "\n").encode()
    path.write_bytes(row * 40000)
    it = rs.NeritRecentEventIterator(path, 1000)
    positions = it._NeritRecentEventIterator__positions
    assert positions == [len(row) * n for n in range(39000, 40001)]
    assert sum(1 for _ in it) == 1000
    path.unlink()


# --- new events ----------------------------------------------------------------------------


class Writer:
    """Stands in for time.sleep: each call appends the next piece, or stops the test."""

    def __init__(self, path, pieces):
        self.path, self.pieces, self.calls = path, list(pieces), 0

    def __call__(self, seconds):
        assert seconds == 1
        self.calls += 1
        if not self.pieces:
            raise KeyboardInterrupt
        with open(self.path, "ab") as out:
            out.write(self.pieces.pop(0))


@pytest.fixture
def follow(tmp_path, monkeypatch):
    def start(initial, pieces):
        path = write(tmp_path, initial)
        writer = Writer(path, pieces)
        monkeypatch.setattr(rs.time, "sleep", writer)
        return rs.NeritNewEventIterator(path), writer
    return start


def test_new_events_skip_existing_and_join_a_line_written_in_two_pieces(follow):
    it, writer = follow('{"old":1}\n', [b'{"PRIORITY":"err",', b'"n":1}\n'])
    assert next(it) == {"PRIORITY": "err", "n": 1}
    assert writer.calls == 2
    with pytest.raises(KeyboardInterrupt):
        next(it)


def test_new_events_run_back_to_back_without_pausing(follow):
    piece = b"\nnot json\n" + (line(PRIORITY="info") + "\n" + line(PRIORITY="err") + "\n").encode()
    it, writer = follow("", [piece])
    it.set_priority_filter(["err"])
    assert next(it) == {"PRIORITY": "err"}
    assert writer.calls == 1


def test_new_events_keep_pending_text_across_an_interrupt_and_close_twice(follow):
    it, writer = follow("", [b'{"a":', b"", b"1}\n"])
    writer.pieces.insert(1, None)
    original = writer.__call__

    def flaky(seconds):
        if writer.pieces and writer.pieces[0] is None:
            writer.pieces.pop(0)
            raise KeyboardInterrupt
        original(seconds)

    rs.time.sleep = flaky
    with pytest.raises(KeyboardInterrupt):
        next(it)
    assert next(it) == {"a": 1}
    assert "pending" not in " ".join(vars(it))
    it.close()
    it.close()
    with pytest.raises(ValueError):
        next(it)


@pytest.mark.parametrize("ending", [b"\r", b"\r\n", b"\n"], ids=["cr", "crlf", "lf"])
def test_new_events_take_every_line_end_and_skip_the_blank_left_by_a_split_crlf(
        follow, paths, ending):
    first, second = line(n=1).encode(), line(n=2).encode()
    pieces = [first + ending[:1], ending[1:] + second + ending]
    it, writer = follow("", [p for p in pieces if p])
    assert [next(it), next(it)] == [{"n": 1}, {"n": 2}]


def test_new_events_wait_for_a_character_torn_between_two_writes(follow, paths):
    event = line(MSG={"nerit-audit": {"name_ru": "Вход"}}).encode() + b"\n"
    cut = event.index("Вход".encode()) + 1  # inside the two bytes of the first letter
    it, writer = follow("", [event[:cut], event[cut:]])
    assert next(it) == {"MSG": {"nerit-audit": {"name_ru": "Вход"}}}
    assert writer.calls == 2


def test_new_events_drop_a_line_too_long_written_over_several_polls(follow, paths, monkeypatch):
    monkeypatch.setattr(rs, "_max_line_length", 60)
    pieces = [b'{"a":"' + b"x" * 40, b"x" * 40, b'"}\n{"n":1}\n', b"\xff\xfe\n{\"n\":2}\n"]
    it, writer = follow("", pieces)
    assert [next(it), next(it)] == [{"n": 1}, {"n": 2}]


# --- follow by name ------------------------------------------------------------------------
# Each step runs where follow mode sleeps: the file is rotated, cut or removed between two polls.


def append(path, data):
    with open(path, "ab") as out:
        out.write(data)


def ev(n):
    return (line(n=n) + "\n").encode()


def rotate(path, last_in_old=b"", first_in_new=b""):
    append(path, last_in_old)  # written by the logger just before it moved on
    path.rename(path.with_name(path.name + ".1"))
    path.write_bytes(first_in_new)


def copy_truncate(path, first_after=b""):
    with open(path, "r+b") as out:
        out.truncate(0)
    append(path, first_after)


class Steps:
    """Stands in for time.sleep: each call runs the next step, or stops the test."""

    def __init__(self, steps):
        self.steps, self.calls = list(steps), 0

    def __call__(self, seconds):
        assert seconds == 1
        self.calls += 1
        if not self.steps:
            raise KeyboardInterrupt
        self.steps.pop(0)()


def followed(it, steps, monkeypatch):
    """Every event the iterator yields until the steps run out."""
    monkeypatch.setattr(rs.time, "sleep", Steps(steps))
    got = []
    with pytest.raises(KeyboardInterrupt):
        while True:
            got.append(next(it)["n"])
    return got


def test_follow_reads_the_new_file_after_rotation_once_the_old_one_is_finished(tmp_path, paths, monkeypatch):
    path = write(tmp_path, ev(0))
    it = rs.NeritNewEventIterator(path)
    old_file = it._file
    got = followed(it, [lambda: append(path, ev(1)),
                        lambda: rotate(path, ev(2) + b'{"n":3}', ev(4)),
                        lambda: append(path, ev(5)),
                        lambda: rotate(path, b"", ev(6) + b'{"n":')],
                   monkeypatch)
    # The old file's last line without a line end is finished when the file is left.
    assert got == [1, 2, 3, 4, 5, 6]
    assert old_file.closed and it._file.name == str(path) and not it._file.closed


def test_follow_reads_a_truncated_file_again_from_its_start(tmp_path, paths, monkeypatch):
    path = write(tmp_path, ev(0))
    it = rs.NeritNewEventIterator(path)
    got = followed(it, [lambda: append(path, ev(1) + ev(2) + b'{"n":'),
                        lambda: copy_truncate(path, ev(3)),
                        lambda: append(path, ev(4)),
                        lambda: copy_truncate(path)],
                   monkeypatch)
    assert got == [1, 2, 3, 4]


def test_follow_waits_for_a_removed_file_and_reads_its_successor(tmp_path, paths, monkeypatch):
    path = write(tmp_path, ev(0))
    it = rs.NeritNewEventIterator(path)
    logger = open(path, "ab")  # a writer that still holds the removed file
    try:
        def write_removed(data):
            logger.write(data)
            logger.flush()

        got = followed(it, [lambda: append(path, ev(1)),
                            path.unlink,
                            lambda: write_removed(ev(2)),
                            lambda: None,
                            lambda: write_removed(ev(3)),
                            lambda: path.write_bytes(ev(4)),
                            lambda: append(path, ev(5))],
                       monkeypatch)
    finally:
        logger.close()
    assert got == [1, 2, 3, 4, 5]


def test_follow_keeps_the_file_a_caller_put_in_place(tmp_path, paths, monkeypatch):
    import io
    path = write(tmp_path, ev(0))
    it = rs.NeritNewEventIterator(path)
    it._file = io.StringIO(line(n=7) + "\n")
    got = followed(it, [lambda: rotate(path, ev(1), ev(2))], monkeypatch)
    assert got == [7] and isinstance(it._file, io.StringIO)


def test_follow_lets_an_interrupt_raised_while_the_path_is_looked_at_through(
        tmp_path, paths, monkeypatch):
    # A signal handler runs inside any Python code, the path's __fspath__ included: what it
    # raises there must end __next__, not be taken for a path that names no file.
    import pathlib
    path = write(tmp_path, ev(0))
    it = rs.NeritNewEventIterator(path)
    sleeps = Steps([lambda: append(path, ev(1))])
    monkeypatch.setattr(rs.time, "sleep", sleeps)
    assert next(it)["n"] == 1
    plain_fspath = pathlib.PurePath.__fspath__

    def interrupted(self):
        monkeypatch.setattr(pathlib.PurePath, "__fspath__", plain_fspath)
        raise SystemExit(129)

    monkeypatch.setattr(pathlib.PurePath, "__fspath__", interrupted)
    with pytest.raises(SystemExit):
        next(it)
    assert sleeps.calls == 1 and pathlib.PurePath.__fspath__ is plain_fspath


# --- undecodable and overlong lines -----------------------------------------------------------

YESTERDAY, TODAY = "2024-03-04", "2024-03-05"


def broken_log():
    """Every other line does not decode; some of those carry dates that would end a range or raise."""
    good, rows = [], []
    bad_bytes = [b"\xff", b"\xd0", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80", b"\x80"]
    for i in range(40):
        day = YESTERDAY if i < 20 else TODAY
        row = dated(f"{day}T{i % 24:02d}:00:00", n=i).encode()
        if i % 2:
            at = [1, 12, 30, len(row) - 2][i % 4]  # in the key, the date, the value, the end
            row = row[:at] + bad_bytes[i % len(bad_bytes)] + row[at:]
        else:
            good.append(i)
        rows.append(row)
        if i in (24, 30):
            rows.append(dated("2024-03-06T00:00:00", n=100).encode()[:-1] + b"\xff\n")
            rows.append(dated("2024-02-30T00:00:00", n=101).encode()[:-1] + b"\xd0\n")
    return b"".join(rows), good


def read_as(kind, path, data, monkeypatch, window):
    """The events one kind of iterator yields from a file holding `data`."""
    path.write_bytes(b"" if kind == "new" else data)
    if kind == "new":
        return followed(rs.NeritNewEventIterator(path), [lambda: append(path, data)], monkeypatch)
    make = {
        "all": lambda: rs.NeritAllEventsIterator(path),
        "range": lambda: rs.NeritTimeRangeEventIterator(path, YESTERDAY, TODAY),
        "today": lambda: rs.NeritTimeRangeEventIterator(path, date_since=TODAY),
        "recent": lambda: rs.NeritRecentEventIterator(path, window),
    }[kind]
    return [e["n"] for e in make()]


@pytest.mark.parametrize("kind", ["all", "range", "today", "recent", "new"])
def test_undecodable_lines_are_dropped_and_no_other_line_is_lost(tmp_path, paths, monkeypatch, kind):
    data, good = broken_log()
    got = read_as(kind, tmp_path / "events", data, monkeypatch, 29)
    # The window of 29 lines holds the last 25 of the forty and the two extra lines after 30.
    expected = {"today": [n for n in good if n >= 20], "recent": [n for n in good if n >= 15]}
    assert got == expected.get(kind, good)


@pytest.mark.parametrize("kind", ["all", "range", "today", "recent", "new"])
def test_lines_longer_than_the_limit_are_dropped_and_the_next_ones_read(tmp_path, paths, monkeypatch, kind):
    monkeypatch.setattr(rs, "_max_line_length", 64)
    exact = dated(f"{TODAY}T01:00:00", n=1, p="")
    exact = exact.replace('"p":""', '"p":"' + "x" * (65 - len(exact)) + '"')
    assert len(exact.encode()) == 65  # 64 bytes and its line end
    rows = [dated(f"{YESTERDAY}T00:00:00", n=0), exact, exact.replace('"n":1', '"n":9').replace('"p":"x', '"p":"xx'),
            dated("2024-03-06T00:00:00", n=8, p="y" * 300000), dated(f"{TODAY}T02:00:00", n=2, p="ж" * 9),
            dated(f"{TODAY}T03:00:00", n=7, p="ж" * 40).replace("\n", "\r"), dated(f"{TODAY}T04:00:00", n=3)]
    got = read_as(kind, tmp_path / "events", "".join(rows).encode(), monkeypatch, 10)
    # In the window only LF ends a line: the CR-ended line and the next one make one long line.
    expected = {"today": [1, 2, 3], "recent": [0, 1, 2]}
    assert got == expected.get(kind, [0, 1, 2, 3])


@pytest.mark.parametrize("encoding, expected", [("latin-1", [0, 1, 2]), ("ascii", [2]), ("utf-8", [1, 2])])
def test_a_file_in_another_encoding_is_decoded_line_by_line(tmp_path, paths, encoding, expected):
    rows = [(line(n=0, t="café") + "\r\n").encode("latin-1"), (line(n=1, t="ж") + "\n").encode(),
            (line(n=2) + "\r").encode()]
    it = rs.NeritAllEventsIterator(write(tmp_path, b"".join(rows)))
    it._file.reconfigure(encoding=encoding)
    got = list(it)
    assert [e["n"] for e in got] == expected
    assert got == [json.loads(rows[n].decode(encoding)) for n in expected]


MEMORY_PROBE = """
import sys
from pathlib import Path
from nerit_record_console import record_source as rs
def peak():
    for row in open("/proc/self/status"):
        if row.startswith("VmHWM:"):
            return int(row.split()[1]) // 1024
rs._max_line_length = 1 << 20
path = Path(sys.argv[1])
before = peak()
found = [[e["n"] for e in rs.NeritAllEventsIterator(path)],
         [e["n"] for e in rs.NeritTimeRangeEventIterator(path)],
         [e["n"] for e in rs.NeritRecentEventIterator(path, 5)]]
print(found, peak() - before)
"""


def test_a_line_far_longer_than_the_limit_is_never_held(tmp_path):
    import subprocess
    import sys
    path = tmp_path / "events"
    with open(path, "wb") as out:
        out.write(dated(f"{TODAY}T00:00:00", n=0).encode())
        out.write(b'{"ISODATE":"2024-03-05T00:00:01","n":1,"p":"')
        for _ in range(120):
            out.write(b"x" * (1 << 20))
        out.write(b'"}\n' + dated(f"{TODAY}T00:00:02", n=2).encode())
    result = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path)],
                            capture_output=True, text=True, timeout=120)
    found, growth = result.stdout.rsplit(" ", 1)
    assert found == "[[0, 2], [0, 2], [0, 2]]"
    assert int(growth) < 16, f"peak memory grew by {growth} MB reading a 120 MB line"


# --- time range ----------------------------------------------------------------------------


def dated(stamp, key="ISODATE", **extra):
    return line(**{key: stamp}, **extra) + "\n"


@pytest.mark.parametrize("since, until, expected", [
    (None, None, ["a", "b", "c", "d"]),
    ("", "", ["a", "b", "c", "d"]),
    ("2024-03-02", "2024-03-02", ["b", "c"]),
    ("2024-03-02 12:00:00", "2024-03-02 23:59:59", ["b", "c"]),
    ("2024-03-02 12:00:01", "2024-03-02 13:00", []),
    ("2024-03-03", None, ["d"]),
    ("2024-03-04", "2024-03-01", []),
])
def test_time_range_bounds_are_inclusive(tmp_path, paths, since, until, expected):
    content = (dated("2024-03-01T10:00:00", n="a") + "undated\n" + dated("2024-03-02T12:00:00", n="b")
               + dated("2024-03-02 23:59:59+05:00", key="DATE", n="c")
               + dated("2024-03-02T23:59:59.5", n="x") + dated("2024-03-02T10:00:00", n="y")
               + dated("2024-03-03", n="d"))
    if until is None or until == "":
        content = content.replace(dated("2024-03-02T23:59:59.5", n="x"), "").replace(
            dated("2024-03-02T10:00:00", n="y"), "")
    it = rs.NeritTimeRangeEventIterator(write(tmp_path, content), since, until)
    assert [e["n"] for e in it] == expected
    assert it._file.closed


@pytest.mark.parametrize("given, expected", [
    (dt.datetime(2024, 1, 1), dt.datetime(2024, 1, 1, 23, 59, 59)),
    (dt.datetime(2024, 1, 1, 0, 0, 0, 1), dt.datetime(2024, 1, 1, 0, 0, 0, 1)),
    (dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc), dt.datetime(2024, 1, 1, 23, 59, 59, tzinfo=dt.timezone.utc)),
    (dt.datetime.max, dt.datetime.max),
])
def test_end_of_day_adjustment(given, expected):
    adjust = rs.NeritTimeRangeEventIterator._NeritTimeRangeEventIterator__adjust_end_date
    assert adjust(date_until=given) == expected


def test_time_range_first_key_decides_and_invalid_dates_raise(tmp_path, paths):
    content = ('{"x":{"DATE":"2024-01-05"},"ISODATE":"2020-01-01","n":1}\n'
               '{"ISODATE":"2024-02-30T00:00:00","n":2}\n{"DATE":"2024-01-02","n":3}\n')
    it = rs.NeritTimeRangeEventIterator(write(tmp_path, content), "2024-01-01")
    assert next(it)["n"] == 1
    with pytest.raises(ValueError, match="day is out of range"):
        next(it)
    assert next(it)["n"] == 3


def test_time_range_aware_bound_gives_the_host_error(tmp_path, paths):
    it = rs.NeritTimeRangeEventIterator(write(tmp_path, dated("2024-01-01T00:00:00")), "2024-01-01T00:00:00+02:00")
    with pytest.raises(TypeError, match="offset-naive and offset-aware"):
        next(it)


def test_time_range_uses_replaced_host_functions(tmp_path, monkeypatch):
    seen = []

    def fake_isoparse(text):
        seen.append(text)
        return dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc)

    monkeypatch.setattr(rs.dateutil.parser, "isoparse", fake_isoparse)
    it = rs.NeritTimeRangeEventIterator(write(tmp_path, dated("2024-01-01T00:00:00", n=1)), None, "2001-01-01")
    assert list(it) == [{"ISODATE": "2024-01-01T00:00:00", "n": 1}]
    assert seen == ["2024-01-01T00:00:00"]


# --- reading errors ------------------------------------------------------------------------


def test_closed_or_replaced_file(tmp_path, paths):
    import io
    it = rs.NeritAllEventsIterator(write(tmp_path, '{"a":1}\n{"a":2}\n'))
    assert next(it) == {"a": 1}
    it._file = io.StringIO('{"b":1}\n')
    assert list(it) == [{"b": 1}]
    it = rs.NeritTimeRangeEventIterator(write(tmp_path, dated("2024-01-01")))
    it._file.close()
    with pytest.raises(ValueError, match="closed file"):
        next(it)
    it = rs.NeritAllEventsIterator(write(tmp_path, '{"a":1}\n'))
    it._file = None
    with pytest.raises(AttributeError):
        next(it)


def test_switching_to_host_reading_mid_file_continues_at_the_same_line(tmp_path, monkeypatch):
    content = "".join(line(n=i) + "\n" for i in range(5000))
    it = rs.NeritAllEventsIterator(write(tmp_path, content))
    assert [next(it)["n"] for _ in range(3)] == [0, 1, 2]
    monkeypatch.setattr(rs, "_fast_paths", False)
    assert next(it) == {"n": 3}
    monkeypatch.setattr(rs, "_fast_paths", True)
    assert [e["n"] for e in it] == list(range(4, 5000))


def test_file_shrinking_while_read(tmp_path, paths):
    rows = "".join(line(n=i, pad="x" * 100) + "\n" for i in range(8000))
    path = write(tmp_path, rows)
    it = rs.NeritAllEventsIterator(path)
    assert next(it)["n"] == 0
    with open(path, "r+b") as out:
        out.truncate(9000)
    got = [e["n"] for e in it]
    assert got == list(range(1, len(got) + 1)) and len(got) < 7999


def test_fifty_megabyte_line(tmp_path, paths):
    big = '{"a":"' + "x" * (50 * 1024 * 1024) + '"}\n{"b":1}\n'
    path = write(tmp_path, big)
    it = rs.NeritAllEventsIterator(path)
    first = next(it)
    assert len(first["a"]) == 50 * 1024 * 1024
    assert next(it) == {"b": 1}
    path.unlink()
