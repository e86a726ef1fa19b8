"""Reading --since and --until: the date forms the output prints, and a few time words.

Every accepted text becomes a canonical one that the engine's date parser reads back exactly:
"YYYY-MM-DD" for a bare date (so an end date still covers its whole day), otherwise
"YYYY-MM-DD HH:MM:SS" with ".ffffff" when there is a fraction. Anything else is refused rather
than guessed at.
"""

import re
from datetime import date, datetime, time, timedelta

_UNITS = {
    "s": 1, "sec": 1, "secs": 1, "second": 1, "seconds": 1,
    "m": 60, "min": 60, "mins": 60, "minute": 60, "minutes": 60,
    "h": 3600, "hour": 3600, "hours": 3600,
    "d": 86400, "day": 86400, "days": 86400,
    "w": 604800, "week": 604800, "weeks": 604800,
}
_UNIT = "|".join(sorted(_UNITS, key=len, reverse=True))
_AMOUNT = rf"(\d+)\s*({_UNIT})"
_SPAN = rf"{_AMOUNT}(?:\s*{_AMOUNT})*"
_SPAN_PART = _AMOUNT
# Patterns are texts compiled (and cached by re) on first use: most runs give no time at all.

# "-2h", "-1day", "+30 min", "-1h30min"; "1 hour ago", "2 days 3 hours ago".
_SIGNED_SPAN = rf"([-+])\s*({_SPAN})"
_SPAN_AGO = rf"({_SPAN})\s+ago"

_CLOCK = r"(\d{1,2}):(\d\d)(?::(\d\d)(?:[.,](\d+))?)?"
# Dropped, not converted: the engine compares event dates by the clock time as written.
_OFFSET = r"(?:\s?(?:z|[-+]\d\d(?::?\d\d)?))?"
_ISO_DAY = r"(\d{4})-(\d\d)-(\d\d)"
_DOTTED_DAY = r"(\d{1,2})\.(\d{1,2})\.(\d{4})"  # the one-line layout prints the day first
_ISO_DATE = rf"{_ISO_DAY}(?:(?:t|\s+){_CLOCK}{_OFFSET})?"
_DOTTED_DATE = rf"{_DOTTED_DAY}(?:\s+{_CLOCK}{_OFFSET})?"
_DAY_WORD = rf"(today|yesterday|tomorrow)(?:\s+{_CLOCK})?"
_CLOCK_ONLY = _CLOCK
_EPOCH = r"@(-?\d+(?:\.\d+)?)"

_DAY_WORD_OFFSET = {"yesterday": -1, "today": 0, "tomorrow": 1}

FORMS = """\
time forms for --since and --until (local time, as the log writes it):
  2024-03-05, 05.03.2024            a day; as --until it covers the whole day
  "2024-03-05 10:20[:30]", "05.03.2024 10:20:30", 2024-03-05T10:20:30.5+03:00
                                    a date and time; an offset or Z is ignored,
                                    as the viewer ignores it in the log; as
                                    --until it covers its last minute or second
  10:20[:30]                        that time today
  today, yesterday, tomorrow        a day; with a time: "yesterday 10:00"
  now, -2h, -1day, +30min, -1h30min, "1 hour ago", "2 days ago"
                                    a moment relative to now
  @1709625600                       seconds since the epoch
"""


class TimeWordError(ValueError):
    """A --since or --until text that names no time this front reads."""


def resolve(text, now=None, end=False):
    """The canonical date text for TEXT; None and empty text stay as they are.

    As an end (END true) a time covers the whole of the last unit written: "10:20" runs to
    10:20:59.999999 and "05.03.2024 10:20:30", as the one-line layout prints it, to the end of
    that second, so the event it was copied from is selected; a bare date stays bare, and the
    viewer takes it to the end of the day.
    """
    if not text:
        return text
    word = " ".join(text.split()).lower()
    now = now or datetime.now()
    try:
        found = _moment(word, now)
        if found is None:
            raise TimeWordError(f"{text!r} is not a date, a time or a time word "
                                f"(e.g. 2024-03-05, \"05.03.2024 10:20\", -2h, yesterday)")
        moment, unit = found
        if end and isinstance(moment, datetime):
            moment = _end_of(moment, unit)
    except TimeWordError:
        raise
    except ValueError as error:
        raise TimeWordError(f"{text!r}: {error}") from None
    except (OverflowError, OSError):
        raise TimeWordError(f"{text!r}: date out of range") from None
    return _canonical(moment)


def is_before_now(text):
    """True for "-2h" and the like, which a command line would take for an option."""
    word = " ".join(text.split()).lower()
    return word.startswith("-") and re.fullmatch(_SIGNED_SPAN, word) is not None


_EXACT = timedelta(0)
_MICROSECOND = timedelta(microseconds=1)


def _end_of(moment, unit):
    last = moment + unit - _MICROSECOND if unit else moment
    # The viewer stretches an end at exactly midnight to the end of that day, taking it for a
    # bare date; an instant one microsecond later is the nearest end it reads as written.
    return last + _MICROSECOND if last.time() == time.min else last


def _moment(word, now):
    """(a date or a datetime, the unit of its last written field) for WORD, or None."""
    if word == "now":
        return now, _EXACT
    match = re.fullmatch(_ISO_DATE, word)
    if match:
        year, month, day = match.group(1, 2, 3)
        return _at(date(int(year), int(month), int(day)), match.groups()[3:])
    match = re.fullmatch(_DOTTED_DATE, word)
    if match:
        day, month, year = match.group(1, 2, 3)
        return _at(date(int(year), int(month), int(day)), match.groups()[3:])
    match = re.fullmatch(_DAY_WORD, word)
    if match:
        day = now.date() + timedelta(days=_DAY_WORD_OFFSET[match.group(1)])
        return _at(day, match.groups()[1:])
    match = re.fullmatch(_CLOCK_ONLY, word)
    if match:
        return _at(now.date(), match.groups())
    match = re.fullmatch(_SIGNED_SPAN, word)
    if match:
        span = _span(match.group(2))
        return (now - span if match.group(1) == "-" else now + span), _EXACT
    match = re.fullmatch(_SPAN_AGO, word)
    if match:
        return now - _span(match.group(1)), _EXACT
    match = re.fullmatch(_EPOCH, word)
    if match:
        return _from_epoch(match.group(1))
    return None


def _at(day, clock):
    """DAY alone, or DAY at the clock time in CLOCK (hour, minute, second, fraction texts)."""
    hour, minute, second, fraction = clock
    if hour is None:
        return day, None
    micro = int((fraction or "0")[:6].ljust(6, "0"))
    moment = datetime.combine(day, time(int(hour), int(minute), int(second or 0), micro))
    if second is None:
        return moment, timedelta(minutes=1)
    return moment, (_EXACT if fraction else timedelta(seconds=1))


def _span(text):
    seconds = sum(int(amount) * _UNITS[unit] for amount, unit in re.findall(_SPAN_PART, text))
    return timedelta(seconds=seconds)


def _from_epoch(text):
    from decimal import ROUND_FLOOR, Decimal  # rarely needed: kept out of every start-up
    # Whole microseconds in integers: a float loses the last digits of today's epochs.
    seconds, micro = divmod(int(Decimal(text).scaleb(6).to_integral_value(ROUND_FLOOR)), 10**6)
    unit = _EXACT if "." in text else timedelta(seconds=1)
    return datetime.fromtimestamp(seconds) + timedelta(microseconds=micro), unit


def _canonical(moment):
    if not isinstance(moment, datetime):
        return moment.isoformat()
    text = f"{moment.date().isoformat()} {moment:%H:%M:%S}"
    return f"{text}.{moment.microsecond:06d}" if moment.microsecond else text
