"""Command-line front of the security-event log viewer: nerit-events.

Parses the command line into the option record that NeritEventViewer reads, turns time words
and priority names into what the viewer compares, checks the input before the viewer opens it,
decides on colour and paging, and reports every error in one line with a status.
"""

import argparse
import contextlib
import errno
import os
import signal
import stat
import sys
import textwrap

from nerit_record_console import __version__
from nerit_record_console import _priorities, _signals, _time_words

# pathlib, tarfile and the engine are imported only when needed: --help and --version stay quick.

PROG = "nerit-events"
DEFAULT_EVENT_FILE = "/vantor/log/nerit/events"
DOMAIN = "nerit_record_console"
SYSTEM_LOCALE_DIR = "/usr/share/locale"
PACKAGED_LOCALE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "locale")

EXIT_USAGE = 2
# As shells report a command that a signal ended: Ctrl-C, and a reader that went away.
EXIT_INTERRUPTED = _signals.exit_status(signal.SIGINT)
EXIT_BROKEN_PIPE = _signals.exit_status(signal.SIGPIPE)

EXAMPLES = f"""\
examples:
  nerit-events                          today's events of /vantor/log/nerit/events
  nerit-events -n 50 -p err..           err and worse among the last 50 lines
  nerit-events -S -2h -s audit          audit events of the last two hours
  nerit-events -S yesterday -U today    yesterday's and today's events
  nerit-events -S "05.03.2024 10:20:30" -U "2024-03-05 12:00"
  nerit-events -a -F "%ISODATE %PRIORITY %name_en"
  nerit-events -a -o json | jq .PRIORITY
  nerit-events -f                       follow: print new events until Ctrl-C
  nerit-events sosreport-host.tar.xz -a read the log inside a report archive
  nerit-events --install-catalogue      install the Russian messages system-wide

{_time_words.FORMS}
{textwrap.fill(f"priorities, worst first: {_priorities.NAMES_HELP}, or their numbers 0 to "
                f"7; -p err takes every spelling of err (err, error); -p err.. is err and "
                f"worse.", 78)}

colour: on for a terminal; off when output is not a terminal, when NO_COLOR is
set, when TERM=dumb, with --no-color or --color=never; --color=always forces it.
paging: on a terminal the output goes through $NERIT_PAGER, else $PAGER, else
less (with LESS=FRX unless LESS is set); never in follow mode or with --no-pager.

exit statuses:
  0    the events were shown (also: follow mode ended with Ctrl-C, the pager quit)
  1    an error, named in one line
  2    a wrong command line
  128+N  ended by signal N (129 SIGHUP, 130 Ctrl-C before follow mode, 141 the
       reader of the output went away, 143 SIGTERM); an unpacked archive copy
       is removed first
"""


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line on standard error, status 2."""

    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: {message}\n")


def _non_negative(text):
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if number < 0:
        raise argparse.ArgumentTypeError(f"{number} is below 0")
    return number


def _words(text):
    return [word for word in (part.strip() for part in text.split(",")) if word]


def _priority_words(text):
    """Comma-separated priorities or ranges, each checked against the known levels."""
    words = _words(text)
    if not words:
        raise argparse.ArgumentTypeError(f"no priority in {text!r}")
    try:
        for word in words:
            _priorities.levels(word)
    except _priorities.PriorityError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return words


def _minimum_priority(text):
    return _priority_words(f"{text.strip()}..")


def _time(text, end=False):
    try:
        return _time_words.resolve(text, end=end)
    except _time_words.TimeWordError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _end_time(text):
    return _time(text, end=True)


_TIME_OPTIONS = ("-S", "--since", "-U", "--until")


def attach_relative_times(argv):
    """Joins "-S -2h" into "-S-2h": argparse would take "-2h" for an option of its own."""
    joined, rest = [], list(argv)
    while rest:
        token = rest.pop(0)
        if token == "--":
            joined += [token, *rest]
            break
        if token in _TIME_OPTIONS and rest and _time_words.is_before_now(rest[0]):
            value = rest.pop(0)
            joined.append(f"{token}={value}" if token.startswith("--") else token + value)
        else:
            joined.append(token)
    return joined


def build_parser():
    parser = _Parser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXAMPLES,
        description="Show events of the security-event log, or of the copy inside a report "
                    "archive (.tar, .tgz, .tar.gz, .tar.xz, .tar.bz2).")
    parser.add_argument("event_file", nargs="?", metavar="FILE",
                        help=f"event log or report archive (default {DEFAULT_EVENT_FILE})")
    parser.add_argument("-w", "--watch-file", metavar="FILE",
                        help="the same as FILE, as an option")

    selection = parser.add_argument_group("which events (the first one given applies)")
    selection.add_argument("-S", "--since", metavar="TIME", type=_time,
                           help="events from TIME on: a date, a date and time, or a time word "
                                "(see below)")
    selection.add_argument("-U", "--until", metavar="TIME", type=_end_time,
                           help="events up to TIME; a bare date includes that whole day, "
                                "a time its whole minute or second")
    selection.add_argument("-d", "--days-back", type=_non_negative, metavar="N",
                           help="events from N days before today on")
    selection.add_argument("-t", "--today", action="store_true", help="today's events (default)")
    selection.add_argument("-a", "--all", action="store_true", help="every event of the file")
    selection.add_argument("-n", "--count", type=_non_negative, metavar="N",
                           help="the events held in the last N lines of the file "
                                "(a regular file)")
    selection.add_argument("-f", "--follow", action="store_true",
                           help="then keep printing new events until Ctrl-C")

    filters = parser.add_argument_group("filters")
    filters.add_argument("-p", "--priority", action="extend", type=_priority_words,
                         metavar="PRIO[,PRIO]",
                         help="only these priorities (repeatable); PRIO is a name or number, "
                              "or a range: err.. (err and worse), warning..crit")
    filters.add_argument("--min-priority", action="extend", type=_minimum_priority,
                         dest="priority", metavar="PRIO",
                         help="only PRIO and worse, the same as -p PRIO..")
    filters.add_argument("-s", "--source", action="extend", type=_words,
                         metavar="TEXT[,TEXT]", help="only sources containing TEXT (repeatable)")

    layout = parser.add_argument_group("layout")
    layout.add_argument("-o", "--output", choices=("text", "json"), default="text",
                        help="text: the layouts below (default); json: each event as one "
                             "compact JSON line, as stored")
    layout.add_argument("-F", "--format", metavar="EXPR",
                        help='one line per event from EXPR, e.g. "%%PRIORITY %%name_en"')
    layout.add_argument("-m", "--more-info", action="store_true",
                        help="every field of the event, one per line")
    layout.add_argument("-r", "--raw", action="store_true",
                        help="every field as stored, without colour")
    layout.add_argument("-i", "--iso-date", action="store_true",
                        help="print dates as stored (ISO 8601)")
    layout.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                        help="colour the output (default auto: only on a terminal, "
                             "not with NO_COLOR or TERM=dumb)")
    layout.add_argument("--no-color", dest="nocolor", action="store_true",
                        help="never colour the output")
    layout.add_argument("--no-pager", action="store_true",
                        help="never send the output through a pager")

    parser.add_argument("--install-catalogue", nargs="?", const=SYSTEM_LOCALE_DIR, metavar="DIR",
                        help=f"install the Russian messages below DIR "
                             f"(default {SYSTEM_LOCALE_DIR}) and exit")
    parser.add_argument("-V", "--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def colour_is_off(choice, nocolor, stream=None, environ=None):
    """The engine's nocolor value: the switches, NO_COLOR, TERM=dumb and the terminal."""
    if nocolor or choice == "never":
        return True
    if choice == "always":
        return False
    environ = os.environ if environ is None else environ
    if environ.get("NO_COLOR") or environ.get("TERM") == "dumb":
        return True
    return not _is_terminal(sys.stdout if stream is None else stream)


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


_LAYOUT_OPTIONS = (("format", "-F"), ("more_info", "-m"), ("raw", "-r"), ("iso_date", "-i"))


def option_record(parsed, parser):
    """The option record of the viewer: exactly the attributes it reads."""
    if parsed.event_file is not None and parsed.watch_file is not None \
            and parsed.event_file != parsed.watch_file:
        parser.error("give the event file either as FILE or with --watch-file, not both")
    if parsed.output == "json":
        given = [flag for name, flag in _LAYOUT_OPTIONS if getattr(parsed, name)]
        if given:
            parser.error(f"-o json prints events as stored: {', '.join(given)} "
                         f"cannot change that")
    return argparse.Namespace(
        watch_file=parsed.event_file or parsed.watch_file or DEFAULT_EVENT_FILE,
        priority=_priorities.stored_names(parsed.priority), source=parsed.source,
        follow=parsed.follow, since=parsed.since, until=parsed.until,
        days_back=parsed.days_back, today=parsed.today, all=parsed.all, count=parsed.count,
        format=parsed.format, more_info=parsed.more_info, raw=parsed.raw,
        nocolor=colour_is_off(parsed.color, parsed.nocolor), iso_date=parsed.iso_date)


def _position_reading(options):
    """What of OPTIONS reads the input by position, which only a regular file allows, or None."""
    if options.follow:
        return "following (-f) needs"
    last_lines = options.count and not any(
        (options.since, options.until, options.days_back, options.today, options.all))
    return "the last lines (-n) need" if last_lines else None


def input_problem(options):
    """Why the viewer cannot read its input, in one line; None when it can try."""
    path = options.watch_file
    try:
        status = os.stat(path)
        if stat.S_ISDIR(status.st_mode):
            return f"{path}: {os.strerror(errno.EISDIR)}"
        if stat.S_ISFIFO(status.st_mode):
            # Opening it here would be taken by a waiting writer for the viewer's own open.
            if not os.access(path, os.R_OK):
                return f"{path}: {os.strerror(errno.EACCES)}"
        else:
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC))
    except OSError as error:
        return f"{path}: {error.strerror or error}"
    except ValueError as error:  # a path with a NUL character
        return f"{path!r}: {error}"
    needs = _position_reading(options)
    if needs and not stat.S_ISREG(status.st_mode):
        return f"{path}: {needs} a regular file, not {_file_kind(status)}"
    return None


def _file_kind(status):
    mode = status.st_mode
    if stat.S_ISFIFO(mode):
        return "a pipe"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "this kind of file"


def install_catalogue(directory):
    """Copies the packaged Russian catalogue to DIRECTORY/ru/LC_MESSAGES."""
    import shutil
    from pathlib import Path
    source = Path(PACKAGED_LOCALE_DIR, "ru", "LC_MESSAGES", f"{DOMAIN}.mo")
    target_dir = Path(directory, "ru", "LC_MESSAGES")
    try:
        target_dir.mkdir(parents=True, exist_ok=True)
        target = target_dir / f"{DOMAIN}.mo"
        shutil.copyfile(source, target)
        target.chmod(0o644)
    except OSError as error:
        _complain(f"cannot install the catalogue: {_os_error_text(error)}")
        return 1
    print(f"installed {target}")
    return 0


def _bind_catalogue():
    """Uses the catalogue shipped in the package when the system has none for the language."""
    import gettext
    if gettext.find(DOMAIN, SYSTEM_LOCALE_DIR) is None and \
            gettext.find(DOMAIN, PACKAGED_LOCALE_DIR) is not None:
        gettext.bindtextdomain(DOMAIN, PACKAGED_LOCALE_DIR)


def _complain(message):
    print(f"{PROG}: {message}", file=sys.stderr)


def _os_error_text(error):
    where = f": {error.filename}" if error.filename is not None else ""
    return f"{error.strerror or error}{where}"


def _engine_message(console, message_id, detail=None):
    """One of the engine's translated messages, on standard output as the engine prints them."""
    text = console._(message_id)
    print(text if detail is None else f"{text}: {detail}")
    return 1


def _is_damaged_compression(error):
    """Damage that the decompressors report in their own terms, not as tarfile.ReadError."""
    import gzip
    import lzma
    import zlib
    return isinstance(error, (EOFError, zlib.error, lzma.LZMAError, gzip.BadGzipFile))


def _refusal_reason(error):
    """Why a member was refused, in the user's terms: tarfile calls a link a special file."""
    from nerit_record_console._tar_refusals import SPECIAL_FILE_ERRORS
    member = getattr(error, "tarinfo", None)
    if isinstance(error, SPECIAL_FILE_ERRORS) and member is not None:
        if member.issym():
            return f"{member.name!r} is a symbolic link (to {member.linkname!r})"
        if member.islnk():
            return f"{member.name!r} is a hard link (to {member.linkname!r})"
        if member.isdir():
            return f"{member.name!r} is a directory, not the event log"
    return str(error)


def _report_construction_error(console, error, watch_file):
    """Status after a failed construction; the message says what went wrong in one line."""
    import tarfile
    from nerit_record_console._tar_refusals import FILTER_ERRORS
    if isinstance(error, FileNotFoundError):
        return _engine_message(console, "No such file")
    if isinstance(error, tarfile.ReadError) or _is_damaged_compression(error):
        return _engine_message(console, "Unpacking failed: Unsupported format or corrupted file")
    if isinstance(error, ValueError):
        return _engine_message(console, "Invalid date format", error)
    if isinstance(error, KeyError):
        detail = f" ({error.args[0]})" if error.args else ""
        _complain(f"{watch_file}: the archive holds no event log{detail}")
    elif isinstance(error, FILTER_ERRORS):
        _complain(f"{watch_file}: unpacking refused: {_refusal_reason(error)}")
    elif isinstance(error, tarfile.TarError):
        _complain(f"{watch_file}: unpacking failed: {error}")
    elif isinstance(error, PermissionError):
        _complain(f"permission denied: {error.filename or watch_file}")
    elif isinstance(error, OSError):
        _complain(_os_error_text(error))
    else:
        _complain(f"{type(error).__name__}: {error}")
    return 1


def _report_show_error(error):
    if isinstance(error, (KeyError, IndexError, TypeError, AttributeError)):
        _complain(f"malformed event: {type(error).__name__}: {error}")
    elif isinstance(error, OSError):
        _complain(_os_error_text(error))
    else:
        _complain(f"{type(error).__name__}: {error}")
    return 1


def _silence_stdout():
    """After the reader went away: point stdout at /dev/null so the flush at exit succeeds."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _tolerate_any_encoding():
    """Text that the terminal's encoding cannot hold is written as escapes, never a traceback."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError):
            pass


def _pager_for(parsed, options, environ=None):
    """The pager's argument list when the output goes to a terminal a person reads, else None."""
    environ = os.environ if environ is None else environ
    if parsed.no_pager or options.follow or environ.get("TERM") == "dumb" \
            or not _is_terminal(sys.stdout):
        return None
    from nerit_record_console import _pager  # starts subprocesses: only loaded when paging
    return _pager.pager_command(environ)


def _replace_attribute(hooks, owner, name, value):
    hooks.callback(setattr, owner, name, getattr(owner, name))
    setattr(owner, name, value)


def _stdout_fd():
    try:
        return sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return None


def run(options, output="text", pager=None):
    """Builds the viewer and shows the events; the exit status."""
    from nerit_record_console import _json_output, record_console, record_source
    _bind_catalogue()
    with contextlib.ExitStack() as hooks:
        if output == "json":
            for name, value in _json_output.replacements(record_console).items():
                _replace_attribute(hooks, record_console, name, value)
        if options.follow and _stdout_fd() is not None:
            watch = _signals.HangupWatch(record_source.time, _stdout_fd())
            _replace_attribute(hooks, record_source, "time", watch)
        try:
            viewer = record_console.NeritEventViewer(options)
        except (KeyboardInterrupt, SystemExit):
            raise
        except Exception as error:
            return _report_construction_error(record_console, error, options.watch_file)
        return _show_once(viewer, options, pager)


def _show_once(viewer, options, pager_argv):
    """Shows the events of a built viewer; its unpacked copy never outlives the call."""
    shown = False
    try:
        if options.follow:
            if getattr(viewer, "_NeritEventViewer__temp_dir", None) is not None:
                _complain(f"{options.watch_file}: following the unpacked copy of the archive, "
                          f"which never grows")
            if hasattr(sys.stdout, "reconfigure"):
                sys.stdout.reconfigure(line_buffering=True)  # a piped follower sees each event
        pager = None
        if pager_argv is not None:
            from nerit_record_console._pager import Pager
            pager = Pager.start(pager_argv, os.environ)
        shown = True
        return _show(viewer) if pager is None else _show_paged(viewer, pager)
    finally:
        if not shown:
            _discard_copy(viewer)


def _discard_copy(viewer):
    """Removes the unpacked copy of a viewer whose show_events never ran."""
    try:
        viewer._NeritEventViewer__clean_temp_files()
    except (OSError, AttributeError):
        pass


def _show(viewer):
    try:
        viewer.show_events()
        sys.stdout.flush()
    except (KeyboardInterrupt, SystemExit, BrokenPipeError):
        raise
    except Exception as error:
        sys.stdout.flush()
        return _report_show_error(error)
    return 0


def _show_paged(viewer, pager):
    """Shows the events through PAGER: the user leaving it before the end is a normal end."""
    try:
        status = _show(viewer)
    except BrokenPipeError:
        status = 0
    except BaseException:
        pager.finish()
        raise
    pager_status = pager.finish()
    if pager_status != 0:
        _complain(f"the pager {pager.process.args[0]!r} ended with status {pager_status}")
        return status or 1
    return status


def _main(argv):
    _tolerate_any_encoding()
    parser = build_parser()
    parsed = parser.parse_args(attach_relative_times(sys.argv[1:] if argv is None else argv))
    if parsed.install_catalogue is not None:
        return install_catalogue(parsed.install_catalogue)
    options = option_record(parsed, parser)
    problem = input_problem(options)
    if problem is None and sys.stdout is None:
        problem = "standard output is closed: the events have nowhere to go"
    if problem is not None:
        _complain(problem)
        return 1
    return run(options, parsed.output, _pager_for(parsed, options))


def main(argv=None):
    ending = _signals.Ending()
    ending.install()
    try:
        return _main(argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except SystemExit:
        # The engine's own exits and the signals': buffered output must not end in a traceback.
        try:
            sys.stdout.flush()
        except OSError:
            _silence_stdout()
        except (ValueError, AttributeError):
            pass
        raise
    finally:
        # Once a signal ends the program, later ones must not turn its status into their own.
        if ending.signum is None:
            ending.restore()
