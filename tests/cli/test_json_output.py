"""-o json: each selected event as one compact JSON line, as the log holds it."""

import json
import signal
import time
from datetime import timedelta

import pytest

from nerit_record_console import _json_output, cli as front, record_console

PATHS = pytest.mark.parametrize("paths", [{}, {"NERIT_HOST_PATHS": "1"}], ids=["fast", "host"])


@PATHS
def test_json_lines_are_the_stored_events_after_the_filters(cli, tmp_path, paths):
    events = [
        {"ISODATE": "2024-03-05T10:00:00.5+03:00", "PRIORITY": "error", "HOST": "db",
         "MSG": {"nerit-audit": {"type_en": "Audit", "name_en": "one", "name_ru": "один"}},
         "extra": [1, 2.5, None, True, {"k": "v"}]},
        cli.event(cli.today, "filtered out", "info"),
        {"PRIORITY": "err", "DATE": "2024-03-05 10:00:01", "MSG": {"kernel": {"count": 3}}},
    ]
    path = cli.write_events(tmp_path / "events", events, malformed=["{broken"])
    result = cli.run(path, "-a", "-o", "json", "-p", "err", "--color=always", env=paths)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == cli.line(events[0]) + "\n" + cli.line(events[2]) + "\n"


@PATHS
def test_json_keeps_the_events_own_control_characters_as_json_escapes(cli, tmp_path, paths):
    text = "a\x1b[2Jb\x07c\x9b31m\x7fd\\x1b\te"
    stored = cli.event(cli.today, text, **{"k\x1bey": text})
    path = cli.write_events(tmp_path / "events", [stored])
    result = cli.run(path, "-a", "-o", "json", env=paths)
    assert result.returncode == 0
    line = result.stdout.rstrip("\n")
    assert not any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 for c in line)
    assert "\\u001b[2J" in line and "\\u009b" in line and "\\u007f" in line
    assert json.loads(line) == stored  # the event's own text, backslashes and all


def test_json_line_of_a_python_event():
    event = {"a": "é\u0085", "b": [1.0, {"c": "\x00"}], "ü": None}
    assert _json_output.event_line(event) == '{"a":"é\\u0085","b":[1.0,{"c":"\\u0000"}],"ü":null}'


def test_json_with_a_range_and_the_last_lines(cli, log):
    since = cli.run(log, "-o", "json", "-S", "yesterday", "-U", "yesterday")
    assert [json.loads(line)["MSG"]["kernel"]["name_en"] for line in cli.names(since)] == \
        ["yesterday-late"]
    last = cli.run(log, "-o", "json", "-n", "3")
    assert [json.loads(line)["PRIORITY"] for line in cli.names(last)] == ["info", "err"]


def test_json_follows_appended_events(cli, log):
    process = cli.start(log, "-f", "-n", "2", "-o", "json", "-p", "err")
    try:
        deadline = time.monotonic() + 10
        first = cli.read_until(process.stdout, b"\n", deadline)
        assert json.loads(first)["MSG"]["nerit-audit"]["name_en"] == "today-second"
        appended = cli.event(cli.today, "appended\x1b", "error")
        seen = ""
        while "appended" not in seen and time.monotonic() < deadline:
            cli.append(log, appended)
            seen = cli.read_until(process.stdout, b"appended", time.monotonic() + 1.5)
        assert json.loads(seen.splitlines()[0]) == appended
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=5) == 0
    finally:
        cli.stop(process)


def test_json_mode_leaves_the_engine_as_it_was(log, monkeypatch, capsys):
    monkeypatch.setattr(front, "_bind_catalogue", lambda: None)
    before = {name: getattr(record_console, name)
              for name in (*_json_output.ITERATOR_NAMES, "NeritEventFormatter")}
    assert front.main([str(log), "-a", "-o", "json"]) == 0
    assert len(capsys.readouterr().out.splitlines()) == 5
    assert {name: getattr(record_console, name) for name in before} == before
