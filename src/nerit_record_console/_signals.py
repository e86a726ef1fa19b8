"""Ending cleanly on signals, and noticing in follow mode that the output's reader has gone.

A caught signal unwinds the program like an exit with status 128 + its number, so the viewer
still removes the unpacked copy of an archive on the way out.
"""

import errno
import os
import select
import signal

# Signals whose default action ends the process and that a handler can catch. Left out:
# SIGINT (the interpreter's KeyboardInterrupt, handled by follow mode and the front, and caught
# beside these only to hold back later signals), SIGPIPE and SIGXFSZ (the interpreter ignores
# them, so a write to a closed pipe or past the file-size limit fails as an error instead and
# unwinds as one), the fault signals SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV and SIGSYS
# (raised by the faulting instruction itself: a handler that returns only lets it fault again),
# and SIGKILL and SIGSTOP, which cannot be caught.
_TERMINATING_NAMES = ("SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGTERM",
                      "SIGSTKFLT", "SIGXCPU", "SIGVTALRM", "SIGPROF", "SIGPOLL", "SIGPWR")


def terminating_signals():
    """The caught terminating signals of this platform, real-time signals included."""
    found = {getattr(signal, name) for name in _TERMINATING_NAMES if hasattr(signal, name)}
    if hasattr(signal, "SIGRTMIN"):
        found.update(range(signal.SIGRTMIN, signal.SIGRTMAX + 1))
    return sorted(found)


def exit_status(signum):
    return 128 + signum


class Ending:
    """Handlers of the terminating signals and SIGINT; after the first one, later ones wait.

    A second signal must not cut short the removal of the unpacked copy that the first one set
    off, so once the program is ending the handlers return without raising.
    """

    def __init__(self):
        self.signum = None
        self._previous = {}

    def install(self):
        for signum in (signal.SIGINT, *terminating_signals()):
            if signal.getsignal(signum) == signal.SIG_IGN:
                continue  # ignored by whoever started us (nohup, a background job): it stays so
            self._previous[signum] = signal.signal(signum, self._handle)

    def restore(self):
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)
        self._previous.clear()

    def _handle(self, signum, frame):
        if self.signum is not None:
            return
        self.signum = signum
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        raise SystemExit(exit_status(signum))


class HangupWatch:
    """Stands in for the reader's time module: its sleep also ends when stdout's reader has gone.

    Follow mode sleeps between empty reads; a reader that went away (a closed pipe, a hung-up
    terminal) would otherwise be noticed only at the next event's write.
    """

    _GONE = select.POLLERR | select.POLLHUP | select.POLLNVAL

    def __init__(self, time_module, fd):
        self._time = time_module
        self._fd = fd

    def sleep(self, seconds):
        watcher = select.poll()
        watcher.register(self._fd, 0)  # only the conditions poll always reports
        ready = watcher.poll(max(0.0, seconds) * 1000)
        if any(events & self._GONE for _, events in ready):
            raise BrokenPipeError(errno.EPIPE, os.strerror(errno.EPIPE))

    def __getattr__(self, name):
        return getattr(self._time, name)
