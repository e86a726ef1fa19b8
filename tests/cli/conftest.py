"""Helpers of the nerit-events tests: running the console script, writing logs and archives."""

import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import tarfile
import time
from datetime import datetime, timedelta
from pathlib import Path

import pytest

LOG_MEMBER = "vantor/log/nerit/events"
TODAY = datetime.combine(datetime.now().date(), datetime.min.time())
DAY = timedelta(days=1)


def _console_script():
    for directory in (sysconfig.get_path("scripts"), str(Path(sys.executable).parent)):
        found = shutil.which("nerit-events", path=directory)
        if found:
            return [found]
    return [sys.executable, "-m", "nerit_record_console"]


def _default_signal_actions():
    for signum in range(1, signal.NSIG):
        if signum not in (signal.SIGKILL, signal.SIGSTOP):
            try:
                signal.signal(signum, signal.SIG_DFL)
            except (OSError, ValueError):
                pass


class Cli:
    """The console script and the files it reads, for one test."""

    script = _console_script()
    today = TODAY
    day = DAY
    log_member = LOG_MEMBER

    @staticmethod
    def environment(env=None):
        environment = {**os.environ, "LANGUAGE": "en", "LC_ALL": "C.UTF-8"}
        for name in ("NO_COLOR", "PAGER", "NERIT_PAGER", "LESS", "TERM"):
            environment.pop(name, None)
        environment.update(env or {})
        return environment

    def run(self, *args, env=None, timeout=30, **options):
        return subprocess.run([*self.script, *map(str, args)], capture_output=True, text=True,
                              env=self.environment(env), timeout=timeout, **options)

    def start(self, *args, env=None, **options):
        options.setdefault("stdout", subprocess.PIPE)
        options.setdefault("stderr", subprocess.PIPE)
        # A signal that whoever started the tests ignores (nohup ignores SIGHUP) would stay
        # ignored in the script too, as it should: the tests' scripts start from the defaults.
        options.setdefault("preexec_fn", _default_signal_actions)
        return subprocess.Popen([*self.script, *map(str, args)], env=self.environment(env),
                                **options)

    @staticmethod
    def names(result):
        return result.stdout.splitlines()

    @staticmethod
    def event(moment, name, priority="info", source="nerit-audit", **extra):
        fields = {"type_ru": "Аудит", "type_en": "Audit", "name_ru": f"ру {name}",
                  "name_en": name}
        return {"ISODATE": moment.strftime("%Y-%m-%dT%H:%M:%S"), "PRIORITY": priority,
                "MSG": {source: {**fields, **extra}}}

    @staticmethod
    def line(event):
        return json.dumps(event, ensure_ascii=False, separators=(",", ":"))

    def write_events(self, path, events, malformed=()):
        lines = [self.line(e) for e in events] + list(malformed)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
        return path

    def append(self, path, *events):
        with path.open("a", encoding="utf-8") as writer:
            writer.write("".join(self.line(e) + "\n" for e in events))

    @staticmethod
    def report_archive(tmp_path, name, mode, log):
        tree = tmp_path / "tree" / "sosreport-front-tests"
        (tree / LOG_MEMBER).parent.mkdir(parents=True)
        shutil.copy(log, tree / LOG_MEMBER)
        (tree / "etc").mkdir()
        (tree / "etc" / "hostname").write_text("host\n")
        archive = tmp_path / name
        with tarfile.open(archive, mode) as tar:
            tar.add(tree, arcname=tree.name)
        return archive

    @staticmethod
    def read_until(stream, wanted, deadline):
        """What a pipe gives until `wanted` has been seen or the deadline passes."""
        seen = b""
        while time.monotonic() < deadline and wanted not in seen:
            if select.select([stream], [], [], 0.05)[0]:
                chunk = os.read(stream.fileno(), 65536)
                if not chunk:
                    break
                seen += chunk
        return seen.decode()

    @staticmethod
    def copy_of(process):
        return copy_of(process)

    @staticmethod
    def stop(process):
        """Never leaves a started process behind, whatever the test did to it."""
        if process.poll() is None:
            process.terminate()  # ends it cleanly, the unpacked copy removed
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
        process.communicate()


@pytest.fixture
def cli():
    return Cli()


@pytest.fixture
def log(tmp_path, cli):
    """Five days of events, one malformed line; names tell where each event stands."""
    events = [
        cli.event(TODAY - 4 * DAY + timedelta(hours=9), "four-days-ago", "err", "nerit-usb"),
        cli.event(TODAY - 2 * DAY + timedelta(hours=9), "two-days-ago", "crit", "nerit-audit"),
        cli.event(TODAY - DAY + timedelta(hours=23, minutes=59, seconds=50), "yesterday-late",
                  "warning", "kernel"),
        cli.event(TODAY + timedelta(seconds=5), "today-early", "info", "nerit-integrity"),
        cli.event(TODAY + timedelta(seconds=6), "today-second", "err", "nerit-audit"),
    ]
    return cli.write_events(tmp_path / "events", events, malformed=["{not json"])


_TEMP_DIR = re.compile(r"tmp\d+\.\d+(e[-+]\d+)?")


def _temp_dirs():
    return {p for p in Path("/tmp").glob("tmp*") if _TEMP_DIR.fullmatch(p.name)}


@pytest.fixture
def new_temp_dirs():
    """The unpacked-copy directories that appeared below /tmp since the test began and stay.

    Other programs on the machine may unpack at the same time: their directories go away within
    moments, while one left behind stays, so a nonempty answer is checked again for a while.
    """
    before = _temp_dirs()

    def left():
        deadline = time.monotonic() + 3
        while (found := _temp_dirs() - before) and time.monotonic() < deadline:
            time.sleep(0.1)
        return found

    return left


def copy_of(process, timeout=10):
    """The unpacked-copy directory that PROCESS holds open, or None.

    Between the first pass and follow mode the copy is closed for a moment: look again.
    """
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for fd in Path(f"/proc/{process.pid}/fd").iterdir():
            try:
                target = Path(os.readlink(fd))
            except OSError:
                continue
            if len(target.parts) > 2 and target.parts[1] == "tmp" \
                    and _TEMP_DIR.fullmatch(target.parts[2]):
                return Path(*target.parts[:3])
        time.sleep(0.02)
    return None
