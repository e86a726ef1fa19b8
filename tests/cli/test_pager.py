"""Paging on a terminal: which pager, when, and how its end counts."""

import errno
import os
import pty
import subprocess
import sys
from datetime import timedelta
from types import SimpleNamespace

import pytest

from nerit_record_console import _pager, cli as front

# Stands in for less: keeps LESS and what it reads (at most LIMIT bytes), then ends with STATUS.
PAGER_SCRIPT = """\
import os, sys
target, limit, status = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(target + ".less", "w") as note:
    note.write(os.environ.get("LESS", "<unset>"))
data = sys.stdin.buffer.read(limit) if limit >= 0 else sys.stdin.buffer.read()
with open(target, "wb") as kept:
    kept.write(data)
sys.exit(status)
"""


@pytest.fixture
def pager(tmp_path):
    script = tmp_path / "pager.py"
    script.write_text(PAGER_SCRIPT)

    def command(name="paged", limit=-1, status=0):
        return f"{sys.executable} {script} {tmp_path / name} {limit} {status}"

    command.read = lambda name="paged": (tmp_path / name).read_bytes()
    command.less = lambda name="paged": (tmp_path / f"{name}.less").read_text()
    command.ran = lambda name="paged": (tmp_path / f"{name}.less").exists()
    return command


def on_terminal(cli, *args, env=None):
    """Runs nerit-events with a terminal as its standard output: (status, screen, stderr)."""
    main, terminal = pty.openpty()
    process = cli.start(*args, env={"TERM": "xterm", **(env or {})}, stdout=terminal,
                        stdin=subprocess.DEVNULL)
    os.close(terminal)
    screen = b""
    try:
        while True:
            try:
                chunk = os.read(main, 65536)
            except OSError as error:  # the terminal's other side closed
                if error.errno != errno.EIO:
                    raise
                break
            if not chunk:
                break
            screen += chunk
        status = process.wait(timeout=30)
        return status, screen.decode().replace("\r\n", "\n"), process.stderr.read().decode()
    finally:
        os.close(main)
        cli.stop(process)


def test_output_to_a_terminal_goes_through_the_pager_with_colours(cli, log, pager):
    status, screen, err = on_terminal(cli, log, "-a", env={"NERIT_PAGER": pager()})
    assert (status, screen, err) == (0, "", "")
    paged = pager.read().decode()
    assert paged.count("\n") == 5 and "\x1b[" in paged and "today-second" in paged
    assert pager.less() == "FRX"


@pytest.mark.parametrize("env, chosen", [
    ({"NERIT_PAGER": "NERIT", "PAGER": "PLAIN"}, "NERIT"),
    ({"PAGER": "PLAIN"}, "PLAIN"),
    ({"PAGER": "PLAIN", "LESS": "-S"}, "PLAIN"),
])
def test_the_users_pager_and_less_settings_are_honoured(cli, log, pager, env, chosen):
    env = {name: pager(value) if value in ("NERIT", "PLAIN") else value
           for name, value in env.items()}
    status, screen, _ = on_terminal(cli, log, "-a", env=env)
    assert (status, screen) == (0, "")
    assert pager.read(chosen).count(b"\n") == 5
    assert not pager.ran({"NERIT": "PLAIN", "PLAIN": "NERIT"}[chosen])
    assert pager.less(chosen) == env.get("LESS", "FRX")


@pytest.mark.parametrize("args, env", [
    (["--no-pager"], {}),
    ([], {"TERM": "dumb"}),
    ([], {"NERIT_PAGER": ""}),
    ([], {"NERIT_PAGER": "cat"}),
    ([], {"NERIT_PAGER": "/var/empty/no-such-pager --flag"}),  # missing: plain output
    ([], {"NERIT_PAGER": "'unbalanced"}),
])
def test_plain_output_when_paging_is_off_or_cannot_start(cli, log, pager, args, env):
    env = {"PAGER": pager(), **env}
    status, screen, err = on_terminal(cli, log, "-a", "--color=never", *args, env=env)
    assert (status, err) == (0, "")
    assert screen.splitlines()[-1].endswith(", err, Audit, today-second")
    assert not pager.ran()


@pytest.fixture
def long_log(cli, tmp_path):
    events = [cli.event(cli.today + timedelta(seconds=i % 80000), f"event-{i}-" + "x" * 200)
              for i in range(4000)]
    return cli.write_events(tmp_path / "long", events)


def test_leaving_the_pager_early_is_a_normal_end(cli, long_log, pager):
    status, screen, err = on_terminal(cli, long_log, "-a", env={"NERIT_PAGER": pager(limit=10)})
    assert (status, screen, err) == (0, "", "")
    assert len(pager.read()) == 10


@pytest.mark.parametrize("size", ["short", "long"])
def test_a_failing_pager_is_reported(cli, log, long_log, pager, size):
    path = log if size == "short" else long_log
    status, screen, err = on_terminal(cli, path, "-a", env={"NERIT_PAGER": pager(status=3)})
    assert (status, screen) == (1, "")
    assert err == f"nerit-events: the pager {sys.executable!r} ended with status 3\n"


def test_engine_messages_reach_the_pager_too(cli, tmp_path, pager):
    path = cli.write_events(tmp_path / "events", [cli.event(cli.today, "fine")], malformed=[
        '{"ISODATE":"2024-03-05T25:00:00","PRIORITY":"err","MSG":{"k":{}}}'])
    status, screen, err = on_terminal(cli, path, "-S", "2024-01-01", "--no-color",
                                      env={"NERIT_PAGER": pager()})
    assert (status, screen, err) == (1, "", "")
    assert pager.read().decode().splitlines()[-1].startswith("Invalid date format: ")


@pytest.mark.parametrize("environ, argv", [
    ({}, ["less"]),
    ({"PAGER": "more -d"}, ["more", "-d"]),
    ({"PAGER": "more", "NERIT_PAGER": "less -S -x4"}, ["less", "-S", "-x4"]),
    ({"PAGER": "more", "NERIT_PAGER": ""}, None),
    ({"PAGER": " "}, None),
    ({"PAGER": "/bin/cat"}, None),
    ({"PAGER": "'less"}, None),
])
def test_pager_command(environ, argv):
    assert _pager.pager_command(environ) == argv


@pytest.mark.parametrize("tty, no_pager, follow, term, paged", [
    (True, False, False, "xterm", True),
    (False, False, False, "xterm", False),
    (True, True, False, "xterm", False),
    (True, False, True, "xterm", False),
    (True, False, False, "dumb", False),
])
def test_when_a_pager_is_used(monkeypatch, tty, no_pager, follow, term, paged):
    monkeypatch.setattr(front.sys, "stdout", SimpleNamespace(isatty=lambda: tty))
    chosen = front._pager_for(SimpleNamespace(no_pager=no_pager), SimpleNamespace(follow=follow),
                              {"TERM": term})
    assert (chosen == ["less"]) is paged
