"""The native paths of record_source against the host facilities they stand in for."""
import datetime as dt
import json
import os
import re
import tempfile
from pathlib import Path

import dateutil.parser
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from nerit_record_console import _probe
from nerit_record_console import record_source as rs

DATE_RE = re.compile('"(ISODATE|DATE)":"([^"]+)"')
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def host_isoparse(text):
    try:
        return dateutil.parser.isoparse(text).replace(tzinfo=None)
    except Exception as error:  # noqa: BLE001 - the error type is what is compared
        return type(error)


# --- dates -----------------------------------------------------------------------------------

digits = st.integers(0, 99).map(lambda n: f"{n:02d}")
zones = st.sampled_from(["", "Z", "z", "+03:00", "-0530", "+05", "+24:00", "+05:60", "-00:00",
                         "+05:3", "+053", "+05300", "Q", "+5:00"])
fractions = st.sampled_from(["", ".", ",5", ".123456", ".1234567", ".0000009", ".5x", ","]) | \
    st.from_regex(r"\A[.,][0-9]{1,9}\Z")
separators = st.sampled_from(["T", " ", "t", "x", "", "TT"])


@st.composite
def iso_texts(draw):
    year = draw(st.sampled_from(["2024", "2023", "2000", "1900", "0000", "0001", "9999", "20a4", "+024"]))
    text = f"{year}-{draw(digits)}-{draw(digits)}"
    if draw(st.booleans()):
        text += draw(separators) + ":".join([draw(digits), draw(digits), draw(digits)])
        text += draw(fractions) + draw(zones)
    if draw(st.integers(0, 4)) == 0:
        pos = draw(st.integers(0, len(text)))
        text = text[:pos] + draw(st.text("0123456789-:T .,Z+ж", max_size=2)) + text[pos + 1:]
    return text


@SETTINGS
@given(st.one_of(iso_texts(), st.text("0123456789-:T .,Z+", max_size=30)))
@example("2024-02-29T23:59:59.9999999+23:59")
@example("2023-02-29")
@example("2024-01-01T24:00:00")
@example("2024-01-01T23:59:60")
def test_native_isoparse_agrees_with_dateutil(text):
    native = _probe.isoparse(text)
    if native is not None:
        assert native == host_isoparse(text)
        assert type(native) is type(host_isoparse(text))


@pytest.mark.parametrize("text", [
    "2024-01-02", "2024-01-02T10:00:00", "2024-01-02 10:00:00", "2024-02-29T23:59:59.123456Z",
    "2024-01-02T10:00:00,5+03:00", "2024-01-02T10:00:00.1234567-0530", "2024-01-02T10:00:00+05",
])
def test_native_isoparse_reads_the_shapes_logs_use(text):
    assert _probe.isoparse(text) == host_isoparse(text) is not None


@SETTINGS
@given(st.lists(st.sampled_from(['"DATE":"', '"ISODATE":"', 'DATE', '"', ':', 'x', '"2024-01-01"',
                                 'ISO', 'Ж', ' ', '\\"', '"DATE" : "']), max_size=12).map("".join))
@example('"DATE":""ISODATE":"v"')
@example('"DATE":"')
def test_native_date_search_agrees_with_the_pattern(text):
    match = DATE_RE.search(text)
    found = _probe.find_date(text.encode())
    if match is None:
        assert found is None
    else:
        assert found == (match.group(1), match.group(2).encode())


# --- recent window scan ------------------------------------------------------------------------


def reference_starts(data, count):
    lines_found, positions = 0, []
    for i in range(len(data) - 1, -1, -1):
        if data[i:i + 1] == b"\n":
            lines_found += 1
            if lines_found > count + 1:
                break
            positions.append(i + 1)
    if lines_found <= count:
        positions.append(0)
    positions.reverse()
    return positions


@SETTINGS
@given(st.binary(max_size=64).map(lambda b: b.replace(b"a", b"\n").replace(b"b", b"\r\n")),
       st.integers(-3, 40))
@example(b"", 0)
@example(b"abc", 0)
@example(b"\n", -2)
def test_native_recent_scan_agrees_with_the_byte_loop(data, count):
    assert _probe.recent_line_starts(data, count) == reference_starts(data, count)
    if count >= 0:
        assert window_starts(data, count) == reference_starts(data, count)


def test_native_recent_scan_over_blocks_and_extreme_counts(tmp_path):
    data = b"".join(b"x" * (i % 97) + (b"\r\n" if i % 3 else b"\n") for i in range(5000))
    for count in [0, 1, 999, 4998, 4999, 5000, 2**62, -(2**62)]:
        assert _probe.recent_line_starts(data, count) == reference_starts(data, count)
        path = tmp_path / "f"
        path.write_bytes(data)
        it = rs.NeritRecentEventIterator(path, count)
        assert it._NeritRecentEventIterator__positions == reference_starts(data, count)


# --- whole iterators on both paths -------------------------------------------------------------

PIECES = [
    '{"PRIORITY":"err","MSG":{"kern":{"t":"x"}},"ISODATE":"2024-01-02T10:00:00"}',
    '{"PRIORITY":"info","MSG":{"audit":{}},"DATE":"2024-01-03 10:00:00.5+03:00"}',
    '{"ISODATE":"2024-01-02","DATE":"2030-01-01","MSG":{"Журнал":{"м":"ё"}}}',
    '{"DATE":"2024-01-04T10:00:00,1234567Z","s":"a\\"b\\u0416\\n"}',
    '{"DATE":"2024-01-05T24:00:00"}', '{"DATE":"20240106"}', '{"DATE":"2024-13-01"}',
    '{"DATE":""}', '{"DATE" : "2024-01-01"}', 'not json', '', '{"a":', '[1,2]', '7',
    '{"PRIORITY":["x"],"DATE":"2024-01-02T00:00:00"}', '{"MSG":"text","DATE":"2024-01-02"}',
    '{"DATE":"2024-01-02T10:00:00-0530","MSG":{}}', '{"DATE":"2024-01-01T00:00:00+05:60"}',
    '{"ISODATE":"2024-01-02 12:00:00.000001","PRIORITY":"err"}', '\x1f', '{"x":"\\ud800"}',
]
ENDINGS = ["\n", "\r\n", "\r"]


def run(make, fast, limit=200):
    """Records and the final error of an iterator, with the module's fast paths on or off."""
    previous, rs._fast_paths = rs._fast_paths, fast
    out = []
    try:
        it = make()
        for _ in range(limit):
            try:
                out.append(next(it))
            except StopIteration:
                out.append("end")
                break
            except Exception as error:  # noqa: BLE001 - both paths must fail alike
                out.append((type(error), str(error)))
    except Exception as error:  # noqa: BLE001
        out.append(("construct", type(error), str(error)))
    finally:
        rs._fast_paths = previous
    return out


ITERATORS = {
    "all": lambda path: rs.NeritAllEventsIterator(path),
    "range": lambda path: rs.NeritTimeRangeEventIterator(path, "2024-01-02", "2024-01-04 12:00"),
    "range_open": lambda path: rs.NeritTimeRangeEventIterator(path),
    "recent": lambda path: rs.NeritRecentEventIterator(path, 7),
}


def filtered(make, priorities, sources):
    def build(path):
        it = make(path)
        if priorities:
            it.set_priority_filter(priorities)
        if sources:
            it.set_source_filter(sources)
        return it
    return build


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.sampled_from(PIECES), st.sampled_from(ENDINGS)), max_size=14),
       st.sampled_from([(), ("err",)]), st.sampled_from([(), ("ke", "Жур")]),
       st.booleans())
def test_iterators_agree_on_both_paths(rows, priorities, sources, cut_last):
    text = "".join(piece + ending for piece, ending in rows)
    if cut_last and text:
        text = text[:-1]
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder, "events")
        path.write_bytes(text.encode("utf-8", "surrogatepass"))
        for name, make in ITERATORS.items():
            build = filtered(make, list(priorities), list(sources))
            assert run(lambda: build(path), True) == run(lambda: build(path), False), name


# --- reading bytes: the rules every iterator reads its file by ------------------------------

BLOCK = 256 * 1024  # the native readers' block: lines and line ends cross it in the tests below


def decodable(content):
    try:
        return content.decode("utf-8")
    except UnicodeDecodeError:
        return None


def decoded(text):
    try:
        return json.loads(text)
    except json.JSONDecodeError:
        return None


def reference_records(data, max_line=64 * 2**20):
    """What reading `data` line by line yields: LF, CR LF and CR each end a line; a line longer
    than `max_line` bytes, not UTF-8 or not JSON is dropped, and no other line with it."""
    out = []
    for piece in data.splitlines(keepends=True):
        content = piece.rstrip(b"\r\n")
        text = decodable(content) if len(content) <= max_line else None
        if text is not None:
            value = decoded(text + ("\n" if content != piece else ""))
            if value is not None:
                out.append(value)
    return out


def window_starts(data, count):
    """reference_starts for count >= 0, with rfind instead of a loop over every byte."""
    starts, before = [], len(data)
    while len(starts) <= count and (newline := data.rfind(b"\n", 0, before)) >= 0:
        starts.append(newline + 1)
        before = newline
    return ([0] if len(starts) <= count else []) + starts[::-1]


def reference_recent(data, count, max_line=64 * 2**20):
    """The recent-events window: every window line counts, decodable or not."""
    starts = window_starts(data, count)
    out = []
    for begin, end in zip(starts, starts[1:]):
        stop = data.find(b"\n", begin)
        line = data[begin:len(data) if stop < 0 else stop + 1]
        text = decodable(line.strip()) if len(line.rstrip(b"\n")) <= max_line else None
        value = None if text is None else decoded(text)
        if value is not None:
            out.append(value)
    return out


def records(make, fast, limit=64 * 2**20):
    previous = rs._fast_paths, rs._max_line_length
    rs._fast_paths, rs._max_line_length = fast, limit
    try:
        return list(make())
    finally:
        rs._fast_paths, rs._max_line_length = previous


@SETTINGS
@given(st.lists(st.sampled_from([b"a", b"\x00", b"\x7f", "ж".encode(), "€".encode(), "😀".encode(),
                                 b"\xff", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\x80", b"\xed\xa0\x80",
                                 b"\xed\x9f\xbf", b"\xf4\x90\x80\x80", b"\xf4\x8f\xbf\xbf", b"\xd0",
                                 b"\xe2\x82", b"\xf0\x9f\x98", b"\x80", b"\xbf", b"\xf5\x80\x80\x80"])
                | st.binary(max_size=4), max_size=60).map(b"".join),
       st.integers(0, 17))
@example(b"\xd0" + b"x" * 16, 15)
@example(b"x" * 15 + "ж".encode() + b"\x80", 0)
def test_utf8_check_agrees_with_the_host_decoder(data, shift):
    data = b"a" * shift + data  # every sequence at every place in the sixteen-byte blocks
    assert _probe.utf8_valid(data) == (decodable(data) is not None,) * 2


@SETTINGS
@given(st.binary(max_size=80).map(lambda b: b.replace(b"a", b"\r").replace(b"b", b"\n")))
def test_line_end_search_finds_the_first_cr_or_lf(data):
    ends = [i for i in (data.find(b"\r"), data.find(b"\n")) if i >= 0]
    assert _probe.find_line_end(data) == min(ends, default=len(data))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.sampled_from([b'{"a":1}', b'{"b":"\xd0\xb6"}', b"\n", b"\r", b"\r\n", b"\n\r",
                                 "ж€😀".encode(), b"\xff", b"\xd0", b"\xe2\x82", b"\xed\xa0\x80",
                                 b"\xf0\x9f", b"\x80", b"x", b'{"c":"', b'"}', b"7", b" "])
                | st.binary(max_size=3), max_size=40).map(b"".join),
       st.sampled_from([0, 1, 7, 12, 64 * 2**20]), st.booleans())
@example(b'{"a":1}\n{"a":"\xff"}\n{"a":3}', 64 * 2**20, True)
def test_any_bytes_are_read_by_the_reading_rules(data, limit, fast):
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder, "events")
        path.write_bytes(data)
        assert records(lambda: rs.NeritAllEventsIterator(path), fast, limit) == \
            reference_records(data, limit)
        assert records(lambda: rs.NeritRecentEventIterator(path, 5), fast, limit) == \
            reference_recent(data, 5, limit)


def block_corpus():
    """About three blocks of events with every line end, Cyrillic text and bad bytes."""
    rows = []
    for i in range(1800):
        row = f'{{"n":{i},"p":"{"ж" * (i * 7 % 61)}{"x" * (i * 13 % 600)}"}}'.encode()
        if i % 29 == 0:
            row = row.replace(b"x", b"\xff", 1) if b"x" in row else row + b"\xd0"
        rows.append(row + (b"\r\n" if i % 4 == 0 else b"\r" if i % 7 == 0 else b"\n"))
    return b"".join(rows)


@pytest.mark.parametrize("fast", [True, False], ids=["fast", "host"])
@pytest.mark.parametrize("edge", [BLOCK, 2 * BLOCK])
def test_lines_and_line_ends_across_block_edges(tmp_path, edge, fast):
    base = block_corpus()
    assert len(base) > 2 * BLOCK + 1000
    path = tmp_path / "events"
    for cut in range(edge - 3, edge + 3):
        for end in [b"\r\n", b"\r", b"\xd0\xb6\n", b"\xd0\n"]:
            data = base[:cut].replace(b"\r", b"\n") + end + base[cut:]
            path.write_bytes(data)
            assert records(lambda: rs.NeritAllEventsIterator(path), fast) == reference_records(data)
            assert records(lambda: rs.NeritRecentEventIterator(path, 3000), fast) == \
                reference_recent(data, 3000)


def test_a_line_longer_than_a_block_is_read_whole(tmp_path):
    long_text = "ж" * BLOCK
    first = json.dumps({"n": 1, "t": long_text}, ensure_ascii=False).encode()
    path = tmp_path / "events"
    path.write_bytes(first + b'\n{"n":2}\r\n')
    for make in (lambda: rs.NeritAllEventsIterator(path), lambda: rs.NeritRecentEventIterator(path, 5)):
        assert records(make, True) == [{"n": 1, "t": long_text}, {"n": 2}]
        # The limit counts the bytes of a line without its line end.
        assert records(make, True, len(first)) == [{"n": 1, "t": long_text}, {"n": 2}]
        assert records(make, True, len(first) - 1) == [{"n": 2}]


@pytest.mark.parametrize("fast", [True, False], ids=["fast", "host"])
def test_python_code_reading_on_from_inside_next_takes_each_line_once(tmp_path, monkeypatch, fast):
    # The reader's block moves under a call that is still using a line of it.
    monkeypatch.setattr(rs, "_fast_paths", fast)
    path = tmp_path / "events"
    path.write_text("".join(json.dumps({"ISODATE": f"2024-03-0{1 + i // 1000}T00:00:00", "n": i,
                                        "p": "ж" * (i % 150)}, separators=(",", ":")) + "\n"
                            for i in range(3000)))
    assert path.stat().st_size > 4 * BLOCK
    seen = []

    class Greedy(rs.NeritAllEventsIterator):
        def _filter_event(self, event_dict):
            if event_dict["n"] % 3 == 0:
                seen.extend(e["n"] for e in [next(self, {"n": None})] if e["n"] is not None)
            return True

    seen.extend(e["n"] for e in Greedy(path))
    assert sorted(seen) == list(range(3000))

    seen, calls, isoparse = [], [], rs.dateutil.parser.isoparse
    it = rs.NeritTimeRangeEventIterator(path, "2024-03-02")

    def reading_isoparse(text):
        calls.append(text)
        if len(calls) % 4 == 0:
            seen.extend(e["n"] for e in [next(it, {"n": None})] if e["n"] is not None)
        return isoparse(text)

    monkeypatch.setattr(rs.dateutil.parser, "isoparse", reading_isoparse)
    with pytest.raises(ValueError, match="closed file"):  # an inner call ended the file
        seen.extend(e["n"] for e in it)
    assert sorted(seen) == list(range(1000, 3000))

    class Window(rs.NeritRecentEventIterator):
        def __setattr__(self, name, value):
            super().__setattr__(name, value)
            if name == "current_line" and value % 3 == 1 and value < 3000:
                seen.extend(e["n"] for e in [next(self, {"n": None})] if e["n"] is not None)

    seen = []
    seen.extend(e["n"] for e in Window(path, 3000))
    assert sorted(seen) == list(range(3000))


def host_verdict(line, bound):
    """How the time-range selection takes a line: 'skip', 'select' or an error."""
    text = decodable(line)
    if text is None:
        return "skip"  # dropped as undecodable
    match = DATE_RE.search(text)
    if match is None:
        return "skip"
    date = host_isoparse(match.group(2))
    if isinstance(date, type):
        return date
    return "skip" if date < bound else "select"


@SETTINGS
@given(st.lists(st.sampled_from(['{"ISODATE":"', '{"DATE":"', '"DATE":"', '"ISODATE":"', '"', ",",
                                 "x", "Ж", "2024-03-05T10:00:00", "2024-03-04", "2024-03-05",
                                 "T23:59:59.999999", "+03:00", "Z", "\\\""]) | iso_texts(),
                max_size=8).map("".join),
       st.sampled_from([dt.datetime(2024, 3, 5), dt.datetime(2024, 3, 5, 10, 0, 0, 1),
                        dt.datetime.min, dt.datetime(2024, 1, 2)]),
       st.sampled_from([b"", b"\xff", b"\xd0"]))
@example('{"ISODATE":"2024-02-30T00:00:00"}', dt.datetime(2024, 3, 5), b"")
@example('{"DATE":"2024-03-05T10:00:00.000001"}', dt.datetime(2024, 3, 5, 10, 0, 0, 1), b"")
def test_date_floor_passes_over_only_lines_the_selection_skips(text, bound, bad):
    line = text.encode() + bad
    if _probe.date_floor_passes_over(bound, line):
        assert host_verdict(line, bound) == "skip"
    elif decodable(line) is not None and DATE_RE.search(text) and \
            _probe.isoparse(DATE_RE.search(text).group(2)) is not None:
        # A date the native reader reads is decided by it alone: not before the bound.
        assert host_verdict(line, bound) == "select"


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.sampled_from(["ISODATE", "DATE"]), iso_texts()), min_size=1, max_size=8),
       st.sampled_from([(None, None), ("2024-01-01", "2024-06-30"), ("2000-01-01 12:00", None)]))
def test_time_range_agrees_on_generated_dates(stamps, bounds):
    text = "".join(f'{{"{key}":"{value}","n":{i}}}\n' for i, (key, value) in enumerate(stamps))
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder, "events")
        path.write_text(text)
        make = lambda: rs.NeritTimeRangeEventIterator(path, *bounds)  # noqa: E731
        assert run(make, True) == run(make, False)


# --- replacements between two calls take effect at the next one --------------------------------
# Each __next__ keeps what attribute lookup found while nothing it depends on changed; every kind
# of change below must be seen by the very next call, on an iterator that has already run.

ROWS = "".join(f'{{"ISODATE":"2024-01-0{1 + i % 3}T00:00:00","PRIORITY":"{p}","MSG":{{"{s}":{{}}}},"n":{i}}}\n'
               for i, (p, s) in enumerate([("info", "kern"), ("err", "audit"), ("info", "auth"),
                                           ("err", "kern"), ("info", "audit")] * 2))


class Hooked(rs.NeritTimeRangeEventIterator):
    pass


def replace_loads(it, monkeypatch):
    monkeypatch.setattr(rs.json, "loads", lambda text: {"from": "loads"})
    return [{"from": "loads"}] * 8


def replace_json_module(it, monkeypatch):
    import types
    monkeypatch.setattr(rs, "json", types.SimpleNamespace(loads=lambda text: {"ns": 1}, decoder=rs.json.decoder))
    return [{"ns": 1}] * 8


def set_filter(it, monkeypatch):
    it.set_priority_filter(["err"])
    return [3, 6, 8]


def grow_filter_in_place(it, monkeypatch):
    it._NeritEventIterator__source_filter.add("aud")
    return [4, 6, 9]


def instance_filter_event(it, monkeypatch):
    it._filter_event = lambda event_dict: event_dict["n"] % 3 == 0
    return [3, 6, 9]


def class_filter_source(it, monkeypatch):
    monkeypatch.setattr(Hooked, "_filter_source", lambda self, event_dict: "kern" in event_dict["MSG"], raising=False)
    return [3, 5, 8]


def base_filter_priority(it, monkeypatch):
    monkeypatch.setattr(rs.NeritEventIterator, "_filter_priority", lambda self, event_dict: event_dict["n"] > 7)
    return [8, 9]


def replace_file(it, monkeypatch):
    import io
    it._file = io.StringIO('{"ISODATE":"2024-01-01","n":100}\n')
    return [100]


def turn_fast_paths_off(it, monkeypatch):
    monkeypatch.setattr(rs, "_fast_paths", False)
    return list(range(2, 10))


def replace_isoparse(it, monkeypatch):
    import datetime as dt
    monkeypatch.setattr(rs.dateutil.parser, "isoparse", lambda text: dt.datetime(2024, 1, 2))
    return list(range(2, 10))


def replace_parser_module(it, monkeypatch):
    import datetime as dt
    import types
    monkeypatch.setattr(rs.dateutil, "parser", types.SimpleNamespace(isoparse=lambda text: dt.datetime(2030, 1, 1)))
    return []


def move_lower_bound(it, monkeypatch):
    import datetime as dt
    it._NeritTimeRangeEventIterator__date_since = dt.datetime(2024, 1, 2)
    return [2, 4, 5, 7, 8]


def replace_pattern(it, monkeypatch):
    it._NeritTimeRangeEventIterator__date_regex_pattern = re.compile('"(ISODATE|DATE)":"(2024-01-02[^"]*)"')
    return [4, 7]


def close_file(it, monkeypatch):
    it._file.close()
    return ValueError


def close_raw_file(it, monkeypatch):
    it._file.buffer.raw.close()
    return ValueError


def detach_buffer(it, monkeypatch):
    it._file.detach()
    return ValueError


@pytest.mark.parametrize("fast", [True, False])
@pytest.mark.parametrize("change", [
    replace_loads, replace_json_module, set_filter, grow_filter_in_place, instance_filter_event,
    class_filter_source, base_filter_priority, replace_file, turn_fast_paths_off, replace_isoparse,
    replace_parser_module, move_lower_bound, replace_pattern, close_file, close_raw_file,
    detach_buffer])
def test_a_change_between_two_calls_applies_to_the_next(tmp_path, monkeypatch, change, fast):
    monkeypatch.setattr(rs, "_fast_paths", fast)
    path = tmp_path / "events"
    path.write_text(ROWS)
    it = Hooked(path, "2024-01-01", "2024-01-03")
    assert [next(it)["n"] for _ in range(2)] == [0, 1]
    expected = change(it, monkeypatch)
    if expected is ValueError:
        with pytest.raises(ValueError, match="closed file|detached"):
            next(it)
        return
    got = list(it)
    if expected and isinstance(expected[0], dict):
        assert got == expected
    else:
        assert [e["n"] for e in got] == expected


def test_a_filter_set_by_code_running_inside_next_applies_to_the_same_call(tmp_path, monkeypatch):
    path = tmp_path / "events"
    path.write_text(ROWS)
    it = rs.NeritAllEventsIterator(path)
    original = rs.json.loads

    def loads(text):
        value = original(text)
        if value["n"] == 2:
            it.set_source_filter(["kern"])
        return value

    assert next(it)["n"] == 0
    monkeypatch.setattr(rs.json, "loads", loads)
    assert [e["n"] for e in it] == [1, 3, 5, 8]
