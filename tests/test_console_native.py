"""The viewer's native print loop: it runs only while nothing written in Python could see the
events, hands standard output the same blocks as print would, and gives way to Python code the
moment that code changes something."""
import gc
import io
import json
import os
import signal
import sys
import threading
import time
from datetime import date
from types import SimpleNamespace

import pytest

from nerit_record_console import record_console, record_layout, record_source

MODULES = (record_console, record_layout, record_source)
PRIORITIES = ("err", "info", "notice", "warning", "crit", "debug")


def event_line(n, today, name=None):
    name = f"event {n}" if name is None else name
    return (f'{{"ISODATE":"{today}T10:{n // 60 % 60:02d}:{n % 60:02d}","PRIORITY":'
            f'"{PRIORITIES[n % len(PRIORITIES)]}","MSG":{{"nerit-audit":{{"type_en":"Audit",'
            f'"name_en":{json.dumps(name)}}}}}}}\n')


def write_log(path, count, odd=()):
    """`count` usual events; the lines numbered in `odd` are replaced by the text (or bytes)
    given there (a malformed line, an event the native path leaves to the host)."""
    today = date.today().isoformat()
    odd = dict(odd)
    with open(path, "wb") as log:
        for n in range(count):
            line = odd.get(n, event_line(n, today))
            log.write(line if isinstance(line, bytes) else line.encode())
    return path


def options(path, **chosen):
    values = dict(watch_file=str(path), priority=None, source=None, follow=False, since=None,
                  until=None, days_back=None, today=False, all=True, count=None, format=None,
                  more_info=False, raw=False, nocolor=False, iso_date=False)
    values.update(chosen)
    return SimpleNamespace(**values)


class RecordingRaw(io.RawIOBase):
    """A raw file that keeps each block its buffer hands it, and what it holds."""

    def __init__(self):
        self.blocks = []

    def writable(self):
        return True

    def write(self, data):
        self.blocks.append(bytes(data))
        return len(data)


def recording_stdout(line_buffering=False, write_through=False, chunk_size=None,
                     buffer_size=io.DEFAULT_BUFFER_SIZE, errors="strict", newline=None):
    raw = RecordingRaw()
    stream = io.TextIOWrapper(io.BufferedWriter(raw, buffer_size), encoding="utf-8",
                              errors=errors, newline=newline, line_buffering=line_buffering,
                              write_through=write_through)
    if chunk_size is not None:
        stream._CHUNK_SIZE = chunk_size
    return stream, raw


def show(monkeypatch, fast, viewer_options, stdout, during=None):
    """Shows once with the native paths allowed or forbidden; the end of the pass and the
    blocks that reached the raw file before the final flush."""
    with monkeypatch.context() as patch:
        for module in MODULES:
            patch.setattr(module, "_fast_paths", fast)
        patch.setattr("sys.stdout", stdout)
        if during is not None:
            during(patch)
        viewer = record_console.NeritEventViewer(viewer_options)
        try:
            viewer.show_events()
            end = "returned"
        except BaseException as error:  # noqa: BLE001
            end = (type(error).__name__, str(error))
    return end


def both_ways(monkeypatch, viewer_options, make_stdout=recording_stdout, during=None):
    seen = []
    for fast in (True, False):
        stream, raw = make_stdout()
        end = show(monkeypatch, fast, viewer_options, stream, during)
        blocks = list(raw.blocks)
        try:
            stream.flush()
        except ValueError:  # closed or detached
            pass
        seen.append((end, blocks, b"".join(raw.blocks)))
    return seen


def cpu_time_to_show(monkeypatch, fast, viewer_options, during=None):
    stream, raw = recording_stdout()
    started = time.process_time()
    show(monkeypatch, fast, viewer_options, stream, during)
    return time.process_time() - started


def test_the_native_loop_runs_where_it_may(tmp_path, monkeypatch):
    """The host's loop makes a dict and a dozen calls for every event, the native loop none:
    on the same log it takes a fraction of the time (the least of three runs each)."""
    log = write_log(tmp_path / "events", 30_000)
    native = min(cpu_time_to_show(monkeypatch, True, options(log)) for _ in range(3))
    host = min(cpu_time_to_show(monkeypatch, False, options(log)) for _ in range(3))
    assert native < host / 2.5


@pytest.mark.parametrize("stdout", [
    dict(),
    dict(chunk_size=100),
    dict(chunk_size=1, buffer_size=16),
    dict(chunk_size=300, buffer_size=64),
    dict(line_buffering=True),
    dict(line_buffering=True, chunk_size=50),
    dict(write_through=True, buffer_size=1),
    dict(newline="\r\n", chunk_size=300),
    dict(newline="\r", line_buffering=True),
    dict(newline="", chunk_size=300),
])
@pytest.mark.parametrize("chosen", [
    dict(),
    dict(more_info=True, nocolor=True),
    dict(all=False, today=True, format="%PRIORITY %name_en"),
    dict(priority=["err", "crit"]),
    dict(all=False, count=250, source=["audit"]),
])
def test_standard_output_gets_the_same_blocks_as_from_print(tmp_path, monkeypatch, stdout,
                                                            chosen):
    """Whatever the text file's buffering and chunk size, its buffer is handed the same blocks
    at the same points; lines the native path declines (a tab, a repeated key, a malformed
    line) go the host's way in between."""
    log = write_log(tmp_path / "events", 400, {
        7: '{"ISODATE":"2020-01-01T00:00:00","PRIORITY":"err","MSG":{"a":{"name_en":"t\\tb"}}}\n',
        150: "not json\n",
        160: event_line(160, date.today()).encode().replace(b"event", b"ev\xffent"),
        161: b'{"PRIORITY":"err",\xc3"MSG":{}}\n',
        151: event_line(151, date.today()).replace('"PRIORITY":', '"PRIORITY":"err","PRIORITY":'),
        399: event_line(399, date.today(), name="ж" * 5000)})
    native, host = both_ways(monkeypatch, options(log, **chosen),
                             lambda: recording_stdout(**stdout))
    assert native == host
    assert host[0] == "returned" and len(host[2].splitlines()) >= 100


CHANGES = {
    "class constant": lambda patch: patch.setattr(record_layout.NeritEventFormatter,
                                                  "COLOR_OK", "<ok>"),
    "formatter method": lambda patch: patch.setattr(
        record_layout.NeritEventFormatter, "format_event",
        lambda self, event: f"seen {event['PRIORITY']}"),
    "print": lambda patch: patch.setattr("builtins.print",
                                         lambda text: sys.stdout.write(f"print: {text}\n")),
    "module switch": lambda patch: patch.setattr(record_source, "_fast_paths", False),
    "filter set": None,  # the iterator's own set, changed in place
    "viewer's formatter": None,  # another formatter, without colours
    "sys.stdout": None,  # another text file
    "json.loads": lambda patch: patch.setattr(json, "loads", lambda text, real=json.loads: dict(
        real(text), MSG={"nerit-x": {"type_en": "Other", "name_en": "decoded elsewhere"}})),
}


@pytest.mark.parametrize("selection", [dict(), dict(all=False, count=250)])
@pytest.mark.parametrize("change", sorted(CHANGES))
def test_a_change_made_in_mid_pass_holds_from_the_next_event(tmp_path, monkeypatch, change,
                                                             selection):
    """Python code runs in mid-pass when a line goes the host's way (here: the decoder's error
    for a malformed line); what it changes is in force from the next event on."""
    log = write_log(tmp_path / "events", 300, {120: "{broken\n"})
    second = []

    def during(patch):
        real_error_init = json.JSONDecodeError.__init__

        def change_now(error, *args):
            real_error_init(error, *args)
            viewer = viewers[-1]
            if change == "filter set":
                iterator = viewer._NeritEventViewer__iterator
                iterator._NeritEventIterator__priority_filter.add("warning")
            elif change == "viewer's formatter":
                viewer._NeritEventViewer__formatter = record_layout.NeritEventFormatter(
                    format_expression=None, is_detailed=False, is_raw=False, no_color=True,
                    use_iso_date=False)
            elif change == "sys.stdout":
                stream, raw = recording_stdout()
                second.append((stream, raw))
                patch.setattr("sys.stdout", stream)
            else:
                CHANGES[change](patch)

        patch.setattr(json.JSONDecodeError, "__init__", change_now)
        real_init = record_console.NeritEventViewer.__init__
        patch.setattr(record_console.NeritEventViewer, "__init__",
                      lambda self, args: (viewers.append(self), real_init(self, args))[1])

    viewers = []
    chosen = dict(selection, priority=["err"]) if change == "filter set" else selection
    native, host = both_ways(monkeypatch, options(log, **chosen), during=during)
    assert native == host
    if change == "sys.stdout":  # the events after the change went to the other file
        for stream, raw in second:
            stream.flush()
        (_, native_raw), (_, host_raw) = second
        assert native_raw.blocks == host_raw.blocks != []
    assert native[0] == "returned"


def test_a_signal_handler_in_mid_pass_takes_effect_at_the_next_event(tmp_path, monkeypatch):
    """A handler that runs while a full pipe holds up a hand-off (its write is interrupted)
    changes a class constant: the events formatted after it show the new value, as print's."""
    log = write_log(tmp_path / "events", 2000)
    received = []
    for fast in (True, False):
        read_end, write_end = os.pipe()
        import fcntl
        fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
        main = threading.get_ident()
        chunks = []

        def read_slowly():
            total = 0
            while True:
                data = os.read(read_end, 4096)
                if not data:
                    break
                chunks.append(data)
                total += len(data)
                if total >= 20000 and not sent:
                    sent.append(True)
                    signal.pthread_kill(main, signal.SIGUSR1)

        sent = []
        previous = signal.signal(signal.SIGUSR1, lambda *_: setattr(
            record_layout.NeritEventFormatter, "COLOR_OK", "<ok>"))
        reader = threading.Thread(target=read_slowly)
        reader.start()
        try:
            with monkeypatch.context() as patch:
                patch.setattr(record_layout.NeritEventFormatter, "COLOR_OK",
                              record_layout.NeritEventFormatter.COLOR_OK)
                stream = io.TextIOWrapper(io.BufferedWriter(io.FileIO(write_end, "w")),
                                          encoding="utf-8")
                show(monkeypatch, fast, options(log), stream)
                stream.close()
        finally:
            reader.join(30)
            os.close(read_end)
            signal.signal(signal.SIGUSR1, previous)
        received.append(b"".join(chunks))
    native, host = received
    assert b"<ok>" in host and native.count(b"\n") == host.count(b"\n") == 2000
    # The handler ran at some moment of each run; from then on every event shows the change.
    for seen in (native, host):
        lines = [b"<ok>" in line for line in seen.splitlines() if b"warning" in line]
        assert lines == sorted(lines)


def test_the_host_switch_of_any_module_forces_the_host_loop(tmp_path, monkeypatch):
    """Each module's switch alone sends every event the host's way (the others' fast paths
    still decode and format it natively, so the loss is smaller)."""
    log = write_log(tmp_path / "events", 30_000)
    native = min(cpu_time_to_show(monkeypatch, True, options(log)) for _ in range(3))
    for module in MODULES:
        slower = min(cpu_time_to_show(monkeypatch, True, options(log), lambda patch: patch.setattr(
            module, "_fast_paths", False)) for _ in range(2))
        assert slower > native * 1.5, module.__name__


@pytest.mark.parametrize("stdout", [dict(), dict(chunk_size=200), dict(line_buffering=True),
                                    dict(errors="replace")])
def test_follow_mode_hands_its_text_on_before_each_wait(tmp_path, monkeypatch, stdout):
    """At each wait of follow mode the file holds what print would have left in it; appended
    events, declined ones among them (a lone surrogate, which the file writes as its errors
    value says), print as they come; the interrupt ends with status 0."""
    log = tmp_path / "events"
    today = date.today().isoformat()
    appended = [[event_line(n, today) for n in range(100, 100 + k)] for k in (3, 40, 0, 1)]
    appended[1][5] = "{broken\n"
    appended[1][9] = event_line(109, today, name="tab\there")

    def run(fast):
        write_log(log, 50, {45: event_line(45, today).replace("event 45", "\\ud800")}
                  if "errors" in stdout else {})
        stream, raw = recording_stdout(**stdout)
        waits = []

        def sleep(seconds):
            waits.append((seconds, b"".join(raw.blocks)))
            if len(waits) > len(appended):
                raise KeyboardInterrupt
            with open(log, "a", encoding="utf-8") as out:
                out.writelines(appended[len(waits) - 1])

        end = show(monkeypatch, fast, options(log, all=False, count=10, follow=True), stream,
                   lambda patch: patch.setattr(record_source, "time",
                                               SimpleNamespace(sleep=sleep)))
        return end, waits

    native, host = run(True), run(False)
    assert native == host
    assert native[0] == ("SystemExit", "0") and len(native[1]) == len(appended) + 1
    assert native[1][-1][1].count(b"\n") == (10 + 43 if stdout.get("line_buffering") else 0)


def closed_stdout():
    stream, raw = recording_stdout()
    stream.close()
    return stream, raw


def detached_stdout():
    stream, raw = recording_stdout()
    stream.detach()
    return stream, raw


def latin1_stdout():
    raw = RecordingRaw()
    return io.TextIOWrapper(io.BufferedWriter(raw), encoding="latin-1", errors="replace"), raw


class ReadingRaw(RecordingRaw):
    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        return 0

    def seek(self, offset, whence=0):
        return 0


def reading_stdout():
    raw = ReadingRaw()
    return io.TextIOWrapper(io.BufferedRandom(raw), encoding="utf-8"), raw


@pytest.mark.parametrize("make_stdout", [closed_stdout, detached_stdout, latin1_stdout,
                                         reading_stdout])
@pytest.mark.parametrize("events", [0, 30])
def test_standard_output_the_loop_cannot_write_is_left_to_print(tmp_path, monkeypatch,
                                                                make_stdout, events):
    """A closed or detached text file, another encoding, a file that also reads: the host's
    print meets them where it meets them (nothing is raised for a pass with no event)."""
    log = write_log(tmp_path / "events", events)
    native, host = both_ways(monkeypatch, options(log, nocolor=True), make_stdout)
    assert native == host
    if not events:
        assert native[0] == "returned"
