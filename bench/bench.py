#!/usr/bin/env python3
"""Benchmark tool of the event-log viewer: makes a realistic log, times the package on it beside
floors a user could compare (grep, tail, jq, plain Python) and shows that memory stays flat."""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import eventgen  # noqa: E402
import jobs  # noqa: E402

# --- the command line of the front, in one place ---------------------------------------------
# The front is run as FRONT_COMMAND + FRONT_OPTIONS[mode] + [log file]; --front replaces the
# command (for example "python -m nerit_record_console").
FRONT_SCRIPT = "nerit-events"
FRONT_OPTIONS = {
    "all": ["--all", "--no-color"],
    "all-colour": ["--all", "--color=always"],
    "priority": ["--all", "-p", "err,error", "--no-color"],
    "source": ["--all", "-s", "auth"],
    "detailed": ["--all", "-m"],
    "expression": ["--all", "-F", jobs.FRONT_EXPRESSION],
    "count": ["-n", "{count}", "--no-color"],
    "today": ["--today", "--no-color"],
    "version": ["--version"],
}
FRONT_MODES = tuple(mode for mode in FRONT_OPTIONS if mode != "version")
# Environment that makes the package load with every fast path off.
HOST_PATHS_ENV = {"NERIT_HOST_PATHS": "1"}

JOBS_SCRIPT = BENCH_DIR / "jobs.py"
JOB_NAMES = ("today", "recent", "all", "format", "front", "startup")
MB = 1_000_000


def default_front_command() -> list[str]:
    """The front installed beside this interpreter, else the package run as a module by it."""
    beside = Path(sys.executable).with_name(FRONT_SCRIPT)
    if beside.exists():
        return [str(beside)]
    return [sys.executable, "-m", "nerit_record_console"]


def parse_size(text: str) -> int:
    """"1G", "100M", "512K" are powers of 1024 (as in coreutils); "1GB", "100MB" powers of 1000."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40,
             "KB": 10**3, "MB": 10**6, "GB": 10**9, "TB": 10**12, "B": 1, "": 1}
    t = text.strip().upper()
    number = t.rstrip("KMGTB")
    unit = t[len(number):]
    if unit not in units or not number:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}")
    return int(float(number) * units[unit])


# --- running things and measuring them -------------------------------------------------------

@dataclass
class Result:
    group: str
    label: str
    role: str  # "ours", "ours-host" or "floor"
    status: str = "ok"  # "ok", "n/a", "error", "skipped"
    seconds: float | None = None
    cpu: float | None = None
    bytes: int | None = None
    count: int | None = None
    rss_kb: int | None = None
    note: str = ""
    same_selection: bool = False  # count must match the other rows of the group marked so
    extra: dict = field(default_factory=dict)


# GNU time reports the peak RSS of the command itself. os.wait4 cannot: a child started by
# vfork inherits this interpreter's high-water mark, so every row would read at least our own size.
TIME_BIN = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def run_process(argv: list[str], env: dict | None = None, stdout_path: str = os.devnull,
                capture: bool = False, measure_rss: bool = False) -> tuple[float, float, int | None, int, bytes, bytes]:
    """Runs argv to its end: wall seconds, CPU seconds, peak RSS in KiB (when measured), exit code,
    standard output (when captured) and the tail of standard error."""
    full_env = dict(os.environ)
    # Jobs write as a user's shell would have them write: block-buffered unless a terminal.
    full_env.pop("PYTHONUNBUFFERED", None)
    if env:
        full_env.update(env)
    rss_file = None
    if measure_rss and TIME_BIN:
        fd, rss_file = tempfile.mkstemp(suffix=".rss")
        os.close(fd)
        argv = [TIME_BIN, "-q", "-f", "%M", "-o", rss_file] + argv
    try:
        with tempfile.TemporaryFile() as err, open(stdout_path, "wb") as sink:
            # Children's CPU times add up, so the difference is this child's own.
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            proc = subprocess.run(argv, stdout=subprocess.PIPE if capture else sink, stderr=err,
                                  stdin=subprocess.DEVNULL, env=full_env)
            wall = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            err.seek(0)
            tail = err.read()[-2000:]
        rss = None
        if rss_file:
            with open(rss_file) as f:
                text = f.read().split()
            rss = int(text[-1]) if text and text[-1].isdigit() else None
    finally:
        if rss_file:
            os.unlink(rss_file)
    return wall, cpu, rss, proc.returncode, proc.stdout or b"", tail


def run_child(job: str, env: dict | None = None, stdout_path: str = os.devnull, **kwargs) -> dict:
    """Runs one job of jobs.py in a fresh interpreter; its own timing, plus the process's RSS."""
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as tmp:
        result_path = tmp.name
    try:
        argv = [sys.executable, str(JOBS_SCRIPT), job, json.dumps(kwargs), result_path]
        wall, _, _, code, _, err = run_process(argv, env=env, stdout_path=stdout_path)
        try:
            with open(result_path) as f:
                result = json.load(f)
        except (OSError, ValueError):
            result = {"status": "error", "note": last_line(err, code)}
    finally:
        os.unlink(result_path)
    # The child's own high-water mark: its memory since exec, nothing inherited from us.
    result["rss_kb"] = result.get("vmhwm_kb")
    result["wall"] = wall
    return result


def best_of(repeat: int, make) -> dict:
    """Runs make(first_run) up to `repeat` times and keeps the fastest run and the largest RSS.
    A run longer than LONG_RUN is not repeated: its noise is small beside its length."""
    best = None
    peak = None
    for i in range(max(1, repeat)):
        r = make(i == 0)
        if r.get("rss_kb") is not None:
            peak = max(peak or 0, r["rss_kb"])
        if r.get("status", "ok") != "ok":
            return r
        if best is None or r["seconds"] < best["seconds"]:
            best = r
        if r["seconds"] > LONG_RUN:
            break
    best["rss_kb"] = peak
    return best


LONG_RUN = 5.0


def child_row(group, label, role, repeat, job, env=None, same_selection=False, **kwargs) -> Result:
    r = best_of(repeat, lambda first: run_child(job, env=env, **kwargs))
    res = Result(group, label, role, status=r.get("status", "ok"), seconds=r.get("seconds"), cpu=r.get("cpu"),
                 bytes=r.get("bytes"), count=r.get("count"), rss_kb=r.get("rss_kb"), note=r.get("note", ""),
                 same_selection=same_selection)
    if "digest" in r:
        res.extra["digest"] = r["digest"]
    fast = r.get("fast_paths", "absent")
    if res.status == "ok" and role == "ours" and fast is not True:
        res.note = f"_fast_paths is {fast}"
    if res.status == "ok" and role == "ours-host" and fast is not False:
        res.note = f"NERIT_HOST_PATHS not honoured (_fast_paths is {fast})"
    return res


def command_row(group, label, role, repeat, argv, nbytes=None, env=None, count_from_stdout=False,
                stdout_path=os.devnull, note="", same_selection=False) -> Result:
    if shutil.which(argv[0]) is None and not Path(argv[0]).exists():
        return Result(group, label, role, status="n/a", note=f"{argv[0]} not found")

    def once(first):
        # The first run measures RSS under GNU time; later runs are timed bare.
        wall, cpu, rss, code, out, err = run_process(argv, env=env, stdout_path=stdout_path,
                                                     capture=count_from_stdout, measure_rss=first)
        if code != 0 and not (count_from_stdout and code == 1 and out.strip() == b"0"):
            return {"status": missing_or_error(err), "note": last_line(err, code), "rss_kb": rss}
        r = {"status": "ok", "seconds": wall, "cpu": cpu, "rss_kb": rss}
        if count_from_stdout:
            r["count"] = int(out.split()[0])
        return r

    r = best_of(max(repeat, 2), once)
    return Result(group, label, role, status=r["status"], seconds=r.get("seconds"), cpu=r.get("cpu"), bytes=nbytes,
                  count=r.get("count"), rss_kb=r.get("rss_kb"), note=r.get("note") or note,
                  same_selection=same_selection)


def last_line(err: bytes, code: int) -> str:
    lines = err.decode(errors="replace").strip().splitlines()
    return (lines[-1] if lines else f"exit status {code}")[:120]


def missing_or_error(err: bytes) -> str:
    """"n/a" when the package is not (yet) there to run, "error" when it ran and failed."""
    text = err.decode(errors="replace")
    return "n/a" if "No module named" in text or "ImportError" in text else "error"


def shell(cmd: str) -> list[str]:
    return ["sh", "-c", cmd]


# --- slices of a large file -------------------------------------------------------------------

def make_tail_slice(path: Path, size: int) -> Path:
    """The last `size` bytes of the log, from a line start on, next to it (removed by the caller)."""
    target = path.with_name(f".{path.name}.tail-{size}")
    with open(path, "rb") as src, open(target, "wb") as dst:
        total = src.seek(0, 2)
        src.seek(max(0, total - size))
        if total > size:
            src.readline()
        shutil.copyfileobj(src, dst, 1 << 20)
    return target


# --- the jobs of `run` -----------------------------------------------------------------------

def jobs_today(path: Path, a) -> list[Result]:
    g = "today (time range)"
    since = dt.date.today().isoformat()
    size = path.stat().st_size
    rows = [
        child_row(g, "ours, fast paths", "ours", a.repeat, "today_ours", path=str(path), since=since,
                  same_selection=True),
    ]
    if not a.no_host:
        rows.append(child_row(g, "ours, host paths", "ours-host", a.repeat, "today_ours", env=HOST_PATHS_ENV,
                              path=str(path), since=since, same_selection=True))
    q = shlex.quote(f'"ISODATE":"{since}')
    rows += [
        command_row(g, f"grep -c '\"ISODATE\":\"{since}'", "floor", a.repeat,
                    shell(f"grep -c {q} {shlex.quote(str(path))}"), nbytes=size, count_from_stdout=True,
                    note="counts ISODATE lines only"),
        command_row(g, "grep -cF (same text)", "floor", a.repeat,
                    shell(f"grep -cF {q} {shlex.quote(str(path))}"), nbytes=size, count_from_stdout=True),
        child_row(g, "plain Python: re + isoparse + json", "floor", a.repeat, "today_python", path=str(path),
                  since=since, same_selection=True),
    ]
    return rows


def jobs_recent(path: Path, a) -> list[Result]:
    g = f"recent ({a.recent} lines)"
    rows = [child_row(g, "ours, fast paths", "ours", a.repeat_fast, "recent_ours", path=str(path),
                      count=a.recent, same_selection=True)]
    if not a.no_host:
        rows.append(child_row(g, "ours, host paths", "ours-host", a.repeat_fast, "recent_ours", env=HOST_PATHS_ENV,
                              path=str(path), count=a.recent, same_selection=True))
    rows += [
        command_row(g, f"tail -n {a.recent}", "floor", a.repeat_fast,
                    ["tail", "-n", str(a.recent), str(path)], note="whole process"),
        child_row(g, "plain Python: block reads backwards + json", "floor", a.repeat_fast, "recent_python",
                  path=str(path), count=a.recent, same_selection=True),
    ]
    return rows


def jobs_all(path: Path, a, cleanup: list[Path]) -> list[Result]:
    g = f"all events, PRIORITY={a.priority}"
    size = path.stat().st_size
    prio = [a.priority]
    rows = [child_row(g, "ours, fast paths", "ours", a.repeat, "all_ours", path=str(path), priority=prio,
                      same_selection=True)]
    if not a.no_host:
        rows.append(child_row(g, "ours, host paths", "ours-host", a.repeat, "all_ours", env=HOST_PATHS_ENV,
                              path=str(path), priority=prio, same_selection=True))
    needle = f'"PRIORITY":"{a.priority}"'
    rows.append(command_row(g, f"grep -cF '{needle}'", "floor", a.repeat,
                            shell(f"grep -cF {shlex.quote(needle)} {shlex.quote(str(path))}"),
                            nbytes=size, count_from_stdout=True, note="text match, no parsing"))
    # jq stops at the first malformed line unless each line is read raw and decoded with fromjson?.
    jq_input, jq_note = path, "whole file"
    if size > a.jq_slice:
        jq_input = make_tail_slice(path, a.jq_slice)
        cleanup.append(jq_input)
        jq_note = f"on the last {jq_input.stat().st_size / MB:.0f} MB only (jq is slow)"
    jq_filter = f'fromjson? | select(.PRIORITY? == "{a.priority}")'
    rows.append(command_row(g, "jq -cR 'fromjson? | select(...)' | wc -l", "floor", 1,
                            shell(f"jq -cR {shlex.quote(jq_filter)} {shlex.quote(str(jq_input))} | wc -l"),
                            nbytes=jq_input.stat().st_size, count_from_stdout=True, note=jq_note))
    rows.append(child_row(g, "plain Python: json.loads loop", "floor", a.repeat, "all_python", path=str(path),
                          priority=prio, same_selection=True))
    return rows


def jobs_format(path: Path, a) -> list[Result]:
    rows = []
    have_twin = a.twin.exists()
    for layout in a.layouts:
        g = f"format: {layout} ({a.format_events} events)"
        common = dict(path=str(path), layout=layout, events=a.format_events, rounds=a.rounds)
        rows.append(child_row(g, "ours, fast paths", "ours", a.repeat_fast, "format_layout", impl="ours", **common))
        if not a.no_host:
            rows.append(child_row(g, "ours, host paths", "ours-host", a.repeat_fast, "format_layout",
                                  env=HOST_PATHS_ENV, impl="ours", **common))
        if have_twin:
            rows.append(child_row(g, f"plain-Python twin ({a.twin.name})", "floor", a.repeat_fast,
                                  "format_layout", impl="twin", twin=str(a.twin), **common))
        else:
            rows.append(Result(g, "plain-Python twin", "floor", status="skipped",
                               note=f"{a.twin} does not exist"))
        digests = {r.extra.get("digest") for r in rows if r.group == g and r.status == "ok"}
        if len(digests) > 1:
            for r in rows:
                if r.group == g and r.status == "ok":
                    r.note = (r.note + "; " if r.note else "") + f"TEXT DIFFERS (sha1 {r.extra['digest']})"
    return rows


def front_options(a, mode: str) -> list[str]:
    return [x.replace("{count}", str(a.front_count)) for x in FRONT_OPTIONS[mode]]


def front_floors(g: str, a, mode: str, path: Path, size: int, since: str) -> list[Result]:
    """Tools that make a similar pass over the file without parsing it."""
    p = shlex.quote(str(path))
    if mode == "today":
        q = shlex.quote(f'"ISODATE":"{since}')
        return [command_row(g, f"grep -cF '{since}T'", "floor", a.repeat,
                            shell(f"grep -cF {shlex.quote(since + 'T')} {p}"), nbytes=size,
                            count_from_stdout=True),
                # grep's status 1 only says that no line matched.
                command_row(g, "grep -F today's lines > /dev/null", "floor", a.repeat,
                            shell(f"grep -F {q} {p} > /dev/null || [ $? -eq 1 ]"), nbytes=size)]
    if mode == "priority":
        needle = '"PRIORITY":"err"'
        return [command_row(g, f"grep -cF '{needle}'", "floor", a.repeat,
                            shell(f"grep -cF {shlex.quote(needle)} {p}"), nbytes=size,
                            count_from_stdout=True)]
    if mode == "count":
        return [command_row(g, f"tail -n {a.front_count} > /dev/null", "floor", a.repeat,
                            ["tail", "-n", str(a.front_count), str(path)], note="whole process")]
    return [command_row(g, "cat FILE > /dev/null", "floor", a.repeat, ["cat", str(path)],
                        nbytes=size)]


def jobs_front(path: Path, a) -> list[Result]:
    rows = []
    size = path.stat().st_size
    since = dt.date.today().isoformat()
    have_twin = a.twin.exists()
    for mode in a.front_modes:
        options = front_options(a, mode)
        g = f"front: {' '.join(options)} FILE > /dev/null"
        argv = a.front_command + options + [str(path)]
        rows.append(command_row(g, "ours, fast paths", "ours", a.repeat, argv, nbytes=size, note="whole process"))
        if not a.no_host:
            rows.append(command_row(g, "ours, host paths", "ours-host", a.repeat, argv, nbytes=size,
                                    env=HOST_PATHS_ENV, note="whole process"))
        rows += front_floors(g, a, mode, path, size, since)
        rows.append(child_row(g, "library loop, no start-up: iterator + formatter + write", "floor", a.repeat,
                              "library_loop", path=str(path), mode=mode, since=since, count=a.front_count))
        if have_twin:
            rows.append(command_row(
                g, "plain-Python front: json + twin + write", "floor", a.repeat,
                [sys.executable, str(JOBS_SCRIPT), "front_python",
                 json.dumps({"path": str(path), "mode": mode, "since": since, "twin": str(a.twin),
                             "count": a.front_count})],
                nbytes=size, note="whole process"))
        else:
            rows.append(Result(g, "plain-Python front", "floor", status="skipped",
                               note=f"{a.twin} does not exist"))
        rows.append(child_row(g, "core ceiling, no start-up: line bytes to /dev/null", "floor", a.repeat,
                              "core_ceiling", path=str(path), mode=mode, since=since, count=a.front_count))
    return rows


def startup_row(group, label, role, argv, runs, env=None) -> Result:
    if shutil.which(argv[0]) is None and not Path(argv[0]).exists():
        return Result(group, label, role, status="n/a", note=f"{argv[0]} not found")
    times, cpus, peak = [], [], None
    for i in range(runs + 1):
        wall, cpu, rss, code, _, err = run_process(argv, env=env, measure_rss=i == 0)
        if code != 0:
            return Result(group, label, role, status=missing_or_error(err), note=last_line(err, code))
        if i == 0:
            peak = rss
        else:
            times.append(wall)
            cpus.append(cpu)
    return Result(group, label, role, seconds=min(times), cpu=min(cpus), rss_kb=peak,
                  note=f"min of {runs}, median {statistics.median(times) * 1000:.1f} ms")


def jobs_startup(path: Path, a) -> list[Result]:
    g = "start-up"
    rows = [startup_row(g, f"{' '.join(Path(x).name for x in a.front_command)} --version", "ours",
                        a.front_command + FRONT_OPTIONS["version"], a.startup_runs)]
    if not a.no_host:
        rows.append(startup_row(g, "same, host paths", "ours-host", a.front_command + FRONT_OPTIONS["version"],
                                a.startup_runs, env=HOST_PATHS_ENV))
    rows += [
        startup_row(g, "python -c pass", "floor", [sys.executable, "-c", "pass"], a.startup_runs),
        startup_row(g, "python -c 'import ...record_console'", "floor",
                    [sys.executable, "-c", "import nerit_record_console.record_console"], a.startup_runs),
    ]
    return rows


# --- reporting -------------------------------------------------------------------------------

def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return ""
    if seconds < 1:
        return f"{seconds * 1000:.1f} ms"
    return f"{seconds:.2f} s"


def ratio(ours: Result | None, row: Result, basis: str = "wall") -> str:
    """ours / this, per byte when both rows know their bytes (jq may run on a slice)."""
    if ours is None or row is ours or ours.status != "ok" or row.status != "ok":
        return ""
    mine, theirs = (ours.seconds, row.seconds) if basis == "wall" else (ours.cpu, row.cpu)
    if not mine or not theirs:
        return ""
    if ours.bytes and row.bytes:
        value = (mine / ours.bytes) / (theirs / row.bytes)
    else:
        value = mine / theirs
    return f"{value:.3f}" if value < 0.1 else f"{value:.2f}"


def mark_mismatches(rows: list[Result]) -> None:
    for group in dict.fromkeys(r.group for r in rows):
        same = [r for r in rows if r.group == group and r.same_selection and r.status == "ok"]
        if len({r.count for r in same}) > 1:
            for r in same:
                r.note = (r.note + "; " if r.note else "") + "COUNT DIFFERS"


def print_table(rows: list[Result], basis: str = "wall", out=sys.stdout) -> None:
    header = ("job", "variant", "time", "cpu", "MB/s", "peak RSS", f"ours/this ({basis})", "count", "note")
    table = [header]
    for group in dict.fromkeys(r.group for r in rows):
        members = [r for r in rows if r.group == group]
        ours = next((r for r in members if r.role == "ours"), None)
        for i, r in enumerate(members):
            if r.status != "ok":
                table.append((group if i == 0 else "", r.label, r.status, "", "", "", "", "", r.note))
                continue
            mbps = f"{r.bytes / MB / r.seconds:.0f}" if r.bytes and r.seconds else ""
            rss = f"{r.rss_kb / 1024:.1f} MB" if r.rss_kb else ""
            table.append((group if i == 0 else "", r.label, fmt_time(r.seconds), fmt_time(r.cpu), mbps, rss,
                          ratio(ours, r, basis),
                          "" if r.count is None else str(r.count), r.note))
        table.append(None)
    widths = [max(len(row[i]) for row in table if row) for i in range(len(header))]
    for row in table:
        if row is None:
            print("", file=out)
            continue
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip(), file=out)


def find(rows, group_prefix, role):
    return next((r for r in rows if r.group.startswith(group_prefix) and r.role == role and r.status == "ok"), None)


def summary(rows: list[Result], out=sys.stdout) -> None:
    """The figures the project has targets for, each with its floor."""
    print("Key figures (targets in brackets)", file=out)

    def line(text):
        print("  " + text, file=out)

    today = find(rows, "today", "ours")
    if today:
        grep = next((r for r in rows if r.group.startswith("today") and r.label.startswith("grep -cF")
                     and r.status == "ok"), None)
        py = next((r for r in rows if r.group.startswith("today") and r.label.startswith("plain Python")
                   and r.status == "ok"), None)
        line(f"time-range skipping: {today.bytes / MB / today.seconds:.0f} MB/s (>= 400)"
             + (f"; grep -F {grep.bytes / MB / grep.seconds:.0f} MB/s" if grep else "")
             + (f"; plain Python {py.bytes / MB / py.seconds:.0f} MB/s" if py else ""))
    recent = find(rows, "recent", "ours")
    if recent:
        tail = next((r for r in rows if r.group.startswith("recent") and r.label.startswith("tail")
                     and r.status == "ok"), None)
        py = next((r for r in rows if r.group.startswith("recent") and r.label.startswith("plain")
                   and r.status == "ok"), None)
        line(f"recent: {recent.seconds * 1000:.1f} ms (< 20 ms)"
             + (f"; tail {tail.seconds * 1000:.1f} ms (whole process)" if tail else "")
             + (f"; plain Python {py.seconds * 1000:.1f} ms" if py else ""))
    ours_rss = [r.rss_kb for r in rows if r.role == "ours" and r.status == "ok" and r.rss_kb
                and not r.group.startswith("format")]
    if ours_rss:
        line(f"peak RSS of our streaming jobs: {max(ours_rss) / 1024:.1f} MB (< 50 MB); "
             f"python -c pass: {_rss_of(rows, 'python -c pass')}")
    for r in rows:
        if r.group.startswith("format") and r.role == "ours" and r.status == "ok":
            host = next((x for x in rows if x.group == r.group and x.role == "ours-host" and x.status == "ok"), None)
            twin = next((x for x in rows if x.group == r.group and x.label.startswith("plain-Python twin")
                         and x.status == "ok"), None)
            per = r.seconds / r.count * 1e6
            text = f"{r.group}: {per:.2f} us/event"
            if host:
                text += f"; speed-up over host paths {host.seconds / r.seconds:.1f}x"
            if twin:
                text += f"; over the plain-Python twin {twin.seconds / r.seconds:.1f}x"
            line(text)
    for group in dict.fromkeys(r.group for r in rows if r.group.startswith("front:")):
        r = next((x for x in rows if x.group == group and x.role == "ours" and x.status == "ok"), None)
        if r is None:
            continue
        text = f"{group[len('front: '):]}: {fmt_time(r.seconds)} (cpu {fmt_time(r.cpu)})"
        for label, prefix in (("floor", ("grep", "tail")), ("plain Python", ("plain-Python",)),
                              ("core ceiling", ("core ceiling",))):
            other = next((x for x in rows if x.group == group and x.label.startswith(prefix)
                          and x.status == "ok"), None)
            if other is None:
                continue
            if label == "floor":
                text += f"; {ratio_text(r, other)} x {other.label.split(' >')[0]}"
            elif label == "plain Python":
                text += f"; {ratio_text(other, r)} x faster than plain Python"
            else:
                plain = next((x for x in rows if x.group == group and x.label.startswith("plain-Python")
                              and x.status == "ok"), None)
                text += f"; core ceiling {fmt_time(other.cpu)} cpu"
                if plain and plain.cpu and other.cpu:
                    text += f" ({plain.cpu / other.cpu:.1f} x plain Python's cpu, start-up aside)"
        line(text)
    start = find(rows, "start-up", "ours")
    base = next((r for r in rows if r.group == "start-up" and r.label == "python -c pass" and r.status == "ok"), None)
    if start and base:
        line(f"start-up: {start.seconds * 1000:.1f} ms, {1000 * (start.seconds - base.seconds):+.1f} ms "
             f"over python -c pass ({base.seconds * 1000:.1f} ms)")


def ratio_text(slow: Result, fast: Result) -> str:
    """slow / fast in wall and in CPU time (CPU is steadier on a shared machine)."""
    wall = slow.seconds / fast.seconds if slow.seconds and fast.seconds else None
    cpu = slow.cpu / fast.cpu if slow.cpu and fast.cpu else None
    parts = [f"{wall:.1f}" if wall else "?"]
    if cpu:
        parts.append(f"cpu {cpu:.1f}")
    return " / ".join(parts)


def _rss_of(rows, label):
    r = next((x for x in rows if x.label == label and x.status == "ok"), None)
    return f"{r.rss_kb / 1024:.1f} MB" if r else "n/a"


def describe_machine(path: Path) -> str:
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name")), "")
    except OSError:
        pass
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    return (f"{path} ({path.stat().st_size / MB:.0f} MB), {dt.datetime.now():%Y-%m-%d %H:%M}, "
            f"Python {platform.python_version()}, {os.cpu_count()} CPUs {cpu}, load average {load}")


# --- subcommands -----------------------------------------------------------------------------

def cmd_generate(a) -> int:
    path = Path(a.path)
    if path.exists() and not a.force:
        print(f"{path} exists; use --force to overwrite", file=sys.stderr)
        return 2
    path.parent.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    last = [start]

    def progress(written):
        now = time.perf_counter()
        if now - last[0] > 2:
            last[0] = now
            print(f"  {written / MB:.0f} MB ...", file=sys.stderr)

    with open(path, "wb") as out:
        info = eventgen.generate(out, a.size, a.days, a.seed, progress=progress)
    took = time.perf_counter() - start
    print(f"wrote {path}: {info['bytes'] / MB:.1f} MB, {info['lines']} lines "
          f"({info['bytes'] / info['lines']:.0f} bytes a line), {info['first_day']} .. {info['last_day']}, "
          f"last day {info['last_day_lines']} lines ({100 * info['last_day_lines'] / info['lines']:.1f}%), "
          f"{took:.1f} s ({info['bytes'] / MB / took:.0f} MB/s)")
    return 0


def last_event_day(path: Path) -> str | None:
    with open(path, "rb") as f:
        f.seek(max(0, f.seek(0, 2) - 65536))
        tail = f.read().decode(errors="replace")
    found = jobs.DATE_PATTERN.findall(tail)
    return found[-1][1][:10] if found else None


def cmd_run(a) -> int:
    path = Path(a.path).resolve()
    if not path.is_file():
        print(f"{path}: no such file", file=sys.stderr)
        return 2
    a.front_command = shlex.split(a.front) if a.front else default_front_command()
    a.repeat_fast = max(a.repeat, 5)
    print(describe_machine(path))
    print(f"front: {' '.join(a.front_command)}; best of {a.repeat} runs (fast jobs {a.repeat_fast}); "
          "MB = 10^6 bytes; ours/this < 1 means ours is faster", flush=True)
    last_day = last_event_day(path)
    if last_day != dt.date.today().isoformat():
        print(f"warning: the last event is of {last_day}, not today: the today jobs select little or nothing; "
              "generate the file afresh", file=sys.stderr)
    # Warm the page cache so that every row reads from memory.
    run_process(["cat", str(path)])
    rows: list[Result] = []
    cleanup: list[Path] = []
    builders = {
        "today": lambda: jobs_today(path, a),
        "recent": lambda: jobs_recent(path, a),
        "all": lambda: jobs_all(path, a, cleanup),
        "format": lambda: jobs_format(path, a),
        "front": lambda: jobs_front(path, a),
        "startup": lambda: jobs_startup(path, a),
    }
    try:
        for name in a.jobs:
            print(f"... {name}", file=sys.stderr, flush=True)
            rows += builders[name]()
    finally:
        for p in cleanup:
            p.unlink(missing_ok=True)
    mark_mismatches(rows)
    print()
    print_table(rows, a.ratio)
    summary(rows)
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"file": str(path), "bytes": path.stat().st_size, "when": dt.datetime.now().isoformat(),
                       "rows": [asdict(r) for r in rows]}, f, indent=1, ensure_ascii=False)
    return 0


def cmd_memory(a) -> int:
    path = Path(a.path).resolve()
    front = shlex.split(a.front) if a.front else default_front_command()
    since = dt.date.today().isoformat()
    full_size = path.stat().st_size
    small = make_tail_slice(path, a.slice) if full_size > a.slice else path
    print(describe_machine(path))
    print(f"peak RSS of each job on the last {small.stat().st_size / MB:.0f} MB and on the whole file; "
          "a flat row is what we want")

    def jobs_for(p: Path):
        out = []
        for env, tag in ((None, "fast"), (HOST_PATHS_ENV, "host")):
            out += [
                (f"all events, PRIORITY=err ({tag})", lambda e=env: run_child("all_ours", env=e, path=str(p),
                                                                               priority=["err"])),
                (f"today ({tag})", lambda e=env: run_child("today_ours", env=e, path=str(p), since=since)),
                (f"recent 1000 ({tag})", lambda e=env: run_child("recent_ours", env=e, path=str(p), count=1000)),
                (f"front --all ({tag})", lambda e=env: _front_as_dict(front + FRONT_OPTIONS["all"] + [str(p)], e)),
            ]
        out.append(("plain Python json.loads loop", lambda: run_child("all_python", path=str(p), priority=["err"])))
        return out

    try:
        table = [("job", "small file", "full file", "growth", "verdict", "time small / full")]
        for (label, small_run), (_, full_run) in zip(jobs_for(small), jobs_for(path)):
            print(f"... {label}", file=sys.stderr, flush=True)
            rs, rf = small_run(), full_run()
            if rs.get("status", "ok") != "ok" or rf.get("status", "ok") != "ok":
                table.append((label, rs.get("status", "ok"), rf.get("status", "ok"), "", "",
                              rs.get("note") or rf.get("note") or ""))
                continue
            if rs.get("rss_kb") is None or rf.get("rss_kb") is None:
                table.append((label, "?", "?", "", "", "peak RSS not measured (no /usr/bin/time)"))
                continue
            a_mb, b_mb = rs["rss_kb"] / 1024, rf["rss_kb"] / 1024
            # Allocator noise moves a peak by a megabyte or so; growth with the file is far more.
            verdict = "flat" if b_mb - a_mb < max(2.0, 0.05 * a_mb) else "GROWS"
            table.append((label, f"{a_mb:.1f} MB", f"{b_mb:.1f} MB", f"{b_mb - a_mb:+.1f} MB", verdict,
                          f"{rs['seconds']:.2f} s / {rf['seconds']:.2f} s"))
    finally:
        if small != path:
            small.unlink(missing_ok=True)
    widths = [max(len(r[i]) for r in table) for i in range(len(table[0]))]
    for r in table:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    return 0


def _front_as_dict(argv, env) -> dict:
    if shutil.which(argv[0]) is None and not Path(argv[0]).exists():
        return {"status": "n/a", "note": f"{argv[0]} not found"}
    wall, cpu, rss, code, _, err = run_process(argv, env=env, measure_rss=True)
    if code != 0:
        return {"status": missing_or_error(err), "note": last_line(err, code)}
    return {"status": "ok", "seconds": wall, "cpu": cpu, "rss_kb": rss}


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def job_list(text: str) -> list[str]:
    names = [n.strip() for n in text.split(",") if n.strip()]
    bad = [n for n in names if n not in JOB_NAMES]
    if bad:
        raise argparse.ArgumentTypeError(f"unknown job(s) {', '.join(bad)}; choose from {', '.join(JOB_NAMES)}")
    return names


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True, metavar="{generate,run,memory}")

    g = sub.add_parser("generate", help="write a realistic event log")
    g.add_argument("path")
    g.add_argument("--size", type=parse_size, default=parse_size("1G"), help="about this many bytes (default 1G)")
    g.add_argument("--days", type=positive_int, default=30, help="days of events, ending today (default 30)")
    g.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    g.add_argument("--force", action="store_true", help="overwrite an existing file")
    g.set_defaults(func=cmd_generate)

    r = sub.add_parser("run", help="time the package's jobs beside floors")
    r.add_argument("path")
    r.add_argument("--jobs", type=job_list, default=list(JOB_NAMES),
                   help=f"comma-separated, from {','.join(JOB_NAMES)} (default all)")
    r.add_argument("--repeat", type=int, default=3, help="runs of each row, best kept (default 3)")
    r.add_argument("--recent", type=int, default=1000, help="window of the recent job (default 1000)")
    r.add_argument("--priority", default="err", help="priority of the all-events job (default err)")
    r.add_argument("--jq-slice", type=parse_size, default=parse_size("100MB"),
                   help="jq reads only the last this many bytes of a larger file (default 100MB)")
    r.add_argument("--format-events", type=int, default=50_000, help="events per formatting round (default 50000)")
    r.add_argument("--rounds", type=int, default=3, help="formatting rounds in one process (default 3)")
    r.add_argument("--layouts", type=lambda t: [x for x in t.split(",") if x],
                   default=["default", "detailed", "raw", "expression"],
                   help=f"from {','.join(jobs.LAYOUTS)} (default default,detailed,raw,expression)")
    r.add_argument("--startup-runs", type=int, default=20)
    r.add_argument("--no-host", action="store_true", help="skip the NERIT_HOST_PATHS=1 rows")
    r.add_argument("--ratio", choices=("wall", "cpu"), default="wall",
                   help="compare wall time (default) or CPU time, steadier on a busy machine")
    r.add_argument("--front", help="command of the front (default: nerit-events beside this Python)")
    r.add_argument("--front-modes", type=lambda t: [x for x in t.split(",") if x], default=["all", "today"],
                   help=f"modes of the front job, from {','.join(FRONT_MODES)} (default all,today)")
    r.add_argument("--front-count", type=int, default=100_000,
                   help="lines of the front's -n mode (default 100000)")
    r.add_argument("--twin", type=Path, default=jobs.TWIN_PATH,
                   help="plain-Python twin of the formatter (default tests/layout_twin.py)")
    r.add_argument("--json", help="also write the rows to this JSON file")
    r.set_defaults(func=cmd_run)

    m = sub.add_parser("memory", help="peak RSS on a 100 MB slice and on the whole file")
    m.add_argument("path")
    m.add_argument("--slice", type=parse_size, default=parse_size("100MB"))
    m.add_argument("--front", help="command of the front (default: nerit-events beside this Python)")
    m.set_defaults(func=cmd_memory)

    a = p.parse_args(argv)
    unknown_modes = [x for x in getattr(a, "front_modes", []) if x not in FRONT_MODES]
    if unknown_modes:
        p.error(f"unknown front mode(s): {', '.join(unknown_modes)}")
    if getattr(a, "layouts", None):
        unknown = [x for x in a.layouts if x not in jobs.LAYOUTS]
        if unknown:
            p.error(f"unknown layout(s): {', '.join(unknown)}")
    return a.func(a)


if __name__ == "__main__":
    sys.exit(main())
