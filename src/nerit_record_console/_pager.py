"""Paging the output on a terminal: the user's pager or less, started only when it can run.

Standard output (file descriptor 1) is pointed at the pager's input while it runs, so the
viewer writes to sys.stdout as usual; when the output ends the pager gets end-of-file and the
program waits until the user leaves it.
"""

import os
import shlex
import signal
import subprocess
import sys

DEFAULT_PAGER = "less"
# F: quit when the text fits one screen, R: pass colours through, X: leave the screen as it is.
DEFAULT_LESS = "FRX"


def pager_command(environ):
    """The pager's argument list from NERIT_PAGER, then PAGER, else less; None for no pager.

    A variable that is set but empty, or names cat, switches paging off.
    """
    for name in ("NERIT_PAGER", "PAGER"):
        if name in environ:
            text = environ[name]
            break
    else:
        text = DEFAULT_PAGER
    try:
        argv = shlex.split(text)
    except ValueError:
        return None
    if not argv or os.path.basename(argv[0]) == "cat":
        return None
    return argv


def pager_environment(environ):
    environment = dict(environ)
    environment.setdefault("LESS", DEFAULT_LESS)
    return environment


class Pager:
    """A running pager that reads what the program writes to its standard output."""

    def __init__(self, process, terminal_fd):
        self.process = process
        self._terminal_fd = terminal_fd

    @classmethod
    def start(cls, argv, environ):
        """The started pager, or None when it cannot be started (then output stays plain)."""
        try:
            process = subprocess.Popen(argv, stdin=subprocess.PIPE, env=pager_environment(environ))
        except (OSError, ValueError):
            return None
        sys.stdout.flush()
        terminal_fd = os.dup(1)
        os.dup2(process.stdin.fileno(), 1)
        process.stdin.close()  # descriptor 1 is now the only writer: closing it ends the pager
        sys.stdout.reconfigure(line_buffering=False)
        return cls(process, terminal_fd)

    def finish(self):
        """Ends the pager's input and waits until the user leaves it; its exit status.

        What the pager no longer reads is dropped, never written to the terminal afterwards.
        """
        _flush_quietly()
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
        _flush_quietly()
        try:
            status = self._wait()
        finally:
            os.dup2(self._terminal_fd, 1)
            os.close(self._terminal_fd)
            sys.stdout.reconfigure(line_buffering=True)
        return status

    def _wait(self):
        # Ctrl-C belongs to the pager while it runs (less uses it to stop a search).
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            return self.process.wait()
        except BaseException:
            # Ended by a signal while the user reads: take the pager down too.
            self.process.terminate()
            self.process.wait()
            raise
        finally:
            signal.signal(signal.SIGINT, previous)


def _flush_quietly():
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
