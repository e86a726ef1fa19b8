"""The byte-level event path: a line's bytes straight to the text the viewer prints for it.

Whenever the native path does not decline a line, its filter decision must be what the
iterator's _filter_event returns for json.loads(line), and its bytes what format_event returns
for that event once the viewer has escaped it (checked against the real formatter and against
the plain-Python twin).
"""
import datetime
import importlib.util
import io
import json
import os
import pathlib
import re
import subprocess
import sys
from pathlib import Path

import pytest
import hypothesis
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from nerit_record_console import _probe, record_layout, record_source

Formatter = record_layout.NeritEventFormatter
BENCH = pathlib.Path(__file__).resolve().parents[1] / "bench"
# A longer run: NERIT_EXAMPLES=20000 bash tools/test.sh tests/test_event_native.py
EXAMPLES = int(os.environ.get("NERIT_EXAMPLES", "1500"))
PROPERTY = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def _load(name, folder=BENCH):
    spec = importlib.util.spec_from_file_location(f"{folder.name}_{name}", folder / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


twin = _load("layout_twin", pathlib.Path(__file__).resolve().parent)
eventgen = _load("eventgen")
jobs = _load("jobs")
bench = _load("bench")

CONTROL = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f]")


def viewer_escape(value):
    """Control characters as the viewer writes them before formatting, keys included."""
    if isinstance(value, str):
        return CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", value)
    if isinstance(value, dict):
        return {viewer_escape(k): viewer_escape(v) for k, v in value.items()}
    if isinstance(value, list):
        return [viewer_escape(v) for v in value]
    return value


@pytest.fixture(scope="module")
def filter_host(tmp_path_factory):
    """An iterator whose _filter_event decides for the host."""
    path = tmp_path_factory.mktemp("filters") / "events"
    path.write_text("")
    return record_source.NeritAllEventsIterator(Path(path))


# The widths of the structural pass; "avx2" is "sse2" on a processor without AVX2.
VECTORS = ("scalar", "sse2", "avx2")


def native(line, options, priorities=(), sources=(), russian=False, colours=None,
           vectors="best"):
    ok, fail, grey, end = colours or (Formatter.COLOR_OK, Formatter.COLOR_FAIL,
                                      Formatter.COLOR_GREY, Formatter.COLOR_END)
    config = (list(priorities), list(sources), options.get("format_expression"),
              options.get("is_detailed", False), options.get("is_raw", False),
              options.get("no_color", False), options.get("use_iso_date", False), russian,
              ok, fail, grey, end)
    return _probe.event_line(line, config, vectors)


def host_decision(host, event, priorities, sources):
    host.set_priority_filter(list(priorities))
    host.set_source_filter(list(sources))
    try:
        return bool(host._filter_event(event))
    except Exception:  # noqa: BLE001 - an error is what the native path must decline
        return None


def host_text(cls, options, event, russian):
    saved = cls.LOCALE
    cls.LOCALE = "ru_RU" if russian else "en_US"
    try:
        return cls(**options).format_event(viewer_escape(event)).encode()
    except Exception:  # noqa: BLE001 - TypeError, KeyError, UnicodeEncodeError, ...
        return None
    finally:
        cls.LOCALE = saved


def check(host, line, options, priorities=(), sources=(), russian=False):
    """Asserts the native outcome agrees with the host, whatever the width of the structural
    pass; returns it."""
    scanned, accepted, text = native(line, options, priorities, sources, russian)
    for vectors in VECTORS:
        assert native(line, options, priorities, sources, russian, vectors=vectors) == (
            scanned, accepted, text), (line, vectors)
    try:  # the viewer reads lines as UTF-8 text, and drops those that are not
        line.decode()
    except UnicodeDecodeError:
        assert scanned is None, line
        return scanned, accepted, text
    assert scanned is not None, line
    try:
        event = json.loads(line.decode())
    except ValueError:
        assert not scanned, line
        return scanned, accepted, text
    if accepted is not None:
        assert accepted == host_decision(host, event, priorities, sources), line
    if text is not None:
        assert accepted
        assert text == host_text(Formatter, options, json.loads(line), russian), (line, options)
        assert text == host_text(twin.TwinEventFormatter, options, json.loads(line), russian)
    return scanned, accepted, text


# --- generated events --------------------------------------------------------------------------

PRIORITIES = ["err", "warning", "crit", "critical", "alert", "emerg", "emergency", "error",
              "info", "notice", "ERR", "err ", "", "крит"]
DATES = ["2024-03-05T10:20:30+03:00", "2024-03-05T10:20:30.123456+00:00", "2024-03-05",
         "2024-03-05 10:20:30", "2024-03-05T10:20:30Z", "2024-03-05T10:20:30.123",
         "2024-02-30T10:20:30", "2024-03-05T10:20", "2024-03-05T10:20:30+0300", "20240305",
         "2024-03-05T10:20:30.1234", "", "yesterday", "２０２４-03-05"]
KEYS = ["PRIORITY", "ISODATE", "DATE", "MSG", "source", "type_en", "type_ru", "name_en",
        "name_ru", "HOST", "PID", "", "type", "name", "PRIORITYX", "Ключ", "é", "%", "a%b",
        "ISODAT", "Type_en"]
NAMES = ["nerit-audit", "nerit-auth-x", "nerit-integrity-ext", "nerit", "kernel",
         "audit-nerit-x", "Nerit-audit", "nerit-", "-nerit", "ядро-nerit-сеть", ""]
PLAIN = st.characters(blacklist_categories=("Cs", "Cc"))  # no surrogates, no controls
TEXT = st.one_of(
    st.sampled_from(PRIORITIES + DATES + ["Аудит", "Login failed", "%PRIORITY", "%type_en%",
                                           "100%", "%source%%name_en", "a\tb", 'q"\\/']),
    st.text(PLAIN, max_size=10),
    st.text(PLAIN, max_size=10),
    st.text(max_size=6),  # controls and all
    st.text(st.sampled_from("ab%_\x7f\x85\x1b\n\\\"é€😀"), max_size=6),
)
SCALARS = st.one_of(TEXT, TEXT, TEXT, TEXT, TEXT, TEXT, st.integers(-10**20, 10**20),
                    st.floats(), st.booleans(), st.none())
KEY = st.one_of(st.sampled_from(KEYS), st.sampled_from(KEYS), st.text(PLAIN, max_size=5),
                st.text(max_size=3))


class Obj(list):
    """A JSON object written from its (key, value) pairs, repeated keys and all."""


NESTED = st.one_of(
    SCALARS, SCALARS, SCALARS, st.lists(SCALARS, max_size=2),
    st.lists(st.tuples(KEY, SCALARS), max_size=2).map(Obj))
FIELDS = st.lists(st.tuples(KEY, st.one_of(TEXT, TEXT, TEXT, NESTED)), max_size=6).map(Obj)


def to_json(value, ascii_only):
    if isinstance(value, Obj):
        return "{" + ",".join(to_json(k, ascii_only) + ":" + to_json(v, ascii_only)
                              for k, v in value) + "}"
    if isinstance(value, list):
        return "[" + ",".join(to_json(v, ascii_only) for v in value) + "]"
    return json.dumps(value, ensure_ascii=ascii_only)


def usual_event(draw):
    """The pairs of an event as the log writes it, fields chosen at random."""
    fields = Obj([("type_ru", "Вход"), ("type_en", "Login"), ("name_ru", "Выход из системы"),
                  ("name_en", "Logout"), ("subject", "ivanov"), ("object", "/dev/pts/3")])
    fields = Obj(draw(st.lists(st.sampled_from(fields), unique=True, max_size=len(fields))))
    top = [(draw(st.sampled_from(["ISODATE", "DATE"])), draw(st.sampled_from(DATES))),
           ("HOST", "srv-01"), ("PRIORITY", draw(st.sampled_from(PRIORITIES))),
           ("PID", "42"), ("MSG", Obj([(draw(st.sampled_from(NAMES)), fields)]))]
    return Obj(draw(st.permutations(top))), fields


@st.composite
def event_lines(draw):
    """Usual events with a few changes each: odd keys and values, repeats, missing keys,
    escapes, cut or extended lines."""
    top, fields = usual_event(draw)
    for _ in range(draw(st.integers(0, 3))):
        change = draw(st.integers(0, 9))
        if change <= 1:  # a new field, top-level or in the message block
            target = top if change == 0 else fields
            target.insert(draw(st.integers(0, len(target))), (draw(KEY), draw(NESTED)))
        elif change <= 3 and (top or fields):  # a value of another kind
            target = top if change == 2 and top else fields or top
            at = draw(st.integers(0, len(target) - 1))
            target[at] = (target[at][0], draw(NESTED))
        elif change == 4 and (top or fields):  # a key twice
            target = top if draw(st.booleans()) and top else fields or top
            target.append(draw(st.sampled_from(target)))
        elif change == 5 and top:  # a key missing
            del top[draw(st.integers(0, len(top) - 1))]
        elif change == 6:  # another message member, before or after the first
            at = next((i for i, (k, _) in enumerate(top) if k == "MSG"), None)
            if at is not None and isinstance(top[at][1], Obj):
                top[at][1].insert(draw(st.integers(0, 1)), (draw(st.sampled_from(NAMES)),
                                                             draw(FIELDS)))
        elif change == 7:  # a key of text and controls
            target = top if draw(st.booleans()) else fields
            target.append((draw(st.text(max_size=4)), draw(TEXT)))
        else:  # a value replaced by odd text
            target = top if change == 8 else fields
            if target:
                at = draw(st.integers(0, len(target) - 1))
                target[at] = (target[at][0], draw(TEXT))
    ascii_only = draw(st.booleans())
    text = to_json(top, ascii_only)
    try:
        line = text.encode()
    except UnicodeEncodeError:  # a lone surrogate: only its escape can stand in the line
        line = to_json(top, True).encode()
    ending = draw(st.sampled_from(["as is"] * 8 + ["cut", "extended"]))
    if ending == "cut":
        line = line[:draw(st.integers(0, len(line)))]
    elif ending == "extended":
        line += draw(st.sampled_from([b"x", b",", b"}", b" ", b"\xff", b"\r"]))
    return line


OPTIONS = st.fixed_dictionaries({
    "format_expression": st.one_of(
        st.none(), st.just(""), st.just("%ISODATE %PRIORITY %name_en"),
        st.lists(st.sampled_from(["%", "%%", " ", "x", "%type", "_en", "%PRIORITY", "%source",
                                  "%name_en", "%Ключ", "%é", "%ISODATE", "%a%b", "%HOST"]),
                 max_size=5).map("".join)),
    "is_detailed": st.booleans(),
    "is_raw": st.booleans(),
    "no_color": st.booleans(),
    "use_iso_date": st.booleans(),
})
FILTER_WORDS = st.one_of(
    st.just([]), st.lists(st.sampled_from(PRIORITIES[:6] + ["auth", "audit", "nerit", "", "x"]),
                          max_size=2))


@PROPERTY
@given(line=event_lines(), options=OPTIONS, priorities=FILTER_WORDS, sources=FILTER_WORDS,
       russian=st.booleans())
@example(line=b'{"PRIORITY":"err","MSG":{"nerit-auth":{"type_en":"T"}},"ISODATE":"2024-03-05"}',
         options={}, priorities=["err"], sources=["auth"], russian=False)
def test_native_events_agree_with_the_formatter_and_the_filters(filter_host, line, options,
                                                                 priorities, sources, russian):
    scanned, accepted, text = check(filter_host, line, options, priorities, sources, russian)
    # Shown by --hypothesis-show-statistics: the share of lines written natively.
    hypothesis.event(f"scanned={scanned} accepted={accepted} written={text is not None}")


LONG_TEXT = st.text(st.sampled_from("aé€жЖ😀ÿĀß \x7f\x85\\\""), max_size=40)
BROKEN_UTF8 = st.sampled_from([b"\x80", b"\xd0", b"\xc1\x81", b"\xe2\x82", b"\xed\xa0\x80",
                               b"\xf4\x90\x80\x80", b"\xff", b"\xd0\xb6", b""])


@settings(max_examples=500, deadline=None)
@given(text=LONG_TEXT, at=st.integers(0, 300), piece=BROKEN_UTF8, ascii_only=st.booleans())
def test_utf8_of_long_texts_is_checked_as_the_host_reads_it(filter_host, text, at, piece,
                                                           ascii_only):
    line = json.dumps({"PRIORITY": "info", "MSG": {"nerit-a": {"name_en": text}},
                       "ISODATE": "2024-03-05", text: "x"}, ensure_ascii=ascii_only).encode()
    at %= len(line) + 1
    for options in ({"is_raw": True}, {"no_color": True}):
        check(filter_host, line[:at] + piece + line[at:], options)


# --- what the path must handle itself ----------------------------------------------------------

REALISTIC_OPTIONS = [
    {}, {"no_color": True}, {"use_iso_date": True}, {"is_detailed": True},
    {"is_detailed": True, "no_color": True}, {"is_raw": True},
    {"format_expression": "%ISODATE %PRIORITY %name_en"},
]


@pytest.mark.parametrize("options", REALISTIC_OPTIONS)
@pytest.mark.parametrize("russian", [False, True])
def test_realistic_log_is_declined_only_where_the_host_raises(filter_host, options, russian):
    out = io.BytesIO()
    eventgen.generate(out, 60_000, 3, seed=7)
    lines = out.getvalue().splitlines()
    written = 0
    for line in lines:
        scanned, accepted, text = check(filter_host, line, options, ["err", "info"], ["a"],
                                        russian)
        try:
            event = json.loads(line)
        except ValueError:
            continue
        assert accepted is not None, line
        if accepted and text is None:  # only a "DATE" where ISODATE is to be printed
            assert host_text(Formatter, options, event, russian) is None, line
        written += text is not None
    assert written > len(lines) // 4


@pytest.mark.parametrize("line, options, text", [
    # A top-level "source" keeps its place; an inner one overrides it; other keys append.
    (b'{"source":"s","PRIORITY":"info","MSG":{"nerit-auth":{"x":"1","PRIORITY":"crit"}}}',
     {"is_raw": True}, b"source:   auth\nPRIORITY: crit\nx:        1\n"),
    (b'{"MSG":{"kernel":{"source":"in"}},"PRIORITY":"err"}', {"is_raw": True},
     b"PRIORITY: err\nsource:   in\n"),
    # Integers, true, false and null in the host's spelling; "-0" is the integer 0.
    (b'{"PRIORITY":null,"n":-0,"t":true,"f":false,"MSG":{"a":{"big":123456789012345678}}}',
     {"is_detailed": True, "no_color": True},
     b"Priority: None\nN:        0\nT:        True\nF:        False\nSource:   a\n"
     b"Big:      123456789012345678\n"),
    # Padding counts characters, not bytes.
    (b'{"\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87":"v","MSG":{"nerit-a":{}}}', {"is_raw": True},
     "ключ:   v\nsource: a\n".encode()),
    # The placeholder of a key that is a prefix of a later one eats the later one's start.
    (b'{"PRIORITY":"info","MSG":{"nerit-x":{"type":"T","type_en":"E"}}}',
     {"format_expression": "%type_en|%type|%PRIORITY%"}, b"T_en|T|info%"),
    # Text inserted for one key is searched again for later keys.
    (b'{"PRIORITY":"%source","MSG":{"nerit-x-y":{}}}', {"format_expression": "[%PRIORITY]"},
     b"[x]"),
    # A later key may match across text inserted before it, or take a "%" of its own.
    (b'{"c":"XYZ","abXYZ":"V","MSG":{"a":{}}}', {"format_expression": "%ab%c", "no_color": 1},
     b"V"),
    (b'{"a%b":"X","b":"Y","MSG":{"a":{}}}', {"format_expression": "%a%b %b", "no_color": 1},
     b"X Y"),
    (b'{"":"-","MSG":{"a":{}}}', {"format_expression": "1%2%%source", "no_color": 1},
     b"1-2--source"),
    (b'{"ISODATE":"2024-03-05T10:20:30+03:00","PRIORITY":"crit","MSG":{"a":{}}}', {},
     b"\x1b[90m05.03.2024 10:20:30\x1b[0m\x1b[90m, \x1b[0m\x1b[91mcrit\x1b[0m\x1b[90m, \x1b[0m"
     b"\x1b[90m\x1b[0m\x1b[90m, \x1b[0m"),
    (b'{"DATE":"2024-03-05","PRIORITY":"x","MSG":{"a":{"name_en":"\\u00e9\\n"}}}',
     {"no_color": True}, None),  # a control character: the viewer would escape it
])
def test_examples(filter_host, line, options, text):
    assert native(line, options)[2] == text
    check(filter_host, line, options)


@pytest.mark.parametrize("line, options, priorities, sources", [
    (b'{"PRIORITY":"err","PRIORITY":"info","MSG":{"a":{}}}', {}, ["err"], []),
    (b'{"PRIORITY":"err","MSG":{"a":{"x":"1","x":"2"}}}', {}, [], []),
    (b'{"PRIORITY":"err","MSG":{"a":{},"a":{"x":"1"}}}', {}, [], []),
    (b'{"PRIORITY":"err","\xc3\xa9":"x","MSG":{"a":{}}}', {"is_detailed": True}, [], []),
    (b'{"MSG":{"a":{}}}', {"is_raw": True}, ["err"], []),
    (b'{"PRIORITY":"err"}', {"is_raw": True}, [], ["x"]),
    (b'{"PRIORITY":["err"],"MSG":{"a":{}}}', {"is_raw": True}, ["err"], []),
    (b'{"PRIORITY":"err","MSG":"nerit-a"}', {"is_raw": True}, [], ["a"]),
    (b'{"PRIORITY":"err","MSG":{"nerit":{}}}', {"is_raw": True}, [], []),
    (b'{"PRIORITY":"err","MSG":{"a":[]}}', {"is_raw": True}, [], []),
    (b'{"PRIORITY":"err","r":1.5,"MSG":{"a":{}}}', {"is_raw": True}, [], []),
    (b'{"PRIORITY":"err","MSG":{"a":{"\xc3\xa9":"x"}}}', {"is_detailed": True}, [], []),
    (b'{"PRIORITY":"e\\ud800","MSG":{"a":{}}}', {"is_raw": True}, [], []),
    (b'{"PRIORITY":"err","MSG":{"a":{},"b\\u0085":{}}}', {"is_raw": True}, [], []),
    (b'{"PRIORITY":"err","MSG":{"a":{}},"k\x7f":"v"}', {"is_raw": True}, [], []),
    (b'{"PRIORITY":"err","MSG":{"a":{}}}', {"use_iso_date": True}, [], []),
    (b'{"ISODATE":"2024-03-05T10:20","PRIORITY":"err","MSG":{"a":{}}}', {}, [], []),
    (b'{"PRIORITY":"err","MSG":{"a":{}},"n":1}', {"format_expression": "x"}, [], []),
    (b'[1]', {}, [], []),
    (b'', {}, [], []),
])
def test_declined_where_the_host_raises_or_differs(filter_host, line, options, priorities,
                                                   sources):
    scanned, accepted, text = check(filter_host, line, options, priorities, sources)
    assert text is None


@pytest.mark.parametrize("line, accepted", [
    (b'{"PRIORITY":"err","MSG":{"x":{}}}', False),
    (b'{"PRIORITY":"err","MSG":{"nerit-auth":{}}}', True),
    (b'{"PRIORITY":"err","MSG":{}}', False),
    (b'{"PRIORITY":"info"}', False),  # rejected on priority before "MSG" is looked up
    (b'{"PRIORITY":7,"MSG":{"auth":{}}}', False),
    (b'{"PRIORITY":"err","MSG":{"x":{},"auth":{}}}', False),
    (b'{"PRIORITY":"er\\u0072","MSG":{"\\u0061uth":1}}', True),
    (b'{"PRIORITY":"err"}', None),
    (b'{"MSG":{"auth":{}}}', None),
])
def test_filter_decisions(filter_host, line, accepted):
    scanned, decision, _ = check(filter_host, line, {}, ["err"], ["auth"])
    assert decision is accepted


def test_colour_constants_come_from_the_settings(filter_host):
    line = b'{"PRIORITY":"warning","MSG":{"a":{"type_en":"T"}},"ISODATE":"2024-03-05"}'
    text = native(line, {}, colours=("<ok>", "<fail>", "(", ")"))[2]
    assert text == b"(05.03.2024 00:00:00)(, )<ok>warning)(, )(T)(, )"
    assert native(line, {"is_detailed": True}, colours=("<", ">", "[", "]"))[2] == (
        b"[Priority:] <warning]\n[Isodate:]  2024-03-05\n[Source:]   a\n[Type_en:]  T\n")


def test_russian_keeps_the_russian_fields(filter_host):
    line = ('{"PRIORITY":"info","ISODATE":"2024-03-05","MSG":{"nerit-a":{"type_ru":"Тип",'
            '"type_en":"Type","name_ru":"Имя","name_en":"Name"}}}').encode()
    assert native(line, {"no_color": True}, russian=True)[2] == (
        "05.03.2024 00:00:00, info, Тип, Имя".encode())
    assert native(line, {"is_raw": True}, russian=False)[2].endswith(
        b"type_en:  Type\nname_en:  Name\n")
    check(filter_host, line, {"is_raw": True}, russian=True)


# --- the structural pass: block edges, escapes and UTF-8 -----------------------------------------

def padded(filler, value, tail=b""):
    """A usual event whose "HOST" (after `filler` bytes of padding) holds `value`."""
    return (b'{"PRIORITY":"err","PAD":"' + b"p" * filler + b'","HOST":"' + value + b'"' + tail +
            b',"MSG":{"nerit-a":{"name_en":"N"}},"ISODATE":"2024-03-05"}')


@pytest.mark.parametrize("value", [
    b"", b"x", b'\\"', b"\\\\", b'\\\\\\"', b'a\\"b\\\\', b"\\/\\u00e9\\n",
    "é".encode(), "жж".encode(), '\\"é\\"'.encode(), "€😀".encode(), b"\\ud83d\\ude00",
    "\u0085".encode(), b"\x7f", b"\xc2\xa0", b"\\u007f",
], ids=repr)
@pytest.mark.parametrize("options", [{"is_raw": True}, {"format_expression": "[%HOST]"}])
def test_strings_at_every_place_of_a_block(filter_host, value, options):
    """Quotes, backslash runs and multi-byte characters at every place of the 64-byte blocks
    of the structural pass and of its 32- and 16-byte vectors."""
    for filler in range(0, 70):
        check(filter_host, padded(filler, value), options)


@pytest.mark.parametrize("line", [
    b"{}", b" {} ", b'{"a":1}', b"{", b'{"', b'{"a"', b'{"a":', b'{"a":"', b'{"a":"b}', b"[]",
    b'"x"', b"1", b"\t{}\r", b'{"a":-0}', b'{"a":-}', b'{"a":01}', b'{"a":1.}', b'{"a":1e}',
    b'{"a":[1,2,]}', b'{"a":1,}', b'{,}', b'{"a" : "b" , "c":[ ] }', b'{"a":tru}',
    b'{"a":-Infinity,"b":NaN}', b'{"a":1e400}', b'{"a":"\\x"}', b'{"a":"\\u12"}',
    b'{"a":"\\u12G4"}', b'\xef\xbb\xbf{}', b'{"a":"b"}x', b'{}\x00',
], ids=repr)
def test_lines_shorter_than_a_vector(filter_host, line):
    for options in ({"is_raw": True}, {}):
        check(filter_host, line, options)


@pytest.mark.parametrize("run", range(1, 6))
@pytest.mark.parametrize("shift", range(-6, 3))
def test_backslash_runs_across_a_block_edge(filter_host, run, shift):
    """A run of backslashes that ends or crosses byte 64, before a quote, a letter or the
    end of the text: an odd run escapes what follows it, an even one does not."""
    prefix = b'{"PRIORITY":"err","HOST":"'
    for after in (b'"', b"n", b""):
        filler = b"a" * (64 + shift - len(prefix) - run)
        line = prefix + filler + b"\\" * run + after + b'","MSG":{"a":{}}}'
        check(filter_host, line, {"is_raw": True})


BROKEN = [b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xd0", b"\xe2\x82", b"\xe0\x9f\x80",
          b"\xed\xa0\x80", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80",
          b"\xf0\x9f\x98", b"\xff", b"\xd0\xd0\xb6"]


@pytest.mark.parametrize("piece", BROKEN, ids=repr)
def test_invalid_utf8_at_every_place_is_dropped(piece):
    """Whatever the line holds around it, a broken sequence makes the line one the reader
    drops, at every offset (in keys, values, between tokens, at block and vector edges)."""
    line = ('{"ISODATE":"2024-03-05T10:20:30+03:00","Ключ":"значение","PRIORITY":"err",'
            '"MSG":{"nerit-auth":{"type_ru":"Вход","name_en":"Login € 😀"}}}').encode()
    for at in range(len(line) + 1):
        broken = line[:at] + piece + line[at:]
        for vectors in VECTORS:
            assert native(broken, {"is_raw": True}, vectors=vectors)[0] is None, (broken, vectors)


@pytest.mark.parametrize("size", [15, 16, 17, 31, 32, 33, 63, 64, 65, 95, 96, 97, 128])
@pytest.mark.parametrize("tail", [b"\xd0", b"\xe2\x82", b"\xf0\x9f\x98", b"\xd0\xb6", b"\xf0\x9f\x98\x80"],
                         ids=repr)
def test_a_sequence_cut_at_the_end_of_the_line(filter_host, size, tail):
    """The line ends inside (or right after) a multi-byte character, at vector edges."""
    head = b'{"a":"'
    line = head + b"x" * max(size - len(head) - len(tail), 0) + tail
    check(filter_host, line, {"is_raw": True})
    check(filter_host, line + b'"}', {"is_raw": True})


UTF8_PIECES = st.sampled_from([b"a", b'"', b"\\", b"{", b"}", b":", b",", b" ", b"\x00", b"\x1f",
                               b"\x7f", "é".encode(), "ж".encode(), "€".encode(), "😀".encode(),
                               "\u0085".encode()] + BROKEN)


@settings(max_examples=EXAMPLES, deadline=None)
@given(pieces=st.lists(UTF8_PIECES, max_size=80))
def test_the_pass_checks_utf8_as_the_host_decodes(filter_host, pieces):
    """Any bytes: the line is reported not UTF-8 exactly when the host cannot decode it, and
    the three widths agree on everything else too."""
    check(filter_host, b"".join(pieces), {"is_raw": True})
    check(filter_host, b'{"k":"' + b"".join(pieces) + b'","MSG":{"a":{}}}', {"is_raw": True})


# --- the whole-file driver ---------------------------------------------------------------------

def test_render_file_writes_each_handled_event_and_counts_the_rest(tmp_path, filter_host):
    good = b'{"ISODATE":"2024-03-05","PRIORITY":"err","MSG":{"nerit-auth":{"name_en":"N"}}}'
    lines = [good, good.replace(b"err", b"info"), b"not json", good.replace(b"N", b"\\u001b"),
             good + b"\r", b'{"MSG":{"a":{}}}', good.replace(b"N", b"\xd0")]
    path = tmp_path / "events"
    path.write_bytes(b"\n".join(lines))  # the last line has no line end
    config = (["err"], [], None, False, False, True, False, False, "", "", "", "")
    out = tmp_path / "out"

    def render(*offset):
        fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        try:
            return _probe.render_file(str(path), fd, config, *offset)
        finally:
            os.close(fd)

    assert render() == {"lines": 7, "written": 2, "rejected": 1, "declined_scan": 1,
                        "declined_filter": 1, "declined_layout": 1, "not_utf8": 1}
    assert out.read_bytes() == b"05.03.2024 00:00:00, err, , N\n" * 2
    # From the fourth line on.
    assert render(sum(len(line) + 1 for line in lines[:3]))["lines"] == 4
    assert out.read_bytes() == b"05.03.2024 00:00:00, err, , N\n"


def test_render_file_after_a_very_long_line(tmp_path):
    """The scan's buffers grown for a line of megabytes serve, and are given back for, the
    short lines after it."""
    event = {"ISODATE": "2024-03-05", "PRIORITY": "err", "MSG": {"nerit-auth": {"name_en": "N"}}}
    long_event = dict(event, HOST="ж\\/" * 600_000)
    lines = [json.dumps(event), json.dumps(long_event, ensure_ascii=False), json.dumps(event)]
    path = tmp_path / "events"
    path.write_text("\n".join(lines) + "\n")
    out = tmp_path / "out"
    fd = os.open(out, os.O_WRONLY | os.O_CREAT)
    try:
        config = ([], [], "%PRIORITY %HOST", False, False, True, False, False, "", "", "", "")
        counts = _probe.render_file(str(path), fd, config)
    finally:
        os.close(fd)
    assert counts["written"] == 3
    assert out.read_bytes().decode().split("\n") == ["err %HOST", "err " + "ж\\/" * 600_000,
                                                      "err %HOST", ""]


# --- the benchmark's three forms of the front --------------------------------------------------

@pytest.fixture(scope="module")
def generated_log(tmp_path_factory):
    path = tmp_path_factory.mktemp("bench") / "events"
    with open(path, "wb") as out:
        eventgen.generate(out, 150_000, 2, seed=3)
    return path


@pytest.mark.parametrize("mode", bench.FRONT_MODES)
def test_front_plain_python_and_core_print_the_same(generated_log, tmp_path, mode):
    """The benchmark compares like with like: the front, its plain-Python form and the core's
    ceiling print the same bytes for each mode (and so the core prints what the viewer does)."""
    count = 300
    since = datetime.date.today().isoformat()
    options = [x.replace("{count}", str(count)) for x in bench.FRONT_OPTIONS[mode]]
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    front = subprocess.run([sys.executable, "-m", "nerit_record_console", *options,
                            str(generated_log)], capture_output=True, check=True, env=env).stdout
    plain = subprocess.run(
        [sys.executable, str(BENCH / "jobs.py"), "front_python",
         json.dumps({"path": str(generated_log), "mode": mode, "count": count, "since": since})],
        capture_output=True, check=True, env=env).stdout
    offset, _ = jobs.printed_lines_offset(str(generated_log), mode, since, count)
    out = tmp_path / "out"
    fd = os.open(out, os.O_WRONLY | os.O_CREAT)
    try:
        counts = _probe.render_file(str(generated_log), fd, jobs.core_config(mode, Formatter), offset)
    finally:
        os.close(fd)
    if mode != "today":  # just after midnight there may be none
        assert front.count(b"\n") > 10
    assert plain == front
    assert out.read_bytes() == front
    assert counts["declined_filter"] == counts["declined_layout"] == 0


@pytest.mark.parametrize("line, options", [
    # A text much longer than the output buffer's first room.
    ('{"PRIORITY":"err","MSG":{"nerit-a":{"name_en":"' + "длинно " * 20_000 + '"}}}',
     {"is_raw": True}),
    ('{"PRIORITY":"err","MSG":{"nerit-a":{"name_en":"' + "%PRIORITY " * 5_000 + '"}}}',
     {"format_expression": "%name_en" * 3}),
    # Nesting the scanner reads to its depth limit, and beyond it (left to the host).
    ('{"PRIORITY":"err","x":' + "[" * 62 + "]" * 62 + ',"MSG":{"a":{"type_en":"T"}},'
     '"ISODATE":"2024-03-05"}', {}),
    ('{"PRIORITY":"err","x":' + "[" * 70 + "]" * 70 + ',"MSG":{"a":{}},"ISODATE":"2024-03-05"}',
     {}),
    # Every text escaped: the decoded texts fill the scan's own buffer.
    (json.dumps({"PRIORITY": "err", "ISODATE": "2024-03-05", "ключ" * 50: "значение" * 50,
                 "MSG": {"nerit-a": {"type_en": "\\/" * 40, "n": -123456789012345678}}}),
     {"is_raw": True}),
])
def test_large_and_deep_lines(filter_host, line, options):
    scanned, _, text = check(filter_host, line.encode(), options)
    assert scanned == (line.count("[") < 64)
    assert (text is None) == (line.count("[") >= 64)


@pytest.mark.parametrize("top, fields, names, scanned", [
    (60, 60, 12, True),
    (70, 0, 1, False),
    (0, 70, 1, False),
    (0, 0, 20, False),
])
def test_lines_of_more_members_than_the_scan_holds_are_declined(filter_host, top, fields, names,
                                                                 scanned):
    members = {f"k{i}": str(i) for i in range(top)}
    block = {"nerit-a": {f"f{i}": str(i) for i in range(fields)}}
    block.update({f"other{i}": {} for i in range(names - 1)})
    line = json.dumps({"PRIORITY": "err", **members, "MSG": block}).encode()
    assert check(filter_host, line, {"is_raw": True})[0] is scanned
    assert (native(line, {"is_raw": True})[2] is not None) is scanned
