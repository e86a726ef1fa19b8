"""The nerit-events front: end to end through the console script, and its parts in process."""

import gettext
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import tarfile
import time
from datetime import datetime, timedelta
from pathlib import Path
from types import SimpleNamespace

import pytest

from nerit_record_console import __version__, cli, record_console

LOG_MEMBER = "vantor/log/nerit/events"
ESC = "\x1b"


def console_script():
    for directory in (sysconfig.get_path("scripts"), str(Path(sys.executable).parent)):
        found = shutil.which("nerit-events", path=directory)
        if found:
            return [found]
    return [sys.executable, "-m", "nerit_record_console"]


SCRIPT = console_script()


def run(*args, env=None, timeout=30):
    environment = {**os.environ, "LANGUAGE": "en", "LC_ALL": "C.UTF-8"}
    environment.pop("NO_COLOR", None)
    environment.update(env or {})
    return subprocess.run([*SCRIPT, *map(str, args)], capture_output=True, text=True,
                          env=environment, timeout=timeout)


def event(moment, name, priority="info", source="nerit-audit", **extra):
    fields = {"type_ru": "Аудит", "type_en": "Audit", "name_ru": f"ру {name}", "name_en": name}
    return {"ISODATE": moment.strftime("%Y-%m-%dT%H:%M:%S"), "PRIORITY": priority,
            "MSG": {source: {**fields, **extra}}}


def write_events(path, events, malformed=()):
    lines = [json.dumps(e, ensure_ascii=False, separators=(",", ":")) for e in events]
    lines += list(malformed)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return path


TODAY = datetime.combine(datetime.now().date(), datetime.min.time())
DAY = timedelta(days=1)


@pytest.fixture
def log(tmp_path):
    """Five days of events, one malformed line; names tell where each event stands."""
    events = [
        event(TODAY - 4 * DAY + timedelta(hours=9), "four-days-ago", "err", "nerit-usb"),
        event(TODAY - 2 * DAY + timedelta(hours=9), "two-days-ago", "crit", "nerit-audit"),
        event(TODAY - DAY + timedelta(hours=23, minutes=59, seconds=50), "yesterday-late",
              "warning", "kernel"),
        event(TODAY + timedelta(seconds=5), "today-early", "info", "nerit-integrity"),
        event(TODAY + timedelta(seconds=6), "today-second", "err", "nerit-audit"),
    ]
    return write_events(tmp_path / "events", events, malformed=["{not json"])


def names(result):
    return result.stdout.splitlines()


def new_temp_dirs(before):
    pattern = re.compile(r"tmp\d+\.\d+(e[-+]\d+)?")
    return {p for p in Path("/tmp").glob("tmp*") if pattern.fullmatch(p.name)} - before


@pytest.fixture
def tmp_snapshot():
    return set(Path("/tmp").glob("tmp*"))


# ----------------------------------------------------------------------------- selection


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
    (["-a", "-p", "err,crit"], ["four-days-ago", "two-days-ago", "today-second"]),
    (["-a", "-p", "err", "-p", "crit"], ["four-days-ago", "two-days-ago", "today-second"]),
    (["-a", "-s", "audit"], ["two-days-ago", "today-second"]),
    (["-a", "-s", "usb,kern"], ["four-days-ago", "yesterday-late"]),
    (["-a", "-p", "err", "-s", "audit"], ["today-second"]),
    (["-S", "-100w", "-n", "1"], ["four-days-ago", "two-days-ago", "yesterday-late",
                                  "today-early", "today-second"]),
])
def test_selection_options_choose_the_events(log, args, expected):
    result = run(log, "-F", "%name_en", *args)
    assert (result.returncode, result.stderr) == (0, "")
    assert names(result) == expected


def test_watch_file_option_equals_the_positional_file(log):
    assert run("-w", log, "-a", "-F", "%name_en").stdout == \
        run(log, "-a", "-F", "%name_en").stdout != ""


def test_relative_time_selects_recent_hours(tmp_path):
    now = datetime.now()
    path = write_events(tmp_path / "events", [event(now - timedelta(hours=3), "three-hours"),
                                              event(now - timedelta(minutes=50), "fifty-min")])
    for spelling in (["-S", "-2h"], ["--since", "-120min"], ["-S-2h"], ["--since=-2h"]):
        result = run(path, "-F", "%name_en", *spelling)
        assert (names(result), result.returncode) == (["fifty-min"], 0), spelling


# ----------------------------------------------------------------------------- layouts, colour


def test_default_layout_end_to_end(log):
    result = run(log, "--no-color")
    day = TODAY.strftime("%d.%m.%Y")
    assert result.stdout == (f"{day} 00:00:05, info, Audit, today-early\n"
                             f"{day} 00:00:06, err, Audit, today-second\n")


@pytest.mark.parametrize("args, env, coloured", [
    ([], {}, False),                                  # a pipe is not a terminal
    (["--color=always"], {}, True),
    (["--color", "always", "--no-color"], {}, False),  # the engine's switch still wins
    (["--color=always"], {"NO_COLOR": "1"}, True),    # forced
    (["--color=never"], {}, False),
])
def test_colour_follows_terminal_and_switches(log, args, env, coloured):
    result = run(log, "-n", "2", *args, env=env)
    assert result.returncode == 0 and result.stdout
    assert (ESC in result.stdout) is coloured


@pytest.mark.parametrize("tty, environ, choice, nocolor, expected", [
    (True, {}, "auto", False, False),
    (True, {"NO_COLOR": "1"}, "auto", False, True),
    (True, {"NO_COLOR": ""}, "auto", False, False),
    (False, {}, "auto", False, True),
    (False, {}, "always", False, False),
    (True, {}, "never", False, True),
    (True, {}, "always", True, True),
])
def test_colour_decision(tty, environ, choice, nocolor, expected):
    stream = SimpleNamespace(isatty=lambda: tty)
    assert cli.colour_is_off(choice, nocolor, stream, environ) is expected


def test_control_characters_in_events_print_escaped(tmp_path):
    hostile = event(TODAY + timedelta(seconds=1), "x\x1b]0;owned\x07\x1b[2J\x9b31m")
    path = write_events(tmp_path / "events", [hostile])
    result = run(path, "-a", "--color=never")
    assert result.returncode == 0
    assert ESC not in result.stdout and "\x07" not in result.stdout and "\x9b" not in result.stdout
    assert result.stdout.endswith(", Audit, x\\x1b]0;owned\\x07\\x1b[2J\\x9b31m\n")


# ----------------------------------------------------------------------------- time words


NOW = datetime(2024, 3, 5, 14, 30, 15)


@pytest.mark.parametrize("text, expected", [
    ("today", "2024-03-05"), ("Yesterday", "2024-03-04"), ("now", "2024-03-05 14:30:15"),
    ("-2h", "2024-03-05 12:30:15"), ("-30min", "2024-03-05 14:00:15"),
    ("-30m", "2024-03-05 14:00:15"), ("-45s", "2024-03-05 14:29:30"),
    ("-10sec", "2024-03-05 14:30:05"), ("-7d", "2024-02-27 14:30:15"),
    ("-1w", "2024-02-27 14:30:15"), ("2024-01-02 03:04", "2024-01-02 03:04"),
    ("-2x", "-2x"), ("", ""), (None, None), ("tomorrow", "tomorrow"),
])
def test_time_words_become_dates(text, expected):
    assert cli.resolve_time_word(text, NOW) == expected


def test_relative_time_before_year_one_is_a_usage_error():
    with pytest.raises(SystemExit) as ended:
        cli.main(["-S", "-99999999w", "/var/empty/events"])
    assert ended.value.code == 2


# ----------------------------------------------------------------------------- archives


def report_archive(tmp_path, name, mode, log):
    tree = tmp_path / "tree" / "sosreport-host-2024"
    (tree / LOG_MEMBER).parent.mkdir(parents=True)
    shutil.copy(log, tree / LOG_MEMBER)
    (tree / "etc").mkdir()
    (tree / "etc" / "hostname").write_text("host\n")
    archive = tmp_path / name
    with tarfile.open(archive, mode) as tar:
        tar.add(tree, arcname=tree.name)
    return archive


@pytest.mark.parametrize("name, mode", [("report.tar", "w"), ("report.tgz", "w:gz"),
                                        ("report.tar.xz", "w:xz")])
def test_report_archive_is_read_and_its_copy_removed(log, tmp_path, tmp_snapshot, name, mode):
    archive = report_archive(tmp_path, name, mode, log)
    result = run(archive, "-a", "-F", "%name_en")
    assert (result.returncode, result.stderr) == (0, "")
    assert names(result)[0] == "four-days-ago" and len(names(result)) == 5
    assert new_temp_dirs(tmp_snapshot) == set()


def hostile_member(name, kind=tarfile.REGTYPE, linkname=""):
    info = tarfile.TarInfo(name)
    info.type, info.linkname = kind, linkname
    info.size = 3 if kind == tarfile.REGTYPE else 0
    return info


@pytest.mark.parametrize("members, reason", [
    ([hostile_member("/tmp/nerit-escape", tarfile.DIRTYPE),
      hostile_member(f"/tmp/nerit-escape/{LOG_MEMBER}")], "absolute"),
    ([hostile_member("../nerit-escape", tarfile.DIRTYPE),
      hostile_member(f"../nerit-escape/{LOG_MEMBER}")], "outside the destination"),
    ([hostile_member("D", tarfile.DIRTYPE),
      hostile_member(f"D/{LOG_MEMBER}", tarfile.SYMTYPE, "/etc/shadow")],
     "is a symbolic link (to '/etc/shadow')"),
    ([hostile_member("D", tarfile.DIRTYPE),
      hostile_member(f"D/{LOG_MEMBER}", tarfile.LNKTYPE, "D/x")], "is a hard link"),
    ([hostile_member("D", tarfile.DIRTYPE), hostile_member(f"D/{LOG_MEMBER}", tarfile.CHRTYPE)],
     "is a special file"),
], ids=["absolute", "dotdot", "symlink", "hardlink", "device"])
def test_hostile_archive_is_refused(tmp_path, tmp_snapshot, members, reason):
    archive = tmp_path / "hostile.tar"
    with tarfile.open(archive, "w") as tar:
        for info in members:
            tar.addfile(info, io.BytesIO(b"{}\n") if info.isreg() else None)
    result = run(archive, "-a")
    assert result.returncode == 1 and result.stdout == ""
    assert re.fullmatch(r"nerit-events: .*hostile\.tar: unpacking refused: .+\n", result.stderr)
    assert reason in result.stderr
    assert not Path("/tmp/nerit-escape").exists()
    assert not (tmp_path.parent / "nerit-escape").exists()
    assert new_temp_dirs(tmp_snapshot) == set()


@pytest.mark.parametrize("case, reason", [
    ("absolute", f"member '/tmp/nerit-escape/{LOG_MEMBER}' has an absolute path"),
    ("symlink", f"'D/{LOG_MEMBER}' is a symbolic link (to '/etc/shadow')"),
    ("fifo", f"'D/{LOG_MEMBER}' is a special file"),
    ("too large", f"'D/{LOG_MEMBER}' declares 3 bytes, more than the 2 bytes free for it in "
                  "'TEMP' (free space less a margin of 64 MiB)"),
])
def test_refusal_reads_the_same_whatever_tarfile_unpacks(engine_tarfile, tmp_path, viewer_clock,
                                                         monkeypatch, capsys, case, reason):
    monkeypatch.setattr(cli.signal, "signal", lambda *args: None)
    monkeypatch.setattr(cli, "_bind_catalogue", lambda: None)
    monkeypatch.setattr(record_console.shutil, "disk_usage",  # 2 bytes beyond the margin
                        lambda path: shutil._ntuple_diskusage(1 << 30, 1 << 29, (64 << 20) + 2))
    top = "/tmp/nerit-escape" if case == "absolute" else "D"
    kind, link = {"symlink": (tarfile.SYMTYPE, "/etc/shadow"), "fifo": (tarfile.FIFOTYPE, "")}.get(
        case, (tarfile.REGTYPE, ""))
    archive = tmp_path / "hostile.tar"
    with tarfile.open(archive, "w") as tar:
        for info in (hostile_member(top, tarfile.DIRTYPE),
                     hostile_member(f"{top}/{LOG_MEMBER}", kind, link)):
            tar.addfile(info, io.BytesIO(b"{}\n") if info.isreg() else None)
    assert cli.main([str(archive), "-a"]) == 1
    reason = reason.replace("TEMP", f"/tmp/tmp{viewer_clock[0]!r}")
    assert capsys.readouterr() == ("", f"nerit-events: {archive}: unpacking refused: {reason}\n")
    assert engine_tarfile.extracts == [] and viewer_clock.left_behind() == set()


def test_archive_without_event_log(tmp_path, tmp_snapshot):
    archive = tmp_path / "other.tgz"
    (tmp_path / "D").mkdir()
    with tarfile.open(archive, "w:gz") as tar:
        tar.add(tmp_path / "D", arcname="D")
    result = run(archive)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == (f"nerit-events: {archive}: the archive holds no event log "
                             f"(filename 'D/{LOG_MEMBER}' not found)\n")
    assert new_temp_dirs(tmp_snapshot) == set()


@pytest.mark.parametrize("content", [
    b"not an archive", b"\x1f\x8b\x08garbage", b"\x1f\x8b\x08\x00" + b"\x00" * 6,
    b"\xfd7zXZ\x00\x00\x04\xe6\xd6\xb4\x46\x02\x00\x21\x01\x16\x00\x00\x00",
], ids=["text", "cut gzip", "empty gzip", "cut xz"])
def test_corrupted_archive(tmp_path, tmp_snapshot, content):
    archive = tmp_path / "broken.tgz"
    archive.write_bytes(content)
    result = run(archive)
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout == "Unpacking failed: Unsupported format or corrupted file\n"
    assert new_temp_dirs(tmp_snapshot) == set()


# ----------------------------------------------------------------------------- errors


@pytest.mark.parametrize("args, stdout", [
    (["/var/empty/no-such-events"], "No such file\n"),
    (["/var/empty/no-such-report.tar.xz"], "No such file\n"),
    (["LOG", "-S", "someday"], "Invalid date format: Unknown string format: someday\n"),
    (["LOG", "-U", "2024-02-30"],
     "Invalid date format: day is out of range for month: 2024-02-30\n"),
])
def test_construction_errors_print_the_engine_messages(log, args, stdout):
    result = run(*[log if arg == "LOG" else arg for arg in args])
    assert (result.returncode, result.stdout, result.stderr) == (1, stdout, "")


def test_event_without_message_block_is_reported_in_one_line(tmp_path):
    path = write_events(tmp_path / "events", [event(TODAY, "fine")],
                        malformed=['{"ISODATE":"2024-03-05T00:00:00","PRIORITY":"err"}'])
    result = run(path, "-a", "--no-color")
    assert result.returncode == 1
    assert result.stdout.endswith(", info, Audit, fine\n")
    assert result.stderr == "nerit-events: malformed event: KeyError: 'MSG'\n"


def test_bad_event_date_uses_the_show_handler(tmp_path):
    path = write_events(tmp_path / "events", [], malformed=[
        '{"ISODATE":"2024-03-05T25:00:00","PRIORITY":"err","MSG":{"k":{}}}'])
    result = run(path, "-S", "2024-01-01")
    assert result.returncode == 1 and result.stderr == ""
    assert result.stdout.startswith("Invalid date format: ")


def test_closed_pipe_ends_quietly(tmp_path):
    many = [event(TODAY + timedelta(seconds=i % 80000), f"event-{i}-" + "x" * 100)
            for i in range(3000)]
    path = write_events(tmp_path / "events", many)
    process = subprocess.Popen([*SCRIPT, str(path), "-a", "-F", "%name_en"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline().startswith(b"event-0-")
    process.stdout.close()
    _, stderr = process.communicate(timeout=30)
    assert (process.returncode, stderr) == (cli.EXIT_BROKEN_PIPE, b"")


def test_normal_end_and_version_and_help(log):
    assert run(log, "-a").returncode == 0
    version = run("--version")
    assert (version.returncode, version.stdout) == (0, f"nerit-events {__version__}\n")
    helptext = run("--help").stdout
    assert "examples:" in helptext and "--days-back" in helptext and "NO_COLOR" in helptext


def test_two_different_event_files_are_a_usage_error(log):
    result = run(log, "-w", "/var/empty/other")
    assert result.returncode == 2 and "not both" in result.stderr


# ----------------------------------------------------------------------------- front in process


class Viewer:
    """Stand-in viewer whose construction or show raises the given error."""
    construct_error = None
    show_error = None

    def __init__(self, options):
        if Viewer.construct_error is not None:
            raise Viewer.construct_error

    def show_events(self):
        if Viewer.show_error is not None:
            raise Viewer.show_error


@pytest.fixture
def stand_in_viewer(monkeypatch):
    monkeypatch.setattr(record_console, "NeritEventViewer", Viewer)
    monkeypatch.setattr(cli.signal, "signal", lambda *args: None)
    monkeypatch.setattr(cli, "_bind_catalogue", lambda: None)  # keep the process-wide binding
    monkeypatch.setattr(Viewer, "construct_error", None)
    monkeypatch.setattr(Viewer, "show_error", None)
    return Viewer


@pytest.mark.parametrize("where, error, status, out, err", [
    ("construct", FileNotFoundError(2, "x"), 1, "No such file\n", ""),
    ("construct", tarfile.ReadError("x"), 1,
     "Unpacking failed: Unsupported format or corrupted file\n", ""),
    ("construct", ValueError("bad"), 1, "Invalid date format: bad\n", ""),
    ("construct", PermissionError(13, "Permission denied", "/secret/events"), 1, "",
     "nerit-events: permission denied: /secret/events\n"),
    ("construct", KeyError("filename 'D/x' not found"), 1, "",
     "nerit-events: /f.tgz: the archive holds no event log (filename 'D/x' not found)\n"),
    ("construct", tarfile.CompressionError("lzma module is not available"), 1, "",
     "nerit-events: /f.tgz: unpacking failed: lzma module is not available\n"),
    ("construct", OverflowError("date value out of range"), 1, "",
     "nerit-events: OverflowError: date value out of range\n"),
    ("construct", KeyboardInterrupt(), 130, "", ""),
    ("show", KeyboardInterrupt(), 130, "", ""),
    ("show", KeyError("MSG"), 1, "", "nerit-events: malformed event: KeyError: 'MSG'\n"),
    ("show", OSError(5, "Input/output error", "/f.tgz"), 1, "",
     "nerit-events: Input/output error: /f.tgz\n"),
    ("show", None, 0, "", ""),
])
def test_front_reports_errors_in_one_line(stand_in_viewer, capsys, where, error, status, out,
                                          err):
    setattr(Viewer, f"{where}_error", error)
    assert cli.main(["/f.tgz"]) == status
    assert capsys.readouterr() == (out, err)


def test_engine_exit_status_passes_through(stand_in_viewer):
    Viewer.show_error = SystemExit(0)
    with pytest.raises(SystemExit) as ended:
        cli.main(["/f"])
    assert ended.value.code == 0


def test_broken_pipe_in_process_redirects_stdout(stand_in_viewer, monkeypatch):
    silenced = []
    monkeypatch.setattr(cli, "_silence_stdout", lambda: silenced.append(True))
    Viewer.show_error = BrokenPipeError(32, "Broken pipe")
    assert cli.main(["/f"]) == cli.EXIT_BROKEN_PIPE and silenced == [True]


def test_option_record_holds_the_fifteen_attributes():
    parser = cli.build_parser()
    parsed = parser.parse_args(["-p", "err,crit", "-p", "alert", "-s", "audit", "-d", "3",
                                "-n", "7", "-t", "-a", "-f", "-F", "%x", "-m", "-r", "-i",
                                "--no-color", "-S", "2024-01-01", "-U", "now", "-w", "/x"])
    record = cli.option_record(parsed, parser)
    assert vars(record).keys() == {"watch_file", "priority", "source", "follow", "since", "until",
                                   "days_back", "today", "all", "count", "format", "more_info",
                                   "raw", "nocolor", "iso_date"}
    assert record.priority == ["err", "crit", "alert"] and record.source == ["audit"]
    assert (record.days_back, record.count, record.watch_file) == (3, 7, "/x")
    assert record.follow and record.today and record.all and record.more_info and record.raw
    assert record.nocolor and record.iso_date and record.format == "%x"
    assert record.since == "2024-01-01" and re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d",
                                                         record.until)
    defaults = cli.option_record(parser.parse_args([]), parser)
    assert defaults.watch_file == "/vantor/log/nerit/events"
    assert (defaults.priority, defaults.source, defaults.count, defaults.days_back) == \
        (None, None, None, None)


# ----------------------------------------------------------------------------- catalogue


def test_installed_catalogue_translates_the_messages(tmp_path, monkeypatch, capsys):
    assert cli.main(["--install-catalogue", str(tmp_path / "locale")]) == 0
    installed = tmp_path / "locale" / "ru" / "LC_MESSAGES" / "nerit_record_console.mo"
    assert capsys.readouterr().out == f"installed {installed}\n"
    monkeypatch.setenv("LANGUAGE", "ru")
    previous = gettext.bindtextdomain("nerit_record_console")
    gettext.bindtextdomain("nerit_record_console", str(tmp_path / "locale"))
    try:
        assert [record_console._(text) for text in (
            "No such file", "Unpacking failed: Unsupported format or corrupted file",
            "Invalid date format")] == [
            "Нет такого файла", "Ошибка распаковки: неподдерживаемый формат или повреждённый файл",
            "Неверный формат даты"]
    finally:
        gettext.bindtextdomain("nerit_record_console", previous)


def test_russian_messages_end_to_end(log):
    result = run(log, "-S", "someday", env={"LANGUAGE": "ru"})
    assert result.stdout == "Неверный формат даты: Unknown string format: someday\n"


def test_catalogue_install_failure_is_one_line(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    result = run("--install-catalogue", blocker)
    assert result.returncode == 1
    assert result.stderr.startswith("nerit-events: cannot install the catalogue: ")
    assert result.stderr.count("\n") == 1


# ----------------------------------------------------------------------------- follow mode


def read_until(stream, wanted, deadline):
    """Lines read from a non-blocking pipe until `wanted` has been seen or the deadline passes."""
    seen = b""
    while time.monotonic() < deadline:
        chunk = os.read(stream.fileno(), 65536) if _readable(stream, 0.05) else b""
        seen += chunk
        if wanted in seen:
            break
    return seen.decode()


def _readable(stream, timeout):
    import select
    return bool(select.select([stream], [], [], timeout)[0])


def test_follow_prints_appended_events_and_ends_with_0_on_interrupt(log):
    process = subprocess.Popen([*SCRIPT, str(log), "-f", "-n", "2", "-F", "%name_en",
                                "-p", "err,info"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 10
        first = read_until(process.stdout, b"today-second\n", deadline)
        assert first == "today-second\n"
        # Follow mode starts at the end the file has when it begins, which this side cannot
        # see: append until an event shows, so that a slow start cannot lose the test.
        seen = ""
        while not seen and time.monotonic() < deadline:
            with log.open("a", encoding="utf-8") as writer:
                for name, priority in (("dropped", "debug"), ("appended", "err")):
                    writer.write(json.dumps(event(TODAY, name, priority)) + "\n")
            seen = read_until(process.stdout, b"appended\n", time.monotonic() + 1.5)
        assert seen.startswith("appended\n") and "dropped" not in seen
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=5) == 0
        assert process.stderr.read() == b""
    finally:
        process.kill()
        process.wait()


def test_follow_on_archive_removes_the_copy_after_interrupt(log, tmp_path, tmp_snapshot):
    archive = report_archive(tmp_path, "report.tar.xz", "w:xz", log)
    process = subprocess.Popen([*SCRIPT, str(archive), "-f", "-n", "2", "-F", "%name_en"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 10
        assert read_until(process.stdout, b"today-second\n", deadline) == "today-second\n"
        assert len(new_temp_dirs(tmp_snapshot)) == 1
        time.sleep(0.5)  # let follow mode start waiting on the unchanging copy
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=5) == 0
    finally:
        process.kill()
        process.wait()
    assert new_temp_dirs(tmp_snapshot) == set()


def test_terminate_signal_still_removes_the_copy(log, tmp_path, tmp_snapshot):
    archive = report_archive(tmp_path, "report.tgz", "w:gz", log)
    process = subprocess.Popen([*SCRIPT, str(archive), "-f", "-n", "2", "-F", "%name_en"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert read_until(process.stdout, b"\n", time.monotonic() + 10) == "today-second\n"
        time.sleep(0.5)  # let follow mode begin
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=5) == cli.EXIT_TERMINATED
    finally:
        process.kill()
        process.wait()
    assert new_temp_dirs(tmp_snapshot) == set()
