"""Command-line front of the security-event log viewer: nerit-events.

Parses the command line into the option record that NeritEventViewer reads, turns time words
into dates, decides on colour, and reports every error in one line with a status.
"""

import argparse
import os
import re
import signal
import sys
from datetime import datetime, timedelta

from nerit_record_console import __version__

# pathlib, tarfile and the engine are imported only when needed: --help and --version stay quick.

PROG = "nerit-events"
DEFAULT_EVENT_FILE = "/vantor/log/nerit/events"
DOMAIN = "nerit_record_console"
SYSTEM_LOCALE_DIR = "/usr/share/locale"
PACKAGED_LOCALE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "locale")

EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report an interrupted command
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, what a reader that went away leaves for other tools
EXIT_TERMINATED = 143   # 128 + SIGTERM

EXAMPLES = """\
examples:
  nerit-events                          today's events of /vantor/log/nerit/events
  nerit-events -n 50 -p err,crit        errors among the last 50 lines
  nerit-events -S -2h -s audit          audit events of the last two hours
  nerit-events -S yesterday -U today    yesterday's and today's events
  nerit-events -S "2024-03-01" -U "2024-03-05 12:00"
  nerit-events -a -F "%ISODATE %PRIORITY %name_en"
  nerit-events -f                       follow: print new events until Ctrl-C
  nerit-events sosreport-host.tar.xz -a read the log inside a report archive
  nerit-events --install-catalogue      install the Russian messages system-wide

time words for --since and --until: today, yesterday (bare dates), now, and -N
followed by s, sec, m, min, h, d or w (N units before now), e.g. -30min, -7d.
colour: on for a terminal; off when output is not a terminal, when NO_COLOR is
set, with --no-color or --color=never; --color=always forces it on.
"""

_RELATIVE_TIME = re.compile(r"-(\d+)\s*(s|sec|m|min|h|d|w)")
_UNIT_SECONDS = {"s": 1, "sec": 1, "m": 60, "min": 60, "h": 3600, "d": 86400, "w": 604800}


def resolve_time_word(text, now=None):
    """The date text the engine reads for a time word; any other text unchanged."""
    if text is None:
        return None
    word = text.strip().lower()
    now = now or datetime.now()
    if word == "today":
        return now.date().isoformat()
    if word == "yesterday":
        return (now.date() - timedelta(days=1)).isoformat()
    if word == "now":
        return now.strftime("%Y-%m-%d %H:%M:%S")
    relative = _RELATIVE_TIME.fullmatch(word)
    if relative:
        seconds = int(relative.group(1)) * _UNIT_SECONDS[relative.group(2)]
        try:
            return (now - timedelta(seconds=seconds)).strftime("%Y-%m-%d %H:%M:%S")
        except OverflowError:
            raise ValueError(f"{text!r} reaches before the year 1") from None
    return text


def _list_of_words(text):
    return [word for word in (part.strip() for part in text.split(",")) if word]


_TIME_OPTIONS = ("-S", "--since", "-U", "--until")


def attach_relative_times(argv):
    """Joins "-S -2h" into "-S-2h": argparse would take "-2h" for an option of its own."""
    joined, rest = [], list(argv)
    while rest:
        token = rest.pop(0)
        if token == "--":
            joined += [token, *rest]
            break
        if token in _TIME_OPTIONS and rest and _RELATIVE_TIME.fullmatch(rest[0].strip().lower()):
            value = rest.pop(0)
            joined.append(f"{token}={value}" if token.startswith("--") else token + value)
        else:
            joined.append(token)
    return joined


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXAMPLES,
        description="Show events of the security-event log, or of the copy inside a report "
                    "archive (.tar, .tgz, .tar.gz, .tar.xz, .tar.bz2).")
    parser.add_argument("event_file", nargs="?", metavar="FILE",
                        help=f"event log or report archive (default {DEFAULT_EVENT_FILE})")
    parser.add_argument("-w", "--watch-file", metavar="FILE",
                        help="the same as FILE, as an option")

    selection = parser.add_argument_group("which events (the first one given applies)")
    selection.add_argument("-S", "--since", metavar="TIME",
                           help="events from TIME on (a date, a date and time, or a time word)")
    selection.add_argument("-U", "--until", metavar="TIME",
                           help="events up to TIME; a bare date includes that whole day")
    selection.add_argument("-d", "--days-back", type=int, metavar="N",
                           help="events from N days before today on")
    selection.add_argument("-t", "--today", action="store_true", help="today's events (default)")
    selection.add_argument("-a", "--all", action="store_true", help="every event of the file")
    selection.add_argument("-n", "--count", type=int, metavar="N",
                           help="the events held in the last N lines of the file")
    selection.add_argument("-f", "--follow", action="store_true",
                           help="then keep printing new events until Ctrl-C")

    filters = parser.add_argument_group("filters")
    filters.add_argument("-p", "--priority", action="extend", type=_list_of_words,
                         metavar="NAME[,NAME]", help="only these priorities (repeatable)")
    filters.add_argument("-s", "--source", action="extend", type=_list_of_words,
                         metavar="TEXT[,TEXT]", help="only sources containing TEXT (repeatable)")

    layout = parser.add_argument_group("layout")
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
                             "not with NO_COLOR)")
    layout.add_argument("--no-color", dest="nocolor", action="store_true",
                        help="never colour the output")

    parser.add_argument("--install-catalogue", nargs="?", const=SYSTEM_LOCALE_DIR, metavar="DIR",
                        help=f"install the Russian messages below DIR "
                             f"(default {SYSTEM_LOCALE_DIR}) and exit")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def colour_is_off(choice, nocolor, stream=None, environ=None):
    """The engine's nocolor value: the explicit switch, --color, NO_COLOR and the terminal."""
    if nocolor or choice == "never":
        return True
    if choice == "always":
        return False
    environ = os.environ if environ is None else environ
    if environ.get("NO_COLOR"):
        return True
    stream = sys.stdout if stream is None else stream
    try:
        return not stream.isatty()
    except (AttributeError, ValueError):
        return True


def option_record(parsed, parser):
    """The option record of the viewer: exactly the attributes it reads."""
    if parsed.event_file is not None and parsed.watch_file is not None \
            and parsed.event_file != parsed.watch_file:
        parser.error("give the event file either as FILE or with --watch-file, not both")
    try:
        since = resolve_time_word(parsed.since)
        until = resolve_time_word(parsed.until)
    except ValueError as error:
        parser.error(str(error))
    return argparse.Namespace(
        watch_file=parsed.event_file or parsed.watch_file or DEFAULT_EVENT_FILE,
        priority=parsed.priority, source=parsed.source, follow=parsed.follow,
        since=since, until=until, days_back=parsed.days_back, today=parsed.today,
        all=parsed.all, count=parsed.count, format=parsed.format, more_info=parsed.more_info,
        raw=parsed.raw, nocolor=colour_is_off(parsed.color, parsed.nocolor),
        iso_date=parsed.iso_date)


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


def _terminate(signum, frame):
    # Unwinds like an exit, so the viewer still removes the unpacked copy of an archive.
    sys.exit(EXIT_TERMINATED)


def run(options):
    from nerit_record_console import record_console
    _bind_catalogue()
    try:
        viewer = record_console.NeritEventViewer(options)
    except (KeyboardInterrupt, SystemExit):
        raise
    except Exception as error:
        return _report_construction_error(record_console, error, options.watch_file)
    if options.follow and hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(line_buffering=True)  # a piped follower sees each event at once
    try:
        viewer.show_events()
        sys.stdout.flush()
    except (KeyboardInterrupt, SystemExit, BrokenPipeError):
        raise
    except Exception as error:
        sys.stdout.flush()
        return _report_show_error(error)
    return 0


def main(argv=None):
    try:
        parser = build_parser()
        parsed = parser.parse_args(attach_relative_times(sys.argv[1:] if argv is None else argv))
        if parsed.install_catalogue is not None:
            return install_catalogue(parsed.install_catalogue)
        options = option_record(parsed, parser)
        signal.signal(signal.SIGTERM, _terminate)
        return run(options)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except SystemExit:
        # The engine's own exits: output still buffered must not turn into a traceback at exit.
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _silence_stdout()
        except (OSError, ValueError, AttributeError):
            pass
        raise
