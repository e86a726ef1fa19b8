"""Bad input and failures: one line, the right stream and status, never a traceback."""

import errno
import gettext
import os
import socket
import subprocess
import tarfile
from datetime import timedelta

import pytest

from nerit_record_console import cli as front, record_console


@pytest.fixture
def odd_inputs(tmp_path):
    """Paths that are not readable event logs, by name."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    plain = tmp_path / "plain"
    plain.write_text("")
    listening = socket.socket(socket.AF_UNIX)
    listening.bind(str(tmp_path / "socket"))
    yield {"missing": tmp_path / "no-such-events", "missing-archive": tmp_path / "report.tgz",
           "directory": tmp_path, "under-a-file": plain / "events", "fifo": fifo,
           "socket": tmp_path / "socket", "device": "/dev/null"}
    listening.close()


@pytest.mark.parametrize("name, args, reason", [
    ("missing", [], os.strerror(errno.ENOENT)),
    ("missing-archive", ["-a"], os.strerror(errno.ENOENT)),
    ("directory", ["-f"], os.strerror(errno.EISDIR)),
    ("under-a-file", ["-n", "5"], os.strerror(errno.ENOTDIR)),
    ("socket", ["-a"], os.strerror(errno.ENXIO)),
    ("fifo", ["-n", "5"], "the last lines (-n) need a regular file, not a pipe"),
    ("fifo", ["--count=1", "-f"], "following (-f) needs a regular file, not a pipe"),
    ("device", ["-n", "5"], "the last lines (-n) need a regular file, not a device"),
    ("device", ["-a", "-f"], "following (-f) needs a regular file, not a device"),
])
def test_unreadable_input_is_named_on_standard_error(cli, odd_inputs, name, args, reason):
    path = odd_inputs[name]
    result = cli.run(path, *args, timeout=10)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"nerit-events: {path}: {reason}\n"


def test_a_fifo_without_last_lines_is_still_read(cli, odd_inputs, log):
    process = cli.start(odd_inputs["fifo"], "-a", "-F", "%name_en")
    try:
        with open(odd_inputs["fifo"], "wb") as writer:
            writer.write(log.read_bytes())
        out, err = process.communicate(timeout=10)
        assert (process.returncode, err) == (0, b"")
        assert out.splitlines()[-1] == b"today-second"
    finally:
        cli.stop(process)


def test_permission_to_read_is_checked_before_the_engine(monkeypatch, capsys):
    def refuse(path, flags):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)

    monkeypatch.setattr(front.os, "open", refuse)
    assert front.main(["/etc/hostname"]) == 1
    assert capsys.readouterr() == ("", f"nerit-events: /etc/hostname: "
                                       f"{os.strerror(errno.EACCES)}\n")


@pytest.mark.parametrize("env", [
    {"LC_ALL": "C", "PYTHONIOENCODING": "ascii"},
    {"LC_ALL": "ru_RU.UTF-8", "PYTHONUTF8": "0", "LANGUAGE": "ru"},
], ids=["ascii", "unknown-locale"])
def test_text_the_output_cannot_encode_is_written_as_escapes(cli, tmp_path, env):
    # ASCII only in the file: a locale unknown here makes the engine read it as ASCII.
    path = cli.write_events(tmp_path / "events", [], malformed=[
        '{"ISODATE":"2024-03-05T10:00:00","PRIORITY":"info","MSG":{"k":{"name_en":"x"}}}',
        '{"ISODATE":"2024-03-05T25:00:00","PRIORITY":"err","MSG":{"k":{}}}'])
    result = cli.run(path, "-S", "2024-01-01", "-F", "%name_en \u2713", env=env)
    assert "Traceback" not in result.stderr
    assert result.returncode == 1 and result.stdout.isascii()
    # (an unknown locale reads the command line as ASCII too: the mark arrives as three bytes)
    assert result.stdout.splitlines()[0] in ("x \\u2713", "x \\udce2\\udc9c\\udc93")
    assert result.stdout.splitlines()[1].endswith(": hour must be in 0..23")
    refused = cli.run(path, "-S", "завтра", env=env)
    assert (refused.returncode, refused.stdout) == (2, "")
    assert refused.stderr.startswith("nerit-events: argument -S/--since: '\\u")
    assert "' is not a date" in refused.stderr and refused.stderr.count("\n") == 1


def test_engine_messages_stay_on_standard_output(cli, tmp_path):
    path = cli.write_events(tmp_path / "events", [], malformed=[
        '{"ISODATE":"2024-03-05T25:00:00","PRIORITY":"err","MSG":{"k":{}}}'])
    result = cli.run(path, "-S", "2024-01-01")
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout.startswith("Invalid date format: ")
    assert result.stdout.count("\n") == 1


def test_event_without_message_block_is_reported_in_one_line(cli, tmp_path):
    path = cli.write_events(tmp_path / "events", [cli.event(cli.today, "fine")],
                            malformed=['{"ISODATE":"2024-03-05T00:00:00","PRIORITY":"err"}'])
    result = cli.run(path, "-a", "--no-color")
    assert result.returncode == 1
    assert result.stdout.endswith(", info, Audit, fine\n")
    assert result.stderr == "nerit-events: malformed event: KeyError: 'MSG'\n"


@pytest.mark.parametrize("redirect, message", [
    (">&-", "standard output is closed: the events have nowhere to go"),
    (">/dev/full", os.strerror(errno.ENOSPC)),
])
def test_output_that_cannot_be_written_is_an_error(cli, log, redirect, message):
    result = subprocess.run(["bash", "-c", f'"$@" {redirect}', "bash", *cli.script, str(log),
                             "-a"], capture_output=True, text=True, env=cli.environment(),
                            timeout=30)
    assert (result.returncode, result.stderr) == (1, f"nerit-events: {message}\n")


def test_closed_pipe_ends_quietly(cli, tmp_path):
    many = [cli.event(cli.today + timedelta(seconds=i % 80000), f"event-{i}-" + "x" * 100)
            for i in range(3000)]
    path = cli.write_events(tmp_path / "events", many)
    process = cli.start(path, "-a", "-F", "%name_en")
    try:
        assert process.stdout.readline().startswith(b"event-0-")
        process.stdout.close()
        assert process.wait(timeout=30) == front.EXIT_BROKEN_PIPE
        assert process.stderr.read() == b""
    finally:
        cli.stop(process)


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
def stand_in_viewer(monkeypatch, tmp_path):
    monkeypatch.setattr(record_console, "NeritEventViewer", Viewer)
    monkeypatch.setattr(front, "_bind_catalogue", lambda: None)  # keep the process-wide binding
    monkeypatch.setattr(Viewer, "construct_error", None)
    monkeypatch.setattr(Viewer, "show_error", None)
    archive = tmp_path / "f.tgz"
    archive.write_bytes(b"")
    return str(archive)


@pytest.mark.parametrize("where, error, status, out, err", [
    ("construct", FileNotFoundError(2, "x"), 1, "No such file\n", ""),
    ("construct", tarfile.ReadError("x"), 1,
     "Unpacking failed: Unsupported format or corrupted file\n", ""),
    ("construct", ValueError("bad"), 1, "Invalid date format: bad\n", ""),
    ("construct", KeyError("filename 'D/x' not found"), 1, "",
     "nerit-events: ARCHIVE: the archive holds no event log (filename 'D/x' not found)\n"),
    ("construct", PermissionError(13, "Permission denied", "/secret/events"), 1, "",
     "nerit-events: permission denied: /secret/events\n"),
    ("construct", tarfile.CompressionError("lzma module is not available"), 1, "",
     "nerit-events: ARCHIVE: unpacking failed: lzma module is not available\n"),
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
    assert front.main([stand_in_viewer]) == status
    assert capsys.readouterr() == (out, err.replace("ARCHIVE", stand_in_viewer))


def test_engine_exit_status_passes_through(stand_in_viewer):
    Viewer.show_error = SystemExit(0)
    with pytest.raises(SystemExit) as ended:
        front.main([stand_in_viewer])
    assert ended.value.code == 0


def test_broken_pipe_in_process_redirects_stdout(stand_in_viewer, monkeypatch):
    silenced = []
    monkeypatch.setattr(front, "_silence_stdout", lambda: silenced.append(True))
    Viewer.show_error = BrokenPipeError(32, "Broken pipe")
    assert front.main([stand_in_viewer]) == front.EXIT_BROKEN_PIPE and silenced == [True]


# ----------------------------------------------------------------------------- catalogue


def test_installed_catalogue_translates_the_messages(tmp_path, monkeypatch, capsys):
    assert front.main(["--install-catalogue", str(tmp_path / "locale")]) == 0
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


def test_russian_messages_end_to_end(cli, tmp_path):
    path = cli.write_events(tmp_path / "events", [], malformed=[
        '{"ISODATE":"2024-03-05T25:00:00","PRIORITY":"err","MSG":{"k":{}}}'])
    result = cli.run(path, "-a", env={"LANGUAGE": "ru"})
    assert result.stdout.startswith("Неверный формат даты: ")


def test_catalogue_install_failure_is_one_line(cli, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    result = cli.run("--install-catalogue", blocker)
    assert result.returncode == 1
    assert result.stderr.startswith("nerit-events: cannot install the catalogue: ")
    assert result.stderr.count("\n") == 1
