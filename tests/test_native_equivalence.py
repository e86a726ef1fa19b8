"""The viewer with its native paths allowed against the viewer with every `_fast_paths` off.

Generated logs and option records are shown twice in process, each time into a real text file
over a buffered binary file; both runs must leave the same bytes in the file at every moment
that can be observed (the end of the pass, each wait of follow mode, after the final flush), end
the same way (return, exit status, or the same exception), and leave their iterator in the same
state (its file, its window position, and the events it would yield next).

A longer run: NERIT_EQUIVALENCE_EXAMPLES=20000 bash tools/test.sh tests/test_native_equivalence.py
"""
import array
import builtins
import copy
import fcntl
import io
import json
import os
import platform
import signal
import subprocess
import sys
import termios
import textwrap
import threading
import time
from datetime import date, timedelta
from pathlib import Path
from types import SimpleNamespace

import dateutil.parser

import hypothesis
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from nerit_record_console import record_console, record_layout, record_source

MODULES = (record_console, record_layout, record_source)
Formatter = record_layout.NeritEventFormatter

EXAMPLES = int(os.environ.get("NERIT_EQUIVALENCE_EXAMPLES", "3000"))
# Reproducible in CI: the same examples on every run, nothing kept between runs.
EQUIVALENCE = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                       suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# --- the JSON writer: every spelling a log line can hold ------------------------------------------

class Obj(list):
    """A JSON object written from its (key, value) pairs, repeated keys and all."""


class Raw(str):
    """JSON text written as it is."""


class Day:
    """A date text relative to the day the example runs: `form` with {d} for that day."""

    def __init__(self, offset, form):
        self.offset, self.form = offset, form

    def text(self, today):
        return self.form.format(d=(today + timedelta(days=self.offset)).isoformat())

    def __repr__(self):
        return f"Day({self.offset}, {self.form!r})"


SHORT_ESCAPES = {"\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


class Spelling:
    """How a string's characters are written: as they are, or as escapes (`mask` picks, per
    character, which of the two where both are allowed)."""

    def __init__(self, escape_all, mask, slash):
        self.escape_all, self.mask, self.slash = escape_all, mask, slash

    def string(self, text):
        out = ['"']
        for i, ch in enumerate(text):
            code = ord(ch)
            escape = self.escape_all or (self.mask >> (i % 16)) & 1
            if ch in '"\\':
                out.append("\\" + ch)
            elif ch == "/":
                out.append("\\/" if self.slash else "/")
            elif code < 0x20:
                out.append(SHORT_ESCAPES.get(ch, f"\\u{code:04x}") if not escape
                           else f"\\u{code:04x}")
            elif 0xD800 <= code <= 0xDFFF:  # a lone surrogate has no UTF-8 form
                out.append(f"\\u{code:04x}")
            elif code > 0x7E and escape:
                if code > 0xFFFF:
                    code -= 0x10000
                    out.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}")
                else:
                    out.append(f"\\u{code:04x}")
            else:
                out.append(ch)
        out.append('"')
        return "".join(out)


def to_json(value, spelling, today, spaced=False):
    colon, comma = (" : ", " , ") if spaced else (":", ",")
    if isinstance(value, Obj):
        return "{" + comma.join(to_json(k, spelling, today) + colon +
                                to_json(v, spelling, today, spaced) for k, v in value) + "}"
    if isinstance(value, list):
        return "[" + comma.join(to_json(v, spelling, today, spaced) for v in value) + "]"
    if isinstance(value, Raw):
        return value
    if isinstance(value, Day):
        return spelling.string(value.text(today))
    if isinstance(value, str):
        return spelling.string(value)
    return json.dumps(value)


# --- event lines ----------------------------------------------------------------------------------

PRIORITIES = ["err", "warning", "crit", "critical", "alert", "emerg", "emergency", "error",
              "info", "notice", "debug", "ERR", "err ", ""]
DATE_FORMS = ["{d}T10:20:30", "{d}T10:20:30+03:00", "{d}T00:00:00", "{d}T23:59:59",
              "{d}T23:59:59.500000", "{d}T12:00:00.123456+00:00", "{d}T08:00:00Z", "{d}",
              "{d} 10:20:30", "{d}T10:20", "{d}T10:20:30+0300"]
ODD_DATES = ["2024-02-30T10:20:30", "yesterday", "", "２０２４-03-05", "2024-13-01", "T10:20"]
DAYS = st.integers(-3, 1)
USUAL_DATE = st.builds(Day, DAYS, st.sampled_from(DATE_FORMS))
DATE_VALUE = st.one_of(USUAL_DATE, USUAL_DATE, st.sampled_from(ODD_DATES))
KEYS = ["PRIORITY", "ISODATE", "DATE", "MSG", "source", "type_en", "type_ru", "name_en",
        "name_ru", "HOST", "PID", "", "type", "name", "Ключ", "é", "%", "a%b", "ISODAT", "x/y"]
NAMES = ["nerit-audit", "nerit-auth-x", "nerit-integrity", "nerit", "kernel", "audit-nerit-x",
         "Nerit-audit", "nerit-", "-nerit", "ядро-nerit-сеть", "", "nerit-a\u0085"]
# Quotes, backslashes, slashes, controls raw and C1, DEL, multi-byte and astral characters,
# lone surrogates, a line separator: everything a string escape or the output can trip on.
ODD_CHARS = ("aZ 09é€ж😀%_\"\\/\t\n\r\x00\x07\x1b\x7f\x85\x9b\xa0\u2028\ufeff"
             "\ud800\udbff\udc80\udfff")
TEXT = st.one_of(
    st.sampled_from(PRIORITIES + ["Аудит", "Login failed", "srv-01", "/dev/pts/3"]),
    st.sampled_from(PRIORITIES + ["Аудит", "Login failed", "%PRIORITY", "%type_en%", "100%",
                                  "srv-01", "/dev/pts/3", "ivanov", "a\tb", 'q"\\/']),
    st.text(st.characters(blacklist_categories=("Cs", "Cc")), max_size=8),
    st.text(st.sampled_from(ODD_CHARS), max_size=6),
)
SCALAR = st.one_of(TEXT, TEXT, TEXT, TEXT, st.integers(-10**20, 10**20),
                   st.floats(allow_nan=True), st.booleans(), st.none())
KEY = st.one_of(st.sampled_from(KEYS), st.sampled_from(KEYS), st.text(st.sampled_from(ODD_CHARS),
                                                                      max_size=3))
NESTED = st.one_of(SCALAR, SCALAR, SCALAR, st.lists(SCALAR, max_size=2),
                   st.lists(st.tuples(KEY, SCALAR), max_size=2).map(Obj),
                   st.builds(lambda: Obj([("ISODATE", Day(-5, "{d}T10:00:00"))])))
SPELLINGS = st.builds(Spelling, st.booleans(), st.integers(0, 0xFFFF), st.booleans())


@st.composite
def event_pairs(draw, hazards):
    """The pairs of an event as the log writes it, then a few changes: with `hazards`, also
    those that may end a pass (values of another kind, keys missing, odd dates)."""
    fields = Obj(draw(st.lists(st.sampled_from(
        [("type_ru", "Вход"), ("type_en", "Login"), ("name_ru", "Выход из системы"),
         ("name_en", "Logout"), ("subject", "ivanov"), ("object", "/dev/pts/3")]),
        unique=True, max_size=6)))
    top = Obj([(draw(st.sampled_from(["ISODATE", "ISODATE", "DATE"])),
                draw(DATE_VALUE if hazards else USUAL_DATE)),
               ("HOST", "srv-01"), ("PRIORITY", draw(st.sampled_from(PRIORITIES))),
               ("PID", "42"), ("MSG", Obj([(draw(st.sampled_from(NAMES[:3] + NAMES[4:])),
                                            fields)]))])
    if draw(st.integers(0, 3)) == 0:
        top = Obj(draw(st.permutations(top)))
    for _ in range(draw(st.sampled_from([0, 0, 1, 1, 2, 3] if hazards else [0, 0, 0, 1, 2]))):
        change = draw(st.integers(0, 12 if hazards else 6))
        target = top if change % 2 == 0 or not fields else fields
        if change <= 1:  # a new text field
            target.insert(draw(st.integers(0, len(target))), (draw(KEY), draw(TEXT)))
        elif change == 2 and fields:  # a field's text replaced by odd text
            at = draw(st.integers(0, len(fields) - 1))
            fields[at] = (fields[at][0], draw(TEXT))
        elif change == 3 and target:  # a key twice
            target.append(draw(st.sampled_from(target)))
        elif change == 4:  # another message member after the first, its fields nested deeper
            message = next((v for k, v in top if k == "MSG" and isinstance(v, Obj)), None)
            if message is not None:
                message.append((draw(st.sampled_from(NAMES)),
                                Obj([("inner", Obj([("name_en", "deep")])), ("n", 1)])))
        elif change == 5:  # a date inside the message block, before the event's own
            fields.insert(0, ("DATE", draw(USUAL_DATE)))
        elif change == 6:  # a field that is not text, shown by the keyed layouts
            fields.append((draw(KEY), draw(NESTED)))
        elif change <= 8 and target:  # a value of another kind
            at = draw(st.integers(0, len(target) - 1))
            target[at] = (target[at][0], draw(NESTED))
        elif change == 9 and top:  # a key missing
            del top[draw(st.integers(0, len(top) - 1))]
        elif change == 10:  # the message block of another kind, or another member first
            at = next((i for i, (k, _) in enumerate(top) if k == "MSG"), None)
            if at is not None:
                top[at] = ("MSG", copy.deepcopy(draw(st.sampled_from(
                    ["nerit-a", [], Obj(), None, 3, Obj([("nerit", Obj())]),
                     Obj([("kernel", "text")]), Obj([("audit", Obj()), ("nerit-a", Obj())])]))))
        elif change == 11:  # big: deep nesting, many members, texts longer than any buffer
            big = draw(st.sampled_from(["deep", "deeper", "top", "fields", "members", "text"]))
            if big in ("deep", "deeper"):
                depth = 62 if big == "deep" else 70
                top.insert(1, ("x", Raw("[" * depth + "]" * depth)))
            elif big == "top":
                top[1:1] = [(f"k{i}", str(i)) for i in range(70)]
            elif big == "fields":
                fields.extend((f"f{i}", str(i)) for i in range(70))
            elif big == "members":
                message = next((v for k, v in top if k == "MSG" and isinstance(v, Obj)), None)
                if message is not None:
                    message.extend((f"other{i}", Obj()) for i in range(20))
            else:
                repeats = draw(st.sampled_from([600, 1500]))
                fields.append(("name_en", "длинно %PRIORITY " * repeats))
        elif top:  # a top-level value replaced by odd text
            at = draw(st.integers(0, len(top) - 1))
            top[at] = (top[at][0], draw(TEXT))
    return top


BROKEN_UTF8 = [b"\x80", b"\xd0", b"\xc0\x80", b"\xe2\x82", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
               b"\xff", b"\xf0\x9f\x98"]
NOT_EVENTS = [b"", b"   ", b"not json", b"{", b"{}", b'{"a":1}x', b"\xef\xbb\xbf{}", b"\x00",
              b'{"PRIORITY":"err"', b"[1, 2]", b'"text"', b"42", b"null",
              b'{"PRIORITY":"err"}', b'{"MSG":{"nerit-a":{}}}']


class Line:
    """One line of a log: an event or a fixed text, then one change to its bytes."""

    def __init__(self, body, spelling, spaced, change, at, end):
        self.body, self.spelling, self.spaced = body, spelling, spaced
        self.change, self.at, self.end = change, at, end

    def render(self, today, limit):
        if isinstance(self.body, bytes):
            line = self.body
        else:
            line = to_json(self.body, self.spelling, today, self.spaced).encode(
                "utf-8", "surrogatepass")
        kind, piece = self.change
        at = self.at % (len(line) + 1)
        if kind == "cut":
            line = line[:at]
        elif kind == "insert":  # invalid UTF-8, a raw control character, a stray byte
            line = line[:at] + piece + line[at:]
        elif kind == "long" and limit and line.endswith(b"}"):
            # Padded to the line-length limit and a little beyond.
            pad = limit + piece - len(line) - len(b',"PAD":""')
            if pad >= 0:
                line = line[:-1] + b',"PAD":"' + b"p" * pad + b'"}'
        return line + self.end

    def __repr__(self):
        return (f"Line({self.body!r}, spaced={self.spaced}, change={self.change!r}, "
                f"at={self.at}, end={self.end!r})")


NO_CHANGE = st.just(("none", None))
CHANGES = st.one_of(
    st.tuples(st.just("cut"), st.none()),
    st.tuples(st.just("insert"), st.sampled_from(BROKEN_UTF8 + [b"\x01", b"\x1b", b"\t", b"\r"])),
    st.tuples(st.just("long"), st.integers(-1, 2)),
)
ENDS = st.sampled_from([b"\n"] * 10 + [b"\r\n", b"\r"])
# Lines a pass goes through; and lines that may end it, or that a reader drops.
USUAL_LINES = st.builds(Line, event_pairs(hazards=False), SPELLINGS,
                        st.integers(0, 15).map(lambda n: n == 0), NO_CHANGE, st.just(0), ENDS)
ODD_LINES = st.builds(
    Line, st.one_of(event_pairs(hazards=True), event_pairs(hazards=True),
                    st.sampled_from(NOT_EVENTS)),
    SPELLINGS, st.booleans(), st.one_of(NO_CHANGE, NO_CHANGE, CHANGES), st.integers(0, 1 << 16),
    ENDS)


@st.composite
def log_lines(draw, max_usual=12):
    """Usual lines (mostly in time order) with up to three odd ones among them."""
    lines = draw(st.lists(USUAL_LINES, min_size=draw(st.sampled_from([0] + [1] * 7)),
                          max_size=max_usual))
    dated = [line.body[0] for line in lines if isinstance(line.body[0][1], Day)]
    if draw(st.integers(0, 3)) > 0:  # dates ascending, as the logger writes them
        days = sorted(pair[1].offset for pair in dated)
        for pair, offset in zip(dated, days):
            pair[1].offset = offset
    for odd in draw(st.lists(ODD_LINES, max_size=3)):
        lines.insert(draw(st.integers(0, len(lines))), odd)
    return lines


@st.composite
def logs(draw):
    """The lines of a log, and whether the last one ends."""
    return draw(log_lines()), draw(st.integers(0, 3)) > 0


# --- option records and standard output -----------------------------------------------------------

BOUND_FORMS = ["{d}", "{d} 12:00:00", "{d}T23:59:59", "{d}T00:00:00", "{d} 10:20:30.5",
               "{d}T10:20:30+03:00"]
BOUND = st.one_of(st.none(), st.just(""), *[st.builds(Day, DAYS, st.sampled_from(BOUND_FORMS))] * 8,
                  st.just("someday"))
SELECTIONS = st.one_of(
    st.fixed_dictionaries({"all": st.just(True)}),
    st.fixed_dictionaries({"count": st.integers(-1, 12)}),
    st.fixed_dictionaries({"since": BOUND, "until": BOUND}),
    st.fixed_dictionaries({"days_back": st.integers(-1, 4)}),
    st.fixed_dictionaries({"today": st.just(True)}),
    st.just({}),  # today's events
)
EXPRESSIONS = st.one_of(
    st.none(), st.just(""), st.just("%ISODATE %PRIORITY %name_en"), st.just("%name_ru|%type_ru"),
    st.lists(st.sampled_from(["%", "%%", " ", "x", "%type", "_en", "%PRIORITY", "%source",
                              "%name_en", "%Ключ", "%HOST", "%DATE", "%nothing", "\t"]),
             max_size=5).map("".join))
WORDS = st.one_of(st.none(), st.none(), st.just([]), st.lists(st.sampled_from(
    ["err", "warning", "crit", "info", "notice", "ERR", "", "audit", "auth", "nerit", "a", "x"]),
    min_size=1, max_size=3))
OPTIONS = st.fixed_dictionaries({
    "selection": SELECTIONS, "priority": WORDS, "source": WORDS, "format": EXPRESSIONS,
    "more_info": st.booleans(), "raw": st.booleans(), "nocolor": st.booleans(),
    "iso_date": st.booleans()})
LOCALES = st.sampled_from(["en_US", "ru_RU", None])
COLOURS = ("COLOR_OK", "COLOR_FAIL", "COLOR_GREY", "COLOR_END")
# The formatter's colours, changed on its class before the pass.
PALETTES = st.one_of(st.none(), st.none(), st.none(),
                     st.just(("<ok>", "<fail>", "(", ")")), st.just(("\x1b[1m", "", "\x1b[2m", "")))
STDOUTS = st.fixed_dictionaries({
    "encoding": st.sampled_from(["utf-8"] * 16 + ["utf8", "UTF-8", "utf-8-sig", "ascii",
                                                  "latin-1"]),
    "errors": st.sampled_from(["strict"] * 6 + ["replace", "backslashreplace", "surrogateescape",
                                                "surrogatepass", "ignore"]),
    "newline": st.sampled_from([None] * 6 + ["", "\n", "\r\n", "\r"]),
    "line_buffering": st.booleans(),
    "write_through": st.booleans(),
    "buffer_size": st.sampled_from([io.DEFAULT_BUFFER_SIZE] * 4 + [1, 64, 300]),
    "chunk_size": st.sampled_from([None] * 4 + [1, 64, 333]),
    "count_writes": st.integers(0, 3).map(lambda n: n == 0),
    "binary": st.sampled_from(["writer"] * 8 + ["random", "memory"]),
})
# Follow mode: what the logger appends at each wait (torn anywhere), and how the user ends it.
FOLLOWS = st.one_of(st.none(), st.none(), st.none(), st.fixed_dictionaries({
    "lines": log_lines(max_usual=4),
    "cuts": st.lists(st.integers(0, 1 << 16), max_size=3),
    "ending": st.sampled_from(["interrupt", "own error"]),
}))


# What Python code may change before a pass, each of which the pass must honour: the viewer's
# print, the formatter's and the iterators' classes (a method overridden), the host's JSON
# decoder and ISO date reader.
MEDDLING = st.sampled_from([None] * 14 + ["print", "format_event", "__next__", "_filter_event",
                                          "_filter_priority", "_filter_source", "json.loads",
                                          "isoparse"])
ITERATORS = ("NeritAllEventsIterator", "NeritRecentEventIterator", "NeritTimeRangeEventIterator",
             "NeritNewEventIterator")


def meddle(patch, how):
    """Changes what `how` names, in ways that show in the output or in what is selected."""
    if how == "print":
        patch.setattr(record_console, "print",
                      lambda *args, **options: builtins.print("|", *args, **options),
                      raising=False)
    elif how == "format_event":
        class MarkingFormatter(Formatter):
            def format_event(self, event):
                return super().format_event(event) + " <"
        patch.setattr(record_console, "NeritEventFormatter", MarkingFormatter)
    elif how in ("__next__", "_filter_event", "_filter_priority", "_filter_source"):
        for name in ITERATORS:
            patch.setattr(record_console, name, type(name, (getattr(record_source, name),),
                                                     {how: ITERATOR_HOOKS[how]}))
    elif how == "json.loads":
        loads = json.loads

        def loads_and_mark(text, *args, **options):
            event = loads(text, *args, **options)
            if isinstance(event, dict):
                event["seen"] = "yes"
            return event
        patch.setattr(json, "loads", loads_and_mark)
    elif how == "isoparse":
        isoparse = dateutil.parser.isoparse
        patch.setattr(dateutil.parser, "isoparse",
                      lambda text: isoparse(text) + timedelta(hours=12))


def hook(name, change):
    """A method `name` that calls the inherited one and returns change(its result, *args)."""
    def overridden(self, *args):
        return change(getattr(super(type(self), self), name)(*args), *args)
    return overridden


ITERATOR_HOOKS = {
    "__next__": hook("__next__", lambda event: {"n": "1", **event} if isinstance(event, dict)
                     else event),
    "_filter_event": hook("_filter_event", lambda passed, event: passed and (
        not isinstance(event, dict) or event.get("PRIORITY") != "notice")),
    "_filter_priority": hook("_filter_priority", lambda passed, event: passed and (
        not isinstance(event, dict) or event.get("PRIORITY") != "info")),
    "_filter_source": hook("_filter_source", lambda passed, event: not passed),
}


class FollowEnded(Exception):
    """Raised by the stand-in sleep of follow mode when the logger has nothing more to add."""


def option_record(path, options, follow, today):
    def text(value):
        return value.text(today) if isinstance(value, Day) else value
    values = dict(watch_file=str(path), priority=options["priority"], source=options["source"],
                  follow=follow is not None, since=None, until=None, days_back=None, today=False,
                  all=False, count=None, format=options["format"],
                  more_info=options["more_info"], raw=options["raw"], nocolor=options["nocolor"],
                  iso_date=options["iso_date"])
    values.update({key: text(value) for key, value in options["selection"].items()})
    return SimpleNamespace(**values)


class CountedFile(io.FileIO):
    """A raw file that notes the size of each write: what a reader of a pipe gets at a time."""

    def __init__(self, fd, mode, writes):
        super().__init__(fd, mode, closefd=False)
        self.writes = writes

    def write(self, data):
        written = super().write(data)
        self.writes.append(written)
        return written


class Output:
    """A run's standard output: a text file over a buffered binary file, as the interpreter
    makes sys.stdout, over `fd` (through a raw file that counts its writes when asked to) or
    over memory; and what has reached the file or the memory so far."""

    def __init__(self, fd, config):
        self.fd, self.memory, self.writes = fd, None, []
        binary = config["binary"]
        if binary == "memory":
            buffer = self.memory = io.BytesIO()
        else:
            mode = "w" if binary == "writer" else "r+"
            raw = (CountedFile(fd, mode, self.writes) if config["count_writes"]
                   else io.FileIO(fd, mode, closefd=False))
            buffered = io.BufferedWriter if binary == "writer" else io.BufferedRandom
            buffer = buffered(raw, buffer_size=config["buffer_size"])
        self.stream = io.TextIOWrapper(
            buffer, encoding=config["encoding"], errors=config["errors"],
            newline=config["newline"], line_buffering=config["line_buffering"],
            write_through=config["write_through"])
        if config["chunk_size"] is not None:
            self.stream._CHUNK_SIZE = config["chunk_size"]

    def arrived(self):
        if self.memory is not None:
            return self.memory.getvalue()
        return os.pread(self.fd, os.fstat(self.fd).st_size + 1, 0)

    def size(self):
        return len(self.memory.getvalue()) if self.memory is not None else os.fstat(self.fd).st_size


# --- one run --------------------------------------------------------------------------------------

def described(error):
    """An exception as the comparison sees it: its type, text, and the one it arose during."""
    context = error.__context__
    return (type(error).__module__, type(error).__qualname__, str(error),
            getattr(error, "code", None),
            None if context is None else (type(context).__qualname__, str(context)))


def iterator_state(viewer):
    """The iterator's file, its window position, and what it yields next (up to three events)."""
    iterator = viewer._NeritEventViewer__iterator
    file = iterator._file
    try:
        position = "closed" if file.closed else file.tell()
    except Exception as error:  # noqa: BLE001 - the error is the state
        position = described(error)
    upcoming = []
    for _ in range(3):
        try:
            upcoming.append(repr(next(iterator)))
        except StopIteration:
            upcoming.append("end")
            break
        except BaseException as error:  # noqa: BLE001 - KeyboardInterrupt from a wait too
            upcoming.append(described(error))
            break
    return type(iterator).__name__, position, getattr(iterator, "current_line", None), upcoming


def show(directory, case, fast, today):
    """Shows `case` once, native paths allowed or not; returns everything that can be seen."""
    lines, ends = case["log"]
    limit = case["limit"]
    body = b"".join(line.render(today, limit) for line in lines)
    if lines and not ends:
        body = body.rstrip(b"\r\n")
    path = directory / "events"
    path.write_bytes(body)
    out = directory / ("out-native" if fast else "out-host")
    fd = os.open(out, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
    seen = {}
    try:
        with pytest.MonkeyPatch.context() as patch:
            for module in MODULES:
                patch.setattr(module, "_fast_paths", fast)
            if limit:
                patch.setattr(record_source, "_max_line_length", limit)
            patch.setattr(Formatter, "LOCALE", case["locale"])
            for name, colour in zip(COLOURS, case["palette"] or ()):
                patch.setattr(Formatter, name, colour)
            meddle(patch, case["meddling"])
            output = Output(fd, case["stdout"])
            patch.setattr(sys, "stdout", output.stream)
            waits = seen["waits"] = []
            follow = case["follow"]
            if follow is not None:
                patch.setattr(record_source.time, "sleep",
                              logger(path, follow, today, limit, output, waits))
            try:
                viewer = record_console.NeritEventViewer(
                    option_record(path, case["options"], follow, today))
            except BaseException as error:  # noqa: BLE001
                seen["construction"] = described(error)
            else:
                try:
                    viewer.show_events()
                    seen["end"] = "returned"
                except BaseException as error:  # noqa: BLE001 - SystemExit, KeyboardInterrupt
                    seen["end"] = described(error)
                seen["written at the end"] = output.size()
                seen["iterator"] = iterator_state(viewer)
            try:
                output.stream.flush()
            except Exception as error:  # noqa: BLE001
                seen["flush"] = described(error)
            seen["bytes"], seen["raw writes"] = output.arrived(), output.writes
            try:
                output.stream.close()
            except Exception:  # noqa: BLE001 - reported by the flush above
                pass
    finally:
        os.close(fd)
    return seen


def logger(path, follow, today, limit, output, waits):
    """A stand-in for time.sleep: notes what had reached the output file by each wait and
    appends the next piece of the log; then ends follow mode."""
    appended = b"".join(line.render(today, limit) for line in follow["lines"])
    cuts = sorted({cut % (len(appended) + 1) for cut in follow["cuts"]} | {0, len(appended)})
    pieces = [appended[a:b] for a, b in zip(cuts, cuts[1:])]

    def sleep(seconds):
        waits.append((seconds, output.size()))
        if pieces:
            with open(path, "ab") as log:
                log.write(pieces.pop(0))
            return
        raise KeyboardInterrupt if follow["ending"] == "interrupt" else FollowEnded()

    return sleep


@pytest.fixture(scope="module")
def work_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("equivalence")


CASES = st.fixed_dictionaries({
    "log": logs(), "options": OPTIONS, "locale": LOCALES, "palette": PALETTES, "stdout": STDOUTS,
    "limit": st.sampled_from([None] * 3 + [1024]), "follow": FOLLOWS, "meddling": MEDDLING})


def usual_case(**changes):
    line = Line(Obj([("ISODATE", Day(0, "{d}T10:20:30+03:00")), ("PRIORITY", "err"),
                     ("MSG", Obj([("nerit-audit", Obj([("type_en", "Audit"),
                                                       ("name_en", "Login")]))]))]),
                Spelling(False, 0, False), False, ("none", None), 0, b"\n")
    case = {"log": ([line] * 3, True), "locale": "en_US", "palette": None, "limit": None,
            "follow": None, "meddling": None,
            "options": {"selection": {"all": True}, "priority": None, "source": None,
                        "format": None, "more_info": False, "raw": False, "nocolor": False,
                        "iso_date": False},
            "stdout": {"encoding": "utf-8", "errors": "strict", "newline": None,
                       "line_buffering": False, "write_through": False,
                       "buffer_size": io.DEFAULT_BUFFER_SIZE, "chunk_size": None,
                       "count_writes": False, "binary": "writer"}}
    case.update(changes)
    return case


@EQUIVALENCE
@given(case=CASES)
@example(case=usual_case())
@example(case=usual_case(follow={"lines": [], "cuts": [], "ending": "interrupt"}))
def test_native_and_host_paths_show_the_same(work_dir, case):
    for _ in range(3):  # a pair of runs on either side of midnight is shown again
        today = date.today()
        native = show(work_dir, case, True, today)
        host = show(work_dir, case, False, today)
        if date.today() == today:
            break
    assert native == host
    # Shown by --hypothesis-show-statistics: how the examples ended.
    ending = host.get("construction") or host["end"]
    hypothesis.event(f"ended: {ending if isinstance(ending, str) else ending[1:2] + ending[3:4]}"
                     f", printed: {bool(host['bytes'])}")


def test_a_run_sees_the_output_the_end_and_the_iterator(work_dir):
    """What the comparison rests on: the bytes shown, kept back until the end, and the state."""
    today = date.today()
    expected = (f"\x1b[90m{today:%d.%m.%Y} 10:20:30\x1b[0m\x1b[90m, \x1b[0m\x1b[93merr\x1b[0m"
                f"\x1b[90m, \x1b[0m\x1b[90mAudit\x1b[0m\x1b[90m, \x1b[0mLogin\n").encode() * 3
    seen = show(work_dir, usual_case(), False, today)
    assert seen["bytes"] == expected and seen["written at the end"] == 0
    assert seen["end"] == "returned" and "flush" not in seen
    name, position, current_line, upcoming = seen["iterator"]
    assert (name, position, current_line) == ("NeritAllEventsIterator", "closed", None)
    assert upcoming[0][1:3] == ("ValueError", "I/O operation on closed file.")
    stdout = dict(usual_case()["stdout"], line_buffering=True, count_writes=True)
    seen = show(work_dir, usual_case(stdout=stdout, options=dict(
        usual_case()["options"], selection={"count": 2}, more_info=True, nocolor=True)),
        True, today)
    text = len("Isodate:  YYYY-MM-DDT10:20:30+03:00\nPriority: err\nSource:   audit\n"
               "Type_en:  Audit\nName_en:  Login\n")
    assert seen["written at the end"] == len(seen["bytes"]) == 2 * (text + 1)
    assert seen["raw writes"] == [text, 1, text, 1]  # the layout's text holds line ends
    assert seen["iterator"] == ("NeritRecentEventIterator", "closed", 2, ["end"])
    seen = show(work_dir, usual_case(follow={"lines": [], "cuts": [], "ending": "interrupt"}),
                True, today)
    assert seen["end"][1] == "SystemExit" and seen["end"][3] == 0
    assert seen["waits"] == [(1, 0), (1, 0)]  # the pass and the draw after it


# --- the output goes away in mid-pass ------------------------------------------------------------

def busy_log(path, events):
    """A log of many events: mostly usual ones, with every few lines one the native path leaves
    to the host (an escape, a control character, a repeated key)."""
    today = date.today().isoformat()
    odd = ['"name_en":"tab\\there"', '"name_en":"\\u00e9\\u001b[2J"',
           '"name_en":"a","name_en":"b"', '"name_en":"' + "ж" * 40 + '"', '"path":"\\/dev\\/pts"']
    with open(path, "w", encoding="utf-8") as log:
        for n in range(events):
            fields = odd[n // 7 % len(odd)] if n % 7 == 3 else f'"name_en":"event {n}"'
            log.write(f'{{"ISODATE":"{today}T{n // 3600 % 24:02d}:{n // 60 % 60:02d}:'
                      f'{n % 60:02d}","PRIORITY":"{PRIORITIES[n % 10]}",'
                      f'"MSG":{{"nerit-audit":{{"type_en":"Audit",{fields}}}}}}}\n')


PASSES = [
    ({"all": True, "nocolor": True}, 10_000),
    ({"all": True, "more_info": True}, 20_001),
    ({"count": 900, "priority": ["err", "info", "notice"]}, 7_777),
    ({"today": True, "format": "%PRIORITY %name_en %source"}, 4_097),
]
WRITE_SYSCALL = {"x86_64": "1", "aarch64": "64"}.get(platform.machine())


def blocked_writing(thread_id, fd):
    """Whether the thread sleeps in write(2) on the pipe `fd`, waiting for room."""
    task = Path(f"/proc/self/task/{thread_id}")
    try:
        waiting_in = (task / "wchan").read_text()
        fields = (task / "syscall").read_text().split()
    except OSError:
        return False
    return "pipe_write" in waiting_in and fields[:2] == [WRITE_SYSCALL, hex(fd)]


def sees_blocked_writes():
    """Whether this system shows where a thread sleeps: a thread blocked on a full pipe."""
    if WRITE_SYSCALL is None:
        return False
    read_end, write_end = os.pipe()
    try:
        fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
        writer = threading.Thread(target=os.write, args=(write_end, bytes(8192)), daemon=True)
        writer.start()
        deadline = time.monotonic() + 5
        while writer.native_id is None or not blocked_writing(writer.native_id, write_end):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.001)
        return True
    finally:
        while writer.is_alive():  # drained, the write completes
            if in_pipe(read_end):
                os.read(read_end, 8192)
            writer.join(0.01)
        os.close(read_end)
        os.close(write_end)


def in_pipe(fd):
    count = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, count)
    return count[0]


class Reader:
    """The reader of a pipe that takes `wanted` bytes and closes its end. It reads only while
    the writer is blocked on the full pipe (or done), so that what the pipe holds, and which
    write fails, depend on nothing but the writes."""

    def __init__(self, read_end, write_end, wanted):
        self.read_end, self.write_end, self.wanted = read_end, write_end, wanted
        self.writer = threading.get_native_id()
        self.done = threading.Event()
        self.received, self.left_in_pipe = b"", None
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def wait_for_the_writer(self):
        while not (self.done.is_set() or blocked_writing(self.writer, self.write_end)):
            time.sleep(0.0005)

    def run(self):
        while len(self.received) < self.wanted:
            self.wait_for_the_writer()
            available = in_pipe(self.read_end)
            if not available and self.done.is_set():
                break
            self.received += os.read(self.read_end,
                                     min(available, self.wanted - len(self.received)))
        self.wait_for_the_writer()
        self.left_in_pipe = in_pipe(self.read_end)
        os.close(self.read_end)

    def finish(self):
        self.done.set()
        self.thread.join(60)
        assert not self.thread.is_alive()


def show_into_pipe(path, selection, wanted, fast):
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    seen = {}
    try:
        with pytest.MonkeyPatch.context() as patch:
            for module in MODULES:
                patch.setattr(module, "_fast_paths", fast)
            stream = io.TextIOWrapper(io.BufferedWriter(io.FileIO(write_end, "w", closefd=False)),
                                      encoding="utf-8")
            patch.setattr(sys, "stdout", stream)
            options = dict(watch_file=str(path), priority=None, source=None, follow=False,
                           since=None, until=None, days_back=None, today=False, all=False,
                           count=None, format=None, more_info=False, raw=False, nocolor=False,
                           iso_date=False)
            viewer = record_console.NeritEventViewer(SimpleNamespace(**{**options, **selection}))
            reader = Reader(read_end, write_end, wanted)
            try:
                viewer.show_events()
                seen["end"] = "returned"
            except BaseException as error:  # noqa: BLE001
                seen["end"] = described(error)
            finally:
                reader.finish()
            seen["iterator"] = iterator_state(viewer)
            try:
                stream.close()
            except OSError as error:
                seen["close"] = described(error)
    finally:
        os.close(write_end)
    seen["received"], seen["left in the pipe"] = reader.received, reader.left_in_pipe
    return seen


@pytest.mark.skipif(not sees_blocked_writes(),
                    reason="needs /proc/self/task/<tid>/wchan and syscall to see a blocked write")
@pytest.mark.parametrize("selection, wanted", PASSES)
def test_a_closed_pipe_fails_at_the_same_event(tmp_path, selection, wanted):
    path = tmp_path / "events"
    busy_log(path, 3000)
    previous = signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    try:
        native, host = (show_into_pipe(path, selection, wanted, fast) for fast in (True, False))
    finally:
        signal.signal(signal.SIGPIPE, previous)
    assert native == host
    assert native["end"][1] == "BrokenPipeError" and len(native["received"]) == wanted
    assert native["iterator"][3][0] not in ("end",)  # it failed in mid-pass


FULL_DISK_RUN = textwrap.dedent("""
    import io, json, os, resource, signal, sys, types
    from nerit_record_console import record_console, record_layout, record_source
    log, out, limit, fast, selection = sys.argv[1:]
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), resource.RLIM_INFINITY))
    for module in (record_console, record_layout, record_source):
        module._fast_paths = fast == "1"
    fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    sys.stdout = io.TextIOWrapper(io.BufferedWriter(io.FileIO(fd, "w")), encoding="utf-8")
    options = dict(watch_file=log, priority=None, source=None, follow=False, since=None,
                   until=None, days_back=None, today=False, all=False, count=None, format=None,
                   more_info=False, raw=False, nocolor=False, iso_date=False)
    options.update(json.loads(selection))
    viewer = record_console.NeritEventViewer(types.SimpleNamespace(**options))
    try:
        viewer.show_events()
        end = "returned"
    except BaseException as error:
        end = [type(error).__name__, str(error), getattr(error, "errno", None)]
    iterator = viewer._NeritEventViewer__iterator
    upcoming = [repr(next(iterator, "end")) for _ in range(2)]
    written = os.fstat(fd).st_size
    sys.stderr.write(json.dumps([end, written, getattr(iterator, "current_line", None),
                                 upcoming]))
    sys.stderr.flush()
    os._exit(0)
""")


@pytest.mark.parametrize("selection, limit", PASSES)
def test_a_full_disk_fails_at_the_same_event(tmp_path, selection, limit):
    path = tmp_path / "events"
    busy_log(path, 3000)
    seen = []
    for fast in ("1", "0"):
        out = tmp_path / f"out-{fast}"
        run = subprocess.run(
            [sys.executable, "-B", "-c", FULL_DISK_RUN, str(path), str(out), str(limit), fast,
             json.dumps(selection)],
            capture_output=True, timeout=60, env={**os.environ, "NERIT_HOST_PATHS": "0"})
        assert run.returncode == 0, run.stderr
        seen.append((json.loads(run.stderr), out.read_bytes()))
    (native, native_bytes), (host, host_bytes) = seen
    assert native == host and native_bytes == host_bytes
    assert native[0][2] == 27 and len(native_bytes) == limit  # EFBIG: the file is full
