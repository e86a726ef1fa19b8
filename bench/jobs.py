"""Job bodies that bench.py runs, each in a fresh interpreter, timing only the work itself."""

from __future__ import annotations

import hashlib
import importlib.util
import json
import os
import re
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
TWIN_PATH = BENCH_DIR.parent / "tests" / "layout_twin.py"

# Layouts of the formatter and the constructor arguments that select them.
EXPRESSION = "%PRIORITY %HOST %source: %type_en / %name_en (%subject -> %object)"
LAYOUTS = {
    "default": {},
    "default-nocolor": {"no_color": True},
    "detailed": {"is_detailed": True},
    "detailed-nocolor": {"is_detailed": True, "no_color": True},
    "raw": {"is_raw": True},
    "expression": {"format_expression": EXPRESSION},
    "expression-nocolor": {"format_expression": EXPRESSION, "no_color": True},
}

# What each mode of the front selects and how it lays events out, as the front does it with its
# output going to a file (no colour unless forced). Keep in step with FRONT_OPTIONS in bench.py.
FRONT_EXPRESSION = "%ISODATE %PRIORITY %name_en"
FRONT_MODES = {
    "all": {"formatter": {"no_color": True}},
    "all-colour": {"formatter": {}},
    "priority": {"formatter": {"no_color": True}, "priority": ["err", "error"]},
    "source": {"formatter": {"no_color": True}, "source": ["auth"]},
    "detailed": {"formatter": {"is_detailed": True, "no_color": True}},
    "expression": {"formatter": {"format_expression": FRONT_EXPRESSION, "no_color": True}},
    "count": {"formatter": {"no_color": True}, "count": True},
    "today": {"formatter": {"no_color": True}, "since": True},
}


# Where an event's date sits in its line, as the time-range iterator finds it.
DATE_PATTERN = re.compile(r'"(ISODATE|DATE)":"([^"]+)"')


class Unavailable(Exception):
    """The package (or the plain-Python twin) lacks what the job needs."""


def _record_source():
    try:
        from nerit_record_console import record_source
    except ImportError as exc:
        raise Unavailable(f"record_source does not import: {exc}") from None
    for name in ("NeritAllEventsIterator", "NeritRecentEventIterator", "NeritTimeRangeEventIterator"):
        if not hasattr(record_source, name):
            raise Unavailable(f"record_source has no {name}")
    return record_source


def _formatter_class(impl: str, twin: str | None = None):
    if impl == "twin":
        twin_path = Path(twin) if twin else TWIN_PATH
        if not twin_path.exists():
            raise Unavailable(f"{twin_path.name} does not exist")
        spec = importlib.util.spec_from_file_location("layout_twin", twin_path)
        module = importlib.util.module_from_spec(spec)
        sys.modules["layout_twin"] = module
        spec.loader.exec_module(module)
        cls = getattr(module, "TwinEventFormatter", None) or getattr(module, "NeritEventFormatter", None)
        if cls is None:
            raise Unavailable(f"{twin_path.name} has no TwinEventFormatter")
        return cls, None
    try:
        from nerit_record_console import record_layout
    except ImportError as exc:
        raise Unavailable(f"record_layout does not import: {exc}") from None
    cls = getattr(record_layout, "NeritEventFormatter", None)
    if cls is None:
        raise Unavailable("record_layout has no NeritEventFormatter")
    return cls, record_layout


class Clock:
    """Wall and CPU time of the work since the clock was made."""

    def __init__(self) -> None:
        self.wall = time.perf_counter()
        self.cpu = time.process_time()

    def result(self, count: int, nbytes: int | None, module=None, **extra) -> dict:
        out = {"seconds": time.perf_counter() - self.wall, "cpu": time.process_time() - self.cpu,
               "count": count, "bytes": nbytes, **extra}
        if module is not None:
            out["fast_paths"] = getattr(module, "_fast_paths", None)
        return out


# --- today's events -------------------------------------------------------------------------

def today_ours(path: str, since: str) -> dict:
    rs = _record_source()
    clock = Clock()
    count = 0
    for _ in rs.NeritTimeRangeEventIterator(Path(path), date_since=since):
        count += 1
    return clock.result(count, Path(path).stat().st_size, rs)


def today_python(path: str, since: str) -> dict:
    """The same selection written the obvious way: regex, dateutil, json."""
    from dateutil import parser
    pattern = DATE_PATTERN
    clock = Clock()
    lower = parser.parse(since)
    count = 0
    with open(path) as f:
        for line in f:
            match = pattern.search(line)
            if match is None:
                continue
            when = parser.isoparse(match.group(2)).replace(tzinfo=None)
            if when < lower:
                continue
            try:
                json.loads(line)
            except json.JSONDecodeError:
                continue
            count += 1
    return clock.result(count, Path(path).stat().st_size)


# --- the last N lines -----------------------------------------------------------------------

def recent_ours(path: str, count: int) -> dict:
    rs = _record_source()
    clock = Clock()
    n = 0
    for _ in rs.NeritRecentEventIterator(Path(path), count):
        n += 1
    return clock.result(n, None, rs)


def recent_python(path: str, count: int) -> dict:
    """Reads blocks backwards until the window's newlines are in hand, then decodes its lines."""
    clock = Clock()
    n = 0
    for raw in _last_lines(path, count):
        try:
            json.loads(raw.strip().decode())
        except json.JSONDecodeError:
            continue
        n += 1
    return clock.result(n, None)


# --- every event, one priority --------------------------------------------------------------

def all_ours(path: str, priority: list[str]) -> dict:
    rs = _record_source()
    clock = Clock()
    it = rs.NeritAllEventsIterator(Path(path))
    it.set_priority_filter(priority)
    count = 0
    for _ in it:
        count += 1
    return clock.result(count, Path(path).stat().st_size, rs)


def all_python(path: str, priority: list[str]) -> dict:
    wanted = set(priority)
    clock = Clock()
    count = 0
    with open(path) as f:
        for line in f:
            try:
                event = json.loads(line)
            except json.JSONDecodeError:
                continue
            if event["PRIORITY"] in wanted:
                count += 1
    return clock.result(count, Path(path).stat().st_size)


# --- formatting -----------------------------------------------------------------------------

def _sample_lines(path: str, events: int) -> tuple[list[str], int]:
    lines = []
    nbytes = 0
    with open(path) as f:
        for line in f:
            try:
                json.loads(line)
            except json.JSONDecodeError:
                continue
            lines.append(line)
            nbytes += len(line.encode())
            if len(lines) == events:
                break
    return lines, nbytes


def format_layout(path: str, impl: str, layout: str, events: int, rounds: int, twin: str | None = None) -> dict:
    """Times format_event alone: events are decoded beforehand, afresh for every round."""
    cls, module = _formatter_class(impl, twin)
    lines, nbytes = _sample_lines(path, events)
    formatter = cls(**LAYOUTS[layout])
    digest = hashlib.sha1()
    for event in map(json.loads, lines):
        digest.update(formatter.format_event(event).encode())
    best, best_cpu = float("inf"), 0.0
    for _ in range(rounds):
        batch = [json.loads(line) for line in lines]
        fmt = formatter.format_event
        clock = Clock()
        for event in batch:
            fmt(event)
        took = clock.result(len(batch), nbytes)
        if took["seconds"] < best:
            best, best_cpu = took["seconds"], took["cpu"]
    out = {"seconds": best, "cpu": best_cpu, "count": len(lines), "bytes": nbytes, "digest": digest.hexdigest()[:12]}
    if module is not None:
        out["fast_paths"] = getattr(module, "_fast_paths", None)
    return out


# --- a plain-Python front: selection, twin formatting, printing ----------------------------

def _last_lines(path: str, count: int) -> list[bytes]:
    """The last `count` lines of the file, read in blocks from its end."""
    with open(path, "rb") as f:
        pos = f.seek(0, 2)
        tail = b""
        while pos > 0 and tail.count(b"\n") <= count + 1:
            step = min(1 << 16, pos)
            pos -= step
            f.seek(pos)
            tail = f.read(step) + tail
    pieces = tail.split(b"\n")
    if pieces and pieces[-1] == b"":
        pieces.pop()
    return pieces[-count:] if count > 0 else []


def _python_lines(path: str, mode: str, since: str | None, count: int):
    """The lines a mode looks at, as text: the whole file, its last lines, or today's."""
    if FRONT_MODES[mode].get("count"):
        yield from (raw.decode() for raw in _last_lines(path, count))
        return
    with open(path) as f:
        if not FRONT_MODES[mode].get("since"):
            yield from f
            return
        from dateutil import parser
        lower = parser.parse(since)
        for line in f:
            match = DATE_PATTERN.search(line)
            if match is not None and parser.isoparse(match.group(2)).replace(tzinfo=None) >= lower:
                yield line


def front_python(path: str, mode: str, since: str | None = None, twin: str | None = None,
                 count: int = 100_000) -> dict:
    cls, _ = _formatter_class("twin", twin)
    settings = FRONT_MODES[mode]
    formatter = cls(**settings["formatter"])
    priorities = set(settings.get("priority", ()))
    sources = set(settings.get("source", ()))
    write = sys.stdout.write
    clock = Clock()
    printed = 0
    for line in _python_lines(path, mode, since, count):
        try:
            event = json.loads(line)
        except json.JSONDecodeError:
            continue
        if priorities and event["PRIORITY"] not in priorities:
            continue
        if sources and not any(part in next(iter(event["MSG"])) for part in sources):
            continue
        write(formatter.format_event(event) + "\n")
        printed += 1
    sys.stdout.flush()
    return clock.result(printed, Path(path).stat().st_size)


def library_loop(path: str, mode: str, since: str | None = None, count: int = 100_000) -> dict:
    """The package's iterator and formatter driven by a bare loop that writes to standard output:
    what the front costs without the viewer around them."""
    rs = _record_source()
    cls, layout_module = _formatter_class("ours")
    settings = FRONT_MODES[mode]
    write = sys.stdout.write
    clock = Clock()
    if settings.get("since"):
        events = rs.NeritTimeRangeEventIterator(Path(path), date_since=since)
    elif settings.get("count"):
        events = rs.NeritRecentEventIterator(Path(path), count)
    else:
        events = rs.NeritAllEventsIterator(Path(path))
    if settings.get("priority"):
        events.set_priority_filter(settings["priority"])
    if settings.get("source"):
        events.set_source_filter(settings["source"])
    formatter = cls(**settings["formatter"])
    printed = 0
    for event in events:
        write(formatter.format_event(event) + "\n")
        printed += 1
    sys.stdout.flush()
    return clock.result(printed, Path(path).stat().st_size, layout_module)


def _first_line_since(path: str, since: str) -> int:
    """Offset of the first line dated `since` or later (the file is in time order)."""
    from dateutil import parser
    lower = parser.parse(since)
    offset = 0
    with open(path, "rb") as f:
        for raw in f:
            match = DATE_PATTERN.search(raw.decode(errors="replace"))
            if match is not None and parser.isoparse(match.group(2)).replace(tzinfo=None) >= lower:
                return offset
            offset += len(raw)
    return offset


def printed_lines_offset(path: str, mode: str, since: str | None, count: int) -> tuple[int, str]:
    """Where the lines that a mode looks at start in the file, and a note saying so."""
    settings = FRONT_MODES[mode]
    if settings.get("since"):
        return _first_line_since(path, since), "today's lines only"
    if settings.get("count"):
        lines = _last_lines(path, count)
        with open(path, "rb") as f:
            f.seek(-1, 2)
            ends_with_newline = f.read(1) == b"\n"
        offset = Path(path).stat().st_size - len(b"\n".join(lines)) - ends_with_newline
        return max(offset, 0), f"the last {count} lines only"
    return 0, ""


def core_config(mode: str, formatter_class) -> tuple:
    """The settings of _probe.render_file for a mode of the front."""
    settings = FRONT_MODES[mode]
    layout = settings["formatter"]
    return (settings.get("priority", []), settings.get("source", []),
            layout.get("format_expression"), layout.get("is_detailed", False),
            layout.get("is_raw", False), layout.get("no_color", False),
            layout.get("use_iso_date", False), formatter_class.LOCALE == "ru_RU",
            formatter_class.COLOR_OK, formatter_class.COLOR_FAIL, formatter_class.COLOR_GREY,
            formatter_class.COLOR_END)


def core_ceiling(path: str, mode: str, since: str | None = None, count: int = 100_000) -> dict:
    """The byte-level event path alone (scan, filters, layout into a buffer written to
    /dev/null) over the lines the mode prints: the ceiling of a native print loop."""
    try:
        from nerit_record_console import _probe
    except ImportError as exc:
        raise Unavailable(f"_probe does not import: {exc}") from None
    if not hasattr(_probe, "render_file"):
        raise Unavailable("_probe has no render_file")
    formatter_class, layout_module = _formatter_class("ours")
    config = core_config(mode, formatter_class)
    # Finding where the lines start is the iterators' part, not timed here.
    offset, note = printed_lines_offset(path, mode, since, count)
    sink = os.open(os.devnull, os.O_WRONLY)
    try:
        clock = Clock()
        counts = _probe.render_file(path, sink, config, offset)
        result = clock.result(counts["written"], Path(path).stat().st_size, layout_module)
    finally:
        os.close(sink)
    declined = (counts["declined_scan"] + counts["declined_filter"] + counts["declined_layout"]
                + counts.get("not_utf8", 0))
    result["note"] = "; ".join(filter(None, [note, f"{declined} of {counts['lines']} lines declined "
                                               f"({counts['declined_scan']} not JSON objects)"]))
    return result


def import_only() -> dict:
    clock = Clock()
    try:
        import nerit_record_console.record_console  # noqa: F401
    except ImportError as exc:
        raise Unavailable(f"record_console does not import: {exc}") from None
    return clock.result(0, None)


JOBS = {
    "today_ours": today_ours,
    "today_python": today_python,
    "recent_ours": recent_ours,
    "recent_python": recent_python,
    "all_ours": all_ours,
    "all_python": all_python,
    "format_layout": format_layout,
    "front_python": front_python,
    "library_loop": library_loop,
    "core_ceiling": core_ceiling,
    "import_only": import_only,
}


def vm_hwm_kb() -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def child_main(job: str, kwargs_json: str) -> dict:
    """Runs one job; what it found, or why it could not run, as a dictionary."""
    try:
        result = JOBS[job](**json.loads(kwargs_json))
        result["status"] = "ok"
    except Unavailable as exc:
        result = {"status": "n/a", "note": str(exc)}
    except Exception as exc:  # a failing job is a row of the report, not a crash of the run
        result = {"status": "error", "note": f"{type(exc).__name__}: {exc}"}
    result["vmhwm_kb"] = vm_hwm_kb()
    return result


def main(argv: list[str]) -> int:
    """`jobs.py JOB KWARGS_JSON RESULT_PATH`: the entry of the processes that bench.py starts.
    Kept apart from bench.py so that a job's interpreter loads nothing the job does not need."""
    if argv[0] == "front_python":
        # A plain-Python front: prints to standard output, reports failure by its exit status.
        result = child_main("front_python", argv[1])
        if result["status"] != "ok":
            print(result.get("note", result["status"]), file=sys.stderr)
            return 1
        return 0
    job, kwargs_json, result_path = argv
    result = child_main(job, kwargs_json)
    with open(result_path, "w") as f:
        json.dump(result, f)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
