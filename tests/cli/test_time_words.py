"""Reading --since and --until: the dates the output prints, time words, and what is refused."""

from datetime import datetime, time, timedelta

import pytest
from dateutil import parser as dateutil_parser
from hypothesis import given, strategies as st

from nerit_record_console import _time_words

NOW = datetime(2024, 3, 5, 14, 30, 15, 250000)


@pytest.mark.parametrize("text, expected", [
    # what the output prints: the one-line layout (day first) and -i
    ("05.03.2024 10:20:30", "2024-03-05 10:20:30"),
    ("5.3.2024", "2024-03-05"),
    ("2024-03-05T19:03:11.523133+03:00", "2024-03-05 19:03:11.523133"),
    ("2024-03-05T19:03:11Z", "2024-03-05 19:03:11"),
    ("2024-03-05T19:03:11-0500", "2024-03-05 19:03:11"),
    ("2024-03-05 19:03:11.5 +03", "2024-03-05 19:03:11.500000"),
    ("2024-03-05T19:03:11.123456789", "2024-03-05 19:03:11.123456"),
    # dates and times typed by hand
    ("2024-03-05", "2024-03-05"), ("2024-01-02 03:04", "2024-01-02 03:04:00"),
    ("2024-01-02   03:04:05", "2024-01-02 03:04:05"), ("10:20", "2024-03-05 10:20:00"),
    ("0099-01-01 10:00", "0099-01-01 10:00:00"),
    # words
    ("today", "2024-03-05"), ("Yesterday", "2024-03-04"), ("tomorrow", "2024-03-06"),
    ("yesterday 10:00", "2024-03-04 10:00:00"), ("TODAY 23:59:59", "2024-03-05 23:59:59"),
    ("now", "2024-03-05 14:30:15.250000"),
    ("-2h", "2024-03-05 12:30:15.250000"), ("-30min", "2024-03-05 14:00:15.250000"),
    ("-30m", "2024-03-05 14:00:15.250000"), ("-45s", "2024-03-05 14:29:30.250000"),
    ("-10sec", "2024-03-05 14:30:05.250000"), ("-7d", "2024-02-27 14:30:15.250000"),
    ("-1w", "2024-02-27 14:30:15.250000"), ("-1day", "2024-03-04 14:30:15.250000"),
    ("-2hours", "2024-03-05 12:30:15.250000"), ("- 2 hours", "2024-03-05 12:30:15.250000"),
    ("+30min", "2024-03-05 15:00:15.250000"), ("-1h30min", "2024-03-05 13:00:15.250000"),
    ("1 hour ago", "2024-03-05 13:30:15.250000"), ("2 days 1 hour ago",
                                                   "2024-03-03 13:30:15.250000"),
    ("@0", datetime.fromtimestamp(0).strftime("%Y-%m-%d %H:%M:%S")),
    ("@1709625600.5", datetime.fromtimestamp(1709625600).strftime("%Y-%m-%d %H:%M:%S")
     + ".500000"),
    ("@-1.5", (datetime.fromtimestamp(0) - timedelta(seconds=1.5)).isoformat(" ")),
    ("", ""), (None, None),
])
def test_accepted_texts_become_canonical_dates(text, expected):
    assert _time_words.resolve(text, NOW) == expected


@pytest.mark.parametrize("text, reason", [
    ("1h", "is not a date, a time or a time word"),       # not "01:00 today"
    ("2h ago x", "is not a date"), ("someday", "is not a date"), ("March 5", "is not a date"),
    ("03/05/2024", "is not a date"), ("2024-03-05 10", "is not a date"),
    ("-2x", "is not a date"), ("-1month", "is not a date"), ("@", "is not a date"),
    ("today 25:00", "hour must be in 0..23"), ("2024-02-30", "day is out of range for month"),
    ("31.02.2024", "day is out of range for month"), ("2024-13-01", "month must be in 1..12"),
    ("0000-01-01", "year 0 is out of range"),
    ("-99999999w", "date out of range"), ("@99999999999999999", "date out of range"),
    ("+999999999d", "date out of range"),
])
def test_other_texts_are_refused_with_the_reason(text, reason):
    with pytest.raises(_time_words.TimeWordError) as refused:
        _time_words.resolve(text, NOW)
    assert reason in str(refused.value) and repr(text) in str(refused.value)


def _digits(moment):
    return f"{moment.year:04d}-{moment.month:02d}-{moment.day:02d}"  # strftime cuts years < 1000


# A form the output or a user writes, and the moment the engine must read from it as a start.
FORMS = {
    "iso": (lambda m: f"{_digits(m)}T{m:%H:%M:%S}.{m.microsecond:06d}+03:00", lambda m: m),
    "layout": (lambda m: f"{m.day:02d}.{m.month:02d}.{m.year:04d} {m:%H:%M:%S}",
               lambda m: m.replace(microsecond=0)),
    "minute": (lambda m: f"{_digits(m)} {m:%H:%M}", lambda m: m.replace(second=0, microsecond=0)),
    "day": (_digits, lambda m: datetime.combine(m.date(), time.min)),
}


@given(st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 30)),
       st.sampled_from(sorted(FORMS)))
def test_the_engine_reads_the_canonical_text_back_exactly(moment, form):
    write, start_of = FORMS[form]
    since = _time_words.resolve(write(moment), NOW)
    until = _time_words.resolve(write(moment), NOW, end=True)
    assert dateutil_parser.parse(since) == start_of(moment)
    if form == "day":
        assert until == since == write(moment)  # a bare date stays bare
        return
    end = dateutil_parser.parse(until)
    assert start_of(moment) <= end and end.time() != time.min
    assert end - start_of(moment) < {"iso": timedelta(microseconds=2),
                                     "layout": timedelta(seconds=1),
                                     "minute": timedelta(minutes=1)}[form]


@pytest.mark.parametrize("text, expected", [
    ("2024-03-05 10:20", "2024-03-05 10:20:59.999999"),
    ("05.03.2024 10:20:30", "2024-03-05 10:20:30.999999"),
    ("2024-03-05T10:20:30.5", "2024-03-05 10:20:30.500000"),
    ("yesterday 10:00", "2024-03-04 10:00:59.999999"),
    ("@1709625600", (datetime.fromtimestamp(1709625600) + timedelta(microseconds=999999))
     .isoformat(" ")),
    ("2024-03-05", "2024-03-05"), ("today", "2024-03-05"),
    ("-2h", "2024-03-05 12:30:15.250000"),
    # an end at exactly midnight would be taken for a bare date, the whole day
    ("2024-03-05T00:00:00.000000", "2024-03-05 00:00:00.000001"),
    ("-14h30min15s250ms", None),
])
def test_an_end_covers_its_last_written_unit(text, expected):
    if expected is None:
        with pytest.raises(_time_words.TimeWordError):
            _time_words.resolve(text, NOW, end=True)
    else:
        assert _time_words.resolve(text, NOW, end=True) == expected


@pytest.mark.parametrize("token, joined", [
    ("-2h", True), ("-1 day", True), ("-1h30min", True), ("-p", False), ("-2x", False),
    ("today", False), ("+2h", False),
])
def test_only_times_before_now_are_joined_to_their_option(token, joined):
    from nerit_record_console.cli import attach_relative_times
    expected = ["-S" + token] if joined else ["-S", token]
    assert attach_relative_times(["-S", token]) == expected


def test_dates_copied_from_the_output_select_that_event(cli, tmp_path):
    """A date copied from either layout, as --since and --until, selects exactly its event."""
    events = [{"ISODATE": f"2024-03-05T19:03:1{n}.523133+03:00", "PRIORITY": "info",
               "MSG": {"nerit-audit": {"type_en": "Audit", "name_en": f"event-{n}"}}}
              for n in range(3)]
    path = cli.write_events(tmp_path / "events", events)
    one_line = cli.run(path, "-a", "--no-color").stdout.splitlines()[1].split(", ")[0]
    iso = cli.run(path, "-a", "-i", "--no-color").stdout.splitlines()[1].split(", ")[0]
    assert (one_line, iso) == ("05.03.2024 19:03:11", "2024-03-05T19:03:11.523133+03:00")
    by_iso = cli.run(path, "-S", iso, "-U", iso, "-F", "%name_en")
    assert (by_iso.returncode, by_iso.stdout, by_iso.stderr) == (0, "event-1\n", "")
    by_layout = cli.run(path, "-S", one_line, "-F", "%name_en")
    assert by_layout.stdout == "event-1\nevent-2\n"
    assert cli.run(path, "-S", one_line, "-U", one_line, "-F", "%name_en").stdout == \
        "event-1\n"  # as an end the second the layout prints covers its fraction


def test_yesterday_at_a_time_and_epoch_select_events(cli, tmp_path):
    yesterday = cli.today - cli.day
    path = cli.write_events(tmp_path / "events", [
        cli.event(yesterday + timedelta(hours=9), "before-ten"),
        cli.event(yesterday + timedelta(hours=11), "after-ten")])
    result = cli.run(path, "-S", "yesterday 10:00", "-F", "%name_en")
    assert (result.returncode, result.stdout) == (0, "after-ten\n")
    epoch = int((yesterday + timedelta(hours=10)).timestamp())
    assert cli.run(path, "-U", f"@{epoch}", "-F", "%name_en").stdout == "before-ten\n"
