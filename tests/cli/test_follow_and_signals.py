"""Follow mode through nerit-events, and ending on signals without leaving the unpacked copy."""

import os
import signal
import subprocess
import time

import pytest

from nerit_record_console import _signals

FOLLOWING_COPY = b"following the unpacked copy of the archive, which never grows"


def test_follow_prints_appended_events_and_ends_with_0_on_interrupt(cli, log):
    process = cli.start(log, "-f", "-n", "2", "-F", "%name_en", "-p", "err,info")
    try:
        deadline = time.monotonic() + 10
        assert cli.read_until(process.stdout, b"today-second\n", deadline) == "today-second\n"
        # Follow mode starts at the end the file has when it begins, which this side cannot
        # see: append until an event shows, so that a slow start cannot lose the test.
        seen = ""
        while not seen and time.monotonic() < deadline:
            cli.append(log, cli.event(cli.today, "dropped", "debug"),
                       cli.event(cli.today, "appended", "error"))
            seen = cli.read_until(process.stdout, b"appended\n", time.monotonic() + 1.5)
        assert seen.startswith("appended\n") and "dropped" not in seen
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=5) == 0
        assert process.stderr.read() == b""
    finally:
        cli.stop(process)


@pytest.mark.parametrize("reader", ["head -n 1", "true"])
def test_follow_ends_when_its_reader_goes_away(cli, log, reader):
    """The pipeline returns once the reader has exited, with no new event to write."""
    started = time.monotonic()
    pipeline = subprocess.Popen(["bash", "-c",
                                 f'"$@" | {reader} >/dev/null; echo "${{PIPESTATUS[0]}}"',
                                 "bash", *cli.script, str(log), "-f", "-n", "2"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=cli.environment(), start_new_session=True)
    try:
        out, err = pipeline.communicate(timeout=20)
    finally:  # a follower that missed its reader's end must not outlive the test
        if pipeline.poll() is None:
            os.killpg(pipeline.pid, signal.SIGKILL)
            pipeline.communicate()
    assert (out, err) == ("141\n", "")
    assert time.monotonic() - started < 10


def test_follow_on_archive_says_so_and_removes_the_copy_after_interrupt(cli, log, tmp_path,
                                                                        new_temp_dirs):
    archive = cli.report_archive(tmp_path, "report.tar.xz", "w:xz", log)
    process = cli.start(archive, "-f", "-n", "2", "-F", "%name_en")
    try:
        deadline = time.monotonic() + 10
        assert cli.read_until(process.stdout, b"today-second\n", deadline) == "today-second\n"
        copy = cli.copy_of(process)
        assert copy.is_dir()
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=5) in (0, 130)  # in follow mode, or just before it
        assert not copy.exists()
        assert process.stderr.read() == b"nerit-events: %s: %s\n" % (bytes(archive),
                                                                     FOLLOWING_COPY)
    finally:
        cli.stop(process)
    assert new_temp_dirs() == set()


def _signal_name(signum):
    if signal.SIGRTMIN <= signum <= signal.SIGRTMAX:
        return f"SIGRTMIN+{signum - signal.SIGRTMIN}"
    return signal.Signals(signum).name


CAUGHT = _signals.terminating_signals()


def test_every_terminating_signal_that_can_be_caught_is():
    names = {_signal_name(signum) for signum in CAUGHT}
    assert {"SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGTERM", "SIGALRM", "SIGXCPU",
            "SIGVTALRM", "SIGPROF", "SIGIO", "SIGPWR", "SIGRTMIN+0"} <= names
    assert not names & {"SIGINT", "SIGPIPE", "SIGXFSZ", "SIGKILL", "SIGSTOP", "SIGSEGV",
                        "SIGABRT", "SIGCHLD", "SIGWINCH", "SIGTSTP", "SIGCONT"}


@pytest.mark.parametrize("signum", CAUGHT, ids=_signal_name)
def test_signal_removes_the_unpacked_copy_and_ends_with_128_plus_its_number(
        cli, log, tmp_path, new_temp_dirs, signum):
    archive = cli.report_archive(tmp_path, "report.tgz", "w:gz", log)
    process = cli.start(archive, "-f", "-n", "2", "-F", "%name_en")
    try:
        assert cli.read_until(process.stdout, b"\n", time.monotonic() + 10) == "today-second\n"
        copy = cli.copy_of(process)
        assert copy.is_dir()
        process.send_signal(signum)
        assert process.wait(timeout=10) == 128 + signum
        assert not copy.exists()
        assert process.stderr.read().count(b"\n") == 1  # only the note on the copy
    finally:
        cli.stop(process)
    assert new_temp_dirs() == set()


def test_a_second_signal_does_not_cut_the_clean_up_short(cli, log, tmp_path, new_temp_dirs):
    archive = cli.report_archive(tmp_path, "report.tgz", "w:gz", log)
    process = cli.start(archive, "-f", "-n", "2", "-F", "%name_en")
    try:
        assert cli.read_until(process.stdout, b"\n", time.monotonic() + 10) == "today-second\n"
        copy = cli.copy_of(process)
        for signum in (signal.SIGHUP, signal.SIGTERM, signal.SIGINT, signal.SIGUSR1):
            os.kill(process.pid, signum)
        assert process.wait(timeout=10) == 128 + signal.SIGHUP
        assert not copy.exists()
    finally:
        cli.stop(process)
    assert new_temp_dirs() == set()


def test_hangup_watch_sleeps_and_sees_a_closed_reader():
    read_end, write_end = os.pipe()
    try:
        watch = _signals.HangupWatch(time, write_end)
        started = time.monotonic()
        watch.sleep(0.2)
        assert 0.15 < time.monotonic() - started < 5
        assert watch.monotonic is time.monotonic  # the rest of the module is the real one
        os.close(read_end)
        read_end = None
        started = time.monotonic()
        with pytest.raises(BrokenPipeError):
            watch.sleep(30)
        assert time.monotonic() - started < 5
    finally:
        os.close(write_end)
        if read_end is not None:
            os.close(read_end)


def test_after_the_first_signal_later_ones_wait_for_the_end():
    before = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGUSR1)}
    ending = _signals.Ending()
    ending.install()
    try:
        with pytest.raises(SystemExit) as ended:
            os.kill(os.getpid(), signal.SIGUSR1)
            time.sleep(1)  # the handler runs here at the latest
        assert ended.value.code == 128 + signal.SIGUSR1
        for later in (signal.SIGUSR2, signal.SIGINT, signal.SIGTERM):
            os.kill(os.getpid(), later)
            time.sleep(0.01)
        assert ending.signum == signal.SIGUSR1
    finally:
        ending.restore()
    assert {signum: signal.getsignal(signum) for signum in before} == before


def test_signals_ignored_by_the_starter_stay_ignored(cli, log):
    """As under nohup: a closed terminal does not end a follower started to outlive it."""
    def ignore_hangups():
        signal.signal(signal.SIGHUP, signal.SIG_IGN)

    process = cli.start(log, "-f", "-n", "2", "-F", "%name_en", preexec_fn=ignore_hangups)
    try:
        assert cli.read_until(process.stdout, b"\n", time.monotonic() + 10) == "today-second\n"
        process.send_signal(signal.SIGHUP)
        with pytest.raises(subprocess.TimeoutExpired):
            process.wait(timeout=1.5)
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=10) == 128 + signal.SIGTERM
    finally:
        cli.stop(process)
