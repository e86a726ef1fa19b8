"""nerit-events options: which events, layouts and colour, help, and the refused command lines."""

import re
from datetime import datetime, timedelta
from types import SimpleNamespace

import pytest

from nerit_record_console import __version__, cli as front

ESC = "\x1b"


@pytest.mark.parametrize("args, expected", [
    ([], ["today-early", "today-second"]),
    (["-t"], ["today-early", "today-second"]),
    (["-a"], ["four-days-ago", "two-days-ago", "yesterday-late", "today-early",
              "today-second"]),
    (["-n", "3"], ["today-early", "today-second"]),  # the last line is the malformed one
    (["-n", "4"], ["yesterday-late", "today-early", "today-second"]),
    (["-d", "2"], ["two-days-ago", "yesterday-late", "today-early", "today-second"]),
    (["-S", "yesterday", "-U", "yesterday"], ["yesterday-late"]),
    (["-S", "today"], ["today-early", "today-second"]),
    (["-U", "yesterday"], ["four-days-ago", "two-days-ago", "yesterday-late"]),
    (["-S", "-3days", "-U", "tomorrow"], ["two-days-ago", "yesterday-late", "today-early",
                                          "today-second"]),
    (["-a", "-s", "audit"], ["two-days-ago", "today-second"]),
    (["-a", "-s", "usb,kern"], ["four-days-ago", "yesterday-late"]),
    (["-a", "-p", "err", "-s", "audit"], ["today-second"]),
    (["-S", "-100w", "-n", "1"], ["four-days-ago", "two-days-ago", "yesterday-late",
                                  "today-early", "today-second"]),
])
def test_selection_options_choose_the_events(cli, log, args, expected):
    result = cli.run(log, "-F", "%name_en", *args)
    assert (result.returncode, result.stderr) == (0, "")
    assert cli.names(result) == expected


def test_watch_file_option_equals_the_positional_file(cli, log):
    assert cli.run("-w", log, "-a", "-F", "%name_en").stdout == \
        cli.run(log, "-a", "-F", "%name_en").stdout != ""


@pytest.mark.parametrize("spelling", [
    ["-S", "-2h"], ["--since", "-120min"], ["-S-2h"], ["--since=-2h"], ["-S", "-2 hours"],
    ["-S", "2 hours ago"], ["--since", "-1h 59min"],
])
def test_relative_time_selects_recent_hours(cli, tmp_path, spelling):
    now = datetime.now()
    path = cli.write_events(tmp_path / "events", [
        cli.event(now - timedelta(hours=3), "three-hours"),
        cli.event(now - timedelta(minutes=50), "fifty-min")])
    result = cli.run(path, "-F", "%name_en", *spelling)
    assert (cli.names(result), result.returncode) == (["fifty-min"], 0)


def test_default_layout_end_to_end(cli, log):
    result = cli.run(log, "--no-color")
    day = cli.today.strftime("%d.%m.%Y")
    assert result.stdout == (f"{day} 00:00:05, info, Audit, today-early\n"
                             f"{day} 00:00:06, err, Audit, today-second\n")


@pytest.mark.parametrize("args, env, coloured", [
    ([], {}, False),                                  # a pipe is not a terminal
    (["--color=always"], {}, True),
    (["--color", "always", "--no-color"], {}, False),  # the engine's switch still wins
    (["--color=always"], {"NO_COLOR": "1"}, True),    # forced
    (["--color=always"], {"TERM": "dumb"}, True),
    (["--color=never"], {}, False),
])
def test_colour_follows_terminal_and_switches(cli, log, args, env, coloured):
    result = cli.run(log, "-n", "2", *args, env=env)
    assert result.returncode == 0 and result.stdout
    assert (ESC in result.stdout) is coloured


@pytest.mark.parametrize("tty, environ, choice, nocolor, expected", [
    (True, {}, "auto", False, False),
    (True, {"NO_COLOR": "1"}, "auto", False, True),
    (True, {"NO_COLOR": ""}, "auto", False, False),
    (True, {"TERM": "dumb"}, "auto", False, True),
    (True, {"TERM": "xterm-256color"}, "auto", False, False),
    (False, {}, "auto", False, True),
    (False, {"TERM": "dumb"}, "always", False, False),
    (True, {}, "never", False, True),
    (True, {}, "always", True, True),
])
def test_colour_decision(tty, environ, choice, nocolor, expected):
    stream = SimpleNamespace(isatty=lambda: tty)
    assert front.colour_is_off(choice, nocolor, stream, environ) is expected


def test_control_characters_in_events_print_escaped(cli, tmp_path):
    hostile = cli.event(cli.today + timedelta(seconds=1), "x\x1b]0;owned\x07\x1b[2J\x9b31m")
    path = cli.write_events(tmp_path / "events", [hostile])
    result = cli.run(path, "-a", "--color=never")
    assert result.returncode == 0
    assert ESC not in result.stdout and "\x07" not in result.stdout and "\x9b" not in result.stdout
    assert result.stdout.endswith(", Audit, x\\x1b]0;owned\\x07\\x1b[2J\\x9b31m\n")


@pytest.mark.parametrize("flag", ["-V", "--version"])
def test_version(cli, flag):
    result = cli.run(flag)
    assert (result.returncode, result.stdout) == (0, f"nerit-events {__version__}\n")


def test_help_names_priorities_time_forms_and_exit_statuses(cli):
    result = cli.run("--help")
    assert result.returncode == 0
    text = " ".join(result.stdout.split())
    for wanted in ("emerg (emergency), alert, crit (critical), err (error), warning (warn), "
                   "notice, info, debug", "-p err..", "exit statuses:", "141", "128+N",
                   "05.03.2024 10:20:30", "yesterday 10:00", "@1709625600", "--no-pager",
                   "--min-priority", "-o {text,json}", "TERM=dumb", "NERIT_PAGER"):
        assert wanted in text, wanted


def test_parser_builds_without_the_engine():
    import subprocess
    import sys
    code = ("import sys; from nerit_record_console import cli; cli.build_parser(); "
            "print(sorted(m for m in sys.modules if m.startswith('nerit_record_console.record')))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True)
    assert result.stdout == "[]\n"


@pytest.mark.parametrize("args, message", [
    (["-n", "-1"], "argument -n/--count: -1 is below 0"),
    (["--count=-5"], "argument -n/--count: -5 is below 0"),
    (["-d", "-2"], "argument -d/--days-back: -2 is below 0"),
    (["-n", "ten"], "argument -n/--count: 'ten' is not a whole number"),
    (["-p", "fatal"], "argument -p/--priority: unknown priority 'fatal'; the priorities are "
                      "emerg (emergency), alert, crit (critical), err (error), warning (warn), "
                      "notice, info, debug, or their numbers 0 (emerg) to 7 (debug)"),
    (["-p", ","], "argument -p/--priority: no priority in ','"),
    (["-p", ".."], "argument -p/--priority: priority range '..' names no level"),
    (["--min-priority", "8"], "argument --min-priority: unknown priority '8'"),
    (["-S", "1h"], "argument -S/--since: '1h' is not a date, a time or a time word"),
    (["-U", "2024-02-30"], "argument -U/--until: '2024-02-30': day is out of range for month"),
    (["-S", "someday"], "argument -S/--since: 'someday' is not a date"),
    (["-S", "-99999999w"], "argument -S/--since: '-99999999w': date out of range"),
    (["-o", "json", "-F", "%x", "-m"], "-o json prints events as stored: -F, -m cannot "
                                       "change that"),
    (["-o", "yaml"], "argument -o/--output: invalid choice: 'yaml'"),
    (["LOG", "-w", "/var/empty/other"], "give the event file either as FILE or with "
                                        "--watch-file, not both"),
    (["--bogus"], "unrecognized arguments: --bogus"),
])
def test_wrong_command_lines_are_refused_in_one_line(cli, log, args, message):
    result = cli.run(*[log if arg == "LOG" else arg for arg in args])
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(f"nerit-events: {message}")
    assert result.stderr.count("\n") == 1


def test_option_record_holds_the_fifteen_attributes():
    parser = front.build_parser()
    parsed = parser.parse_args(["-p", "err,crit", "-p", "alert", "-s", "audit", "-d", "3",
                                "-n", "7", "-t", "-a", "-f", "-F", "%x", "-m", "-r", "-i",
                                "--no-color", "-S", "2024-01-01", "-U", "now", "-w", "/x"])
    record = front.option_record(parsed, parser)
    assert vars(record).keys() == {"watch_file", "priority", "source", "follow", "since", "until",
                                   "days_back", "today", "all", "count", "format", "more_info",
                                   "raw", "nocolor", "iso_date"}
    assert record.priority == ["alert", "crit", "critical", "err", "error"]
    assert record.source == ["audit"]
    assert (record.days_back, record.count, record.watch_file) == (3, 7, "/x")
    assert record.follow and record.today and record.all and record.more_info and record.raw
    assert record.nocolor and record.iso_date and record.format == "%x"
    assert record.since == "2024-01-01"
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{6})?", record.until)
    defaults = front.option_record(parser.parse_args([]), parser)
    assert defaults.watch_file == "/vantor/log/nerit/events"
    assert (defaults.priority, defaults.source, defaults.count, defaults.days_back) == \
        (None, None, None, None)
