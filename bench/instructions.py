"""Instructions per line of the byte-level event path, counted by callgrind on a fixed slice.

    python bench/instructions.py SLICE [--modes all-colour,priority] [--python PY ...] [--top N]

Runs `_probe.render_file` over SLICE (to /dev/null) under `valgrind --tool=callgrind`, counting
only the instructions executed inside it: the line reader, the scan, the filters and the layout,
without the interpreter's start-up. Each `--python` names an interpreter that has the package
with `_probe` installed unstripped (default: this one), so that two builds are counted side by
side in one run:

    pip install -Cinstall.strip=false -Ccmake.define.NERIT_BUILD_PROBE=ON .
 `--top N` also lists the N functions of most inclusive cost per mode. A slice is made from a
larger log with `--make-slice LOG --lines N`, taking N lines from the middle of LOG.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
import jobs  # noqa: E402

# Run in the counted interpreter: the probe's settings for the mode, then the counted call.
CHILD = """
import json, os, sys
sys.path.insert(0, {bench!r})
import jobs
from nerit_record_console import _probe, record_layout
config = jobs.core_config({mode!r}, record_layout.NeritEventFormatter)
sink = os.open(os.devnull, os.O_WRONLY)
counts = _probe.render_file({path!r}, sink, config)
print(json.dumps(counts))
"""
TOTALS = re.compile(r"^(?:summary|totals):\s+(\d+)", re.M)


def make_slice(log: Path, out: Path, lines: int) -> None:
    """`lines` whole lines from the middle of `log`."""
    with open(log, "rb") as f:
        f.seek(max(0, log.stat().st_size // 2))
        f.readline()
        with open(out, "wb") as o:
            for _ in range(lines):
                line = f.readline()
                if not line:
                    break
                o.write(line)


def count(python: str, mode: str, path: Path, top: int) -> tuple[dict, int, str]:
    with tempfile.TemporaryDirectory(prefix="callgrind-") as tmp:
        out = Path(tmp) / "callgrind.out"
        code = CHILD.format(bench=str(BENCH_DIR), mode=mode, path=str(path))
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             "--toggle-collect=nerit::probe::render_file*", python, "-c", code],
            capture_output=True, text=True)
        if run.returncode != 0:
            raise SystemExit(f"{python} {mode}: {run.stderr.strip().splitlines()[-1]}")
        counts = json.loads(run.stdout)
        text = out.read_text(errors="replace")
        total = int(TOTALS.search(text).group(1))
        if total == 0:
            raise SystemExit(f"{python}: nothing counted; is the package installed unstripped?")
        listing = ""
        if top:
            annotate = subprocess.run(["callgrind_annotate", "--inclusive=yes", str(out)],
                                      capture_output=True, text=True).stdout
            rows = [x for x in annotate.splitlines() if re.match(r"^\s*[\d,]+ \(", x)]
            listing = "\n".join(rows[:top])
    return counts, total, listing


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("slice", type=Path)
    parser.add_argument("--modes", default="all-colour,priority,source,detailed,expression")
    parser.add_argument("--python", action="append", default=[])
    parser.add_argument("--top", type=int, default=0)
    parser.add_argument("--make-slice", type=Path, metavar="LOG")
    parser.add_argument("--lines", type=int, default=20_000)
    a = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    if a.make_slice:
        make_slice(a.make_slice, a.slice, a.lines)
    pythons = a.python or [sys.executable]
    modes = [m for m in a.modes.split(",") if m]
    unknown = [m for m in modes if m not in jobs.FRONT_MODES or jobs.FRONT_MODES[m].get("since")
               or jobs.FRONT_MODES[m].get("count")]
    if unknown:
        raise SystemExit(f"modes that read the whole slice: not {', '.join(unknown)}")
    print(f"{a.slice}: {a.slice.stat().st_size} bytes; instructions per line")
    print(f"{'mode':<12}" + "".join(f"{os.path.basename(os.path.dirname(os.path.dirname(p)))[:22]:>24}"
                                  for p in pythons))
    for mode in modes:
        cells, listings = [], []
        for python in pythons:
            counts, total, listing = count(python, mode, a.slice, a.top)
            cells.append(f"{total / counts['lines']:>24.0f}")
            if listing:
                listings.append(f"-- {python} {mode} (of {total / counts['lines']:.0f} per line)"
                                f"\n{listing}")
        print(f"{mode:<12}" + "".join(cells))
        for listing in listings:
            print(listing)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
