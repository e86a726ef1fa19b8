"""Job bodies that bench.py runs, each in a fresh interpreter, timing only the work itself."""

from __future__ import annotations

import hashlib
import importlib.util
import json
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
    "raw": {"is_raw": True},
    "expression": {"format_expression": EXPRESSION},
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
    with open(path, "rb") as f:
        pos = f.seek(0, 2)
        tail = b""
        while pos > 0 and tail.count(b"\n") <= count + 1:
            step = min(1 << 16, pos)
            pos -= step
            f.seek(pos)
            tail = f.read(step) + tail
    pieces = tail.split(b"\n")[:-1]  # the last piece has no newline and is never an event
    n = 0
    for raw in pieces[-count:] if count > 0 else ():
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

def front_python(path: str, mode: str, since: str | None = None, twin: str | None = None) -> dict:
    cls, _ = _formatter_class("twin", twin)
    formatter = cls(no_color=True)
    write = sys.stdout.write
    clock = Clock()
    count = 0
    with open(path) as f:
        if mode == "all":
            for line in f:
                try:
                    event = json.loads(line)
                except json.JSONDecodeError:
                    continue
                write(formatter.format_event(event) + "\n")
                count += 1
        else:
            from dateutil import parser
            pattern = DATE_PATTERN
            lower = parser.parse(since)
            for line in f:
                match = pattern.search(line)
                if match is None or parser.isoparse(match.group(2)).replace(tzinfo=None) < lower:
                    continue
                try:
                    event = json.loads(line)
                except json.JSONDecodeError:
                    continue
                write(formatter.format_event(event) + "\n")
                count += 1
    sys.stdout.flush()
    return clock.result(count, Path(path).stat().st_size)


def library_loop(path: str, mode: str, since: str | None = None) -> dict:
    """The package's iterator and formatter driven by a bare loop that writes to standard output:
    what the front costs without the viewer around them."""
    rs = _record_source()
    cls, layout_module = _formatter_class("ours")
    write = sys.stdout.write
    clock = Clock()
    if mode == "all":
        events = rs.NeritAllEventsIterator(Path(path))
    else:
        events = rs.NeritTimeRangeEventIterator(Path(path), date_since=since)
    formatter = cls(no_color=True)
    count = 0
    for event in events:
        write(formatter.format_event(event) + "\n")
        count += 1
    sys.stdout.flush()
    return clock.result(count, Path(path).stat().st_size, layout_module)


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
