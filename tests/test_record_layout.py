"""Tests of nerit_record_console.record_layout: the event formatter and its layouts."""
import copy
import datetime as host_datetime
import json
import importlib.util
import locale
import pathlib
import typing

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from nerit_record_console import _probe, record_layout, record_source

Formatter = record_layout.NeritEventFormatter
ESC = "\x1b"
GREY, END, OK, FAIL = "\x1b[90m", "\x1b[0m", "\x1b[93m", "\x1b[91m"


def _load_twin():
    path = pathlib.Path(__file__).resolve().with_name("layout_twin.py")
    spec = importlib.util.spec_from_file_location("layout_twin", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


twin = _load_twin()


def sample(**top):
    """The worked example: ISODATE, PRIORITY, MSG with one nerit-audit member."""
    event = {
        "ISODATE": "2024-03-05T10:20:30+03:00",
        "PRIORITY": "warning",
        "MSG": {"nerit-audit": {"type_ru": "Аудит", "name_ru": "Ошибка входа",
                                "type_en": "Audit", "name_en": "Login failed"}},
    }
    event.update(top)
    return event


def grey(text):
    return GREY + text + END


@pytest.fixture
def language():
    """Sets the formatter's language (class constant) for one test and restores it."""
    saved = Formatter.LOCALE, twin.TwinEventFormatter.LOCALE

    def use(code):
        Formatter.LOCALE = code
        twin.TwinEventFormatter.LOCALE = code

    use("en_US")
    yield use
    Formatter.LOCALE, twin.TwinEventFormatter.LOCALE = saved


@pytest.fixture
def host_paths():
    """Runs a test with the module's fast paths off, restoring the switch afterwards."""
    record_layout._fast_paths = False
    yield
    record_layout._fast_paths = True


# --- the module and the class ----------------------------------------------------------------

def test_module_attributes_are_the_host_objects():
    assert record_layout.locale is locale
    assert record_layout.datetime is host_datetime.datetime
    assert record_layout.NeritEvent is record_source.NeritEvent
    assert record_layout.NeritEvent == typing.Dict[
        str, typing.Union[str, typing.Dict[str, typing.Dict[str, str]]]]


def test_class_shape():
    assert Formatter.__doc__ is None
    assert Formatter.__bases__ == (object,)
    methods = [name for name in vars(Formatter) if callable(vars(Formatter)[name])]
    assert methods == ["__init__", "_NeritEventFormatter__unpack_event_dict",
                       "_NeritEventFormatter__format_event_with_expression", "format_event",
                       "_NeritEventFormatter__colorize_priority", "_NeritEventFormatter__colorize"]
    assert (Formatter.COLOR_OK, Formatter.COLOR_FAIL, Formatter.COLOR_GREY,
            Formatter.COLOR_END) == (OK, FAIL, GREY, END)
    assert Formatter.LOCALE == locale.getlocale()[0]


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("%x", 1, 0, [], "yes"), {}),
    ((), {"format_expression": "%x", "is_detailed": 1, "is_raw": 0, "no_color": [],
          "use_iso_date": "yes"}),
    (("%x", 1), {"is_raw": 0, "no_color": [], "use_iso_date": "yes"}),
])
def test_constructor_stores_arguments_unchecked_in_order(args, kwargs):
    formatter = Formatter(*args, **kwargs)
    names = ["_NeritEventFormatter__format_expression", "is_detailed", "is_raw", "no_color",
             "use_iso_date"]
    assert list(vars(formatter)) == names
    given_values = list(args) + list(kwargs.values())
    defaults = [None, False, False, False, False]
    expected = given_values + defaults[len(given_values):]
    assert [vars(formatter)[name] for name in names] == expected


@pytest.mark.parametrize("call, message", [
    (lambda: Formatter(5), "Argument 'format_expression' has incorrect type (expected str, got int)"),
    (lambda: Formatter(format_expression=b"x"),
     "Argument 'format_expression' has incorrect type (expected str, got bytes)"),
    (lambda: Formatter(type("Text", (str,), {})("x")),
     "Argument 'format_expression' has incorrect type (expected str, got Text)"),
    (lambda: Formatter(None, 0, 0, 0, 0, 0), None),
    (lambda: Formatter(bogus=1), None),
    (lambda: Formatter()._NeritEventFormatter__colorize(1, "grey"),
     "Argument 'string' has incorrect type (expected str, got int)"),
    (lambda: Formatter()._NeritEventFormatter__colorize("x", 1.5),
     "Argument 'color' has incorrect type (expected str, got float)"),
    (lambda: Formatter()._NeritEventFormatter__colorize_priority(["err"]),
     "Argument 'priority' has incorrect type (expected str, got list)"),
    (lambda: Formatter().format_event(), None),
    (lambda: Formatter().format_event({}, {}), None),
])
def test_argument_rules(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    if message is not None:
        assert str(raised.value) == message


def test_private_methods_take_keywords_and_none():
    formatter = Formatter()
    assert formatter._NeritEventFormatter__colorize(string="x", color="grey") == grey("x")
    assert formatter._NeritEventFormatter__colorize("x", "red") is None
    assert formatter._NeritEventFormatter__colorize_priority(priority=None) is None
    assert Formatter(no_color=True)._NeritEventFormatter__colorize(None, None) is None


# --- worked examples, byte for byte ---------------------------------------------------------

ENGLISH_CASES = [
    ({}, grey("05.03.2024 10:20:30") + grey(", ") + OK + "warning" + END + grey(", ")
     + grey("Audit") + grey(", ") + "Login failed"),
    ({"no_color": True}, "05.03.2024 10:20:30, warning, Audit, Login failed"),
    ({"no_color": True, "use_iso_date": True},
     "2024-03-05T10:20:30+03:00, warning, Audit, Login failed"),
    ({"is_detailed": True, "no_color": True},
     "Isodate:  2024-03-05T10:20:30+03:00\nPriority: warning\nSource:   audit\n"
     "Type_en:  Audit\nName_en:  Login failed\n"),
    ({"is_detailed": True},
     grey("Isodate:") + "  2024-03-05T10:20:30+03:00\n" + grey("Priority:") + " " + OK
     + "warning" + END + "\n" + grey("Source:") + "   audit\n" + grey("Type_en:")
     + "  Audit\n" + grey("Name_en:") + "  Login failed\n"),
    ({"is_raw": True},
     "ISODATE:  2024-03-05T10:20:30+03:00\nPRIORITY: warning\nsource:   audit\n"
     "type_en:  Audit\nname_en:  Login failed\n"),
    ({"is_raw": True, "is_detailed": True},
     "Isodate:  2024-03-05T10:20:30+03:00\nPriority: warning\nSource:   audit\n"
     "Type_en:  Audit\nName_en:  Login failed\n"),
    ({"format_expression": "priority is %PRIORITY and english name is %name_en",
      "no_color": True}, "priority is warning and english name is Login failed"),
    ({"format_expression": "priority is %PRIORITY and english name is %name_en"},
     "priority is " + OK + "warning" + END + " and english name is Login failed"),
    ({"format_expression": "", "no_color": True},
     "05.03.2024 10:20:30, warning, Audit, Login failed"),
]


@pytest.mark.parametrize("fast", [True, False], ids=["native", "host"])
@pytest.mark.parametrize("options, expected", ENGLISH_CASES)
def test_worked_examples(language, fast, options, expected):
    record_layout._fast_paths = fast
    try:
        assert Formatter(**options).format_event(sample()) == expected
    finally:
        record_layout._fast_paths = True


@pytest.mark.parametrize("options, expected", [
    ({"no_color": True}, "05.03.2024 10:20:30, warning, Аудит, Ошибка входа"),
    ({"is_raw": True}, "ISODATE:  2024-03-05T10:20:30+03:00\nPRIORITY: warning\n"
                       "source:   audit\ntype_ru:  Аудит\nname_ru:  Ошибка входа\n"),
    ({"format_expression": "%name_en|%name_ru|%source", "no_color": True},
     "%name_en|Ошибка входа|audit"),
])
def test_russian_examples(language, options, expected):
    language("ru_RU")
    assert Formatter(**options).format_event(sample()) == expected


@pytest.mark.parametrize("code, russian", [
    ("ru_RU", True), ("ru_UA", False), ("ru", False), ("en_US", False), (None, False),
    ("RU_ru", False), ("ru_RU.UTF-8", False),
])
def test_only_ru_RU_is_russian(language, code, russian):
    language(code)
    text = Formatter(no_color=True).format_event(sample())
    assert text.endswith("Аудит, Ошибка входа" if russian else "Audit, Login failed")


def test_language_read_at_call_time_through_the_instance(language):
    formatter = Formatter(no_color=True)
    assert formatter.format_event(sample()).endswith("Login failed")
    Formatter.LOCALE = "ru_RU"
    assert formatter.format_event(sample()).endswith("Ошибка входа")
    formatter.LOCALE = "en_US"
    assert formatter.format_event(sample()).endswith("Login failed")


# --- colours ----------------------------------------------------------------------------------

@pytest.mark.parametrize("priority, colour", [
    *[(name, FAIL) for name in ("critical", "crit", "alert", "emergency", "emerg")],
    *[(name, OK) for name in ("warning", "error", "err")],
    *[(name, None) for name in ("info", "notice", "debug", "WARNING", "Crit", "ERR", "", None)],
])
def test_priority_colour_table(priority, colour):
    coloured = Formatter()._NeritEventFormatter__colorize_priority(priority)
    assert coloured == (priority if colour is None else colour + priority + END)
    assert Formatter(no_color=True)._NeritEventFormatter__colorize_priority(priority) == priority


@pytest.mark.parametrize("options", [
    {"no_color": True}, {"is_raw": True}, {"is_raw": True, "is_detailed": True},
    {"is_detailed": True, "no_color": True},
    {"format_expression": "%PRIORITY %ISODATE", "no_color": True},
])
@pytest.mark.parametrize("priority", ["crit", "err", "info"])
def test_no_escape_without_colour(options, priority):
    event = sample(PRIORITY=priority)
    assert ESC not in Formatter(**options).format_event(event)
    assert ESC not in event["PRIORITY"]


def test_colour_constants_are_replaceable_and_read_at_call_time():
    formatter = Formatter()
    assert formatter.format_event(sample()).startswith(GREY)
    saved = Formatter.COLOR_GREY
    try:
        Formatter.COLOR_GREY = "<g>"
        assert formatter.format_event(sample()).startswith("<g>05.03.2024 10:20:30" + END)
        formatter.COLOR_OK = "<ok>"
        assert "<ok>warning" in formatter.format_event(sample())
    finally:
        Formatter.COLOR_GREY = saved


def test_settings_changed_after_use_take_effect():
    formatter = Formatter()
    assert ESC in formatter.format_event(sample())
    formatter.no_color = True
    assert ESC not in formatter.format_event(sample())
    formatter.no_color = []  # falsy, and its truth may change later
    assert ESC in formatter.format_event(sample())
    formatter.no_color.append(1)
    assert ESC not in formatter.format_event(sample())


# --- lifting of the message block ----------------------------------------------------------------

@pytest.mark.parametrize("msg_key, source", [
    ("nerit-audit", "audit"), ("nerit-audit-x", "audit"), ("kernel", "kernel"),
    ("audit-nerit-x", "nerit"), ("Nerit-audit", "Nerit-audit"), ("nerit-", ""),
    ("xnerit--y", ""),
])
def test_source_from_message_key(msg_key, source):
    event = {"PRIORITY": "info", "MSG": {msg_key: {"k": "v"}, "second": {"z": "z"}}}
    Formatter()._NeritEventFormatter__unpack_event_dict(event)
    assert event == {"PRIORITY": "info", "source": source, "k": "v"}


def test_key_order_after_lifting(language):
    event = {"HOST": "h", "source": "old", "MSG": {"nerit-a": {
        "type_ru": "т", "PRIORITY": "crit", "type_en": "T", "extra": "e", "name_ru": "н",
        "HOST": "h2"}}, "PRIORITY": "info", "DATE": "2024-01-02"}
    inner = event["MSG"]["nerit-a"]
    Formatter(is_raw=True).format_event(event)
    assert list(event.items()) == [("HOST", "h2"), ("source", "a"), ("PRIORITY", "crit"),
                                   ("DATE", "2024-01-02"), ("type_en", "T"), ("extra", "e")]
    assert inner == {"PRIORITY": "crit", "type_en": "T", "extra": "e", "HOST": "h2"}


def test_inner_priority_is_coloured_and_missing_language_keys_leave_empty_fields(language):
    event = {"DATE": "2024-03-05", "PRIORITY": "info", "MSG": {"kernel": {"PRIORITY": "alert"}}}
    assert Formatter().format_event(event) == (
        grey("05.03.2024 00:00:00") + grey(", ") + FAIL + "alert" + END + grey(", ") + grey("")
        + grey(", "))
    assert Formatter(no_color=True).format_event(
        {"DATE": "2024-03-05", "PRIORITY": "x", "MSG": {"k": {}}}) == "05.03.2024 00:00:00, x, , "


# --- errors, each at its own step ---------------------------------------------------------------

def _without(key):
    def change(event):
        del event[key]
    return change


def _set(key, value):
    def change(event):
        event[key] = value
    return change


def _inner(key, value):
    def change(event):
        event["MSG"]["nerit-audit"][key] = value
    return change


ERROR_CASES = [
    ({}, _without("MSG"), KeyError, "'MSG'"),
    ({}, _set("MSG", "text"), AttributeError, "'str' object has no attribute 'keys'"),
    ({}, _set("MSG", {}), IndexError, "list index out of range"),
    ({}, _set("MSG", {"nerit": {}}), IndexError, "list index out of range"),
    ({}, _set("MSG", {5: {}}), TypeError, "argument of type 'int' is not iterable"),
    ({}, _set("MSG", {"nerit-a": "text"}), AttributeError, "'str' object has no attribute 'pop'"),
    ({}, _set("MSG", {"nerit-a": 5}), AttributeError, "'int' object has no attribute 'pop'"),
    ({}, _set("MSG", {"nerit-a": None}), AttributeError,
     "'NoneType' object has no attribute 'pop'"),
    # A list or a set has a pop of its own, but the fields are no mapping all the same.
    ({}, _set("MSG", {"nerit-a": ["type_ru", "x"]}), AttributeError,
     "'list' object has no attribute 'items'"),
    ({}, _set("MSG", {"nerit-a": {"type_ru"}}), AttributeError,
     "'set' object has no attribute 'items'"),
    ({}, _without("PRIORITY"), KeyError, "'PRIORITY'"),
    ({"no_color": True}, _without("PRIORITY"), KeyError, "'PRIORITY'"),
    ({}, _set("PRIORITY", 3), TypeError,
     "Argument 'priority' has incorrect type (expected str, got int)"),
    ({"no_color": True}, _set("PRIORITY", 3), TypeError,
     "sequence item 1: expected str instance, int found"),
    ({"no_color": True}, _set("PRIORITY", None), TypeError,
     "sequence item 1: expected str instance, NoneType found"),
    ({}, _without("ISODATE"), TypeError, "fromisoformat: argument must be str"),
    ({}, _set("ISODATE", 20240305), TypeError, "fromisoformat: argument must be str"),
    ({}, _set("ISODATE", "yesterday"), ValueError, "Invalid isoformat string: 'yesterday'"),
    ({}, _set("ISODATE", "2024-02-30"), ValueError, "day is out of range for month"),
    ({"use_iso_date": True}, _without("ISODATE"), KeyError, "'ISODATE'"),
    ({"use_iso_date": True}, _set("ISODATE", 5), TypeError,
     "Argument 'string' has incorrect type (expected str, got int)"),
    ({"use_iso_date": True, "no_color": True}, _set("ISODATE", None), TypeError,
     "sequence item 0: expected str instance, NoneType found"),
    ({"use_iso_date": True}, _set("ISODATE", None), TypeError,
     'can only concatenate str (not "NoneType") to str'),
    ({}, _inner("type_en", 7), TypeError,
     "Argument 'string' has incorrect type (expected str, got int)"),
    ({}, _inner("name_en", 7), TypeError, "sequence item 3: expected str instance, int found"),
    ({"format_expression": "%x"}, _inner("extra", 7), TypeError,
     "replace() argument 2 must be str, not int"),
    ({"format_expression": "%x"}, _inner("extra", None), TypeError,
     "replace() argument 2 must be str, not None"),
    ({"format_expression": "%x"}, _inner("extra", ["a"]), TypeError,
     "replace() argument 2 must be str, not list"),
]


@pytest.mark.parametrize("fast", [True, False], ids=["native", "host"])
@pytest.mark.parametrize("options, change, error, message", ERROR_CASES)
def test_error_table(language, fast, options, change, error, message):
    record_layout._fast_paths = fast
    try:
        event = sample()
        change(event)
        twin_event = copy.deepcopy(event)
        with pytest.raises(error) as raised:
            Formatter(**options).format_event(event)
        assert str(raised.value) == message
        with pytest.raises(error):
            twin.TwinEventFormatter(**options).format_event(twin_event)
        assert list(event.items()) == list(twin_event.items())  # the same steps were done
    finally:
        record_layout._fast_paths = True


def test_second_format_of_the_same_event_fails():
    event = sample()
    Formatter().format_event(event)
    with pytest.raises(KeyError):
        Formatter().format_event(event)


def test_replaced_datetime_global_is_used():
    class Clock:
        @staticmethod
        def fromisoformat(text):
            return host_datetime.datetime(2001, 2, 3, 4, 5, 6)

    try:
        record_layout.datetime = Clock
        assert Formatter(no_color=True).format_event(sample()).startswith("03.02.2001 04:05:06")
        del record_layout.datetime
        with pytest.raises(NameError, match="name 'datetime' is not defined"):
            Formatter(no_color=True).format_event(sample())
    finally:
        record_layout.datetime = host_datetime.datetime


# --- detailed and raw layouts ---------------------------------------------------------------------

def test_values_print_in_host_string_form():
    event = {"A": 42, "BB": 1.5, "CCC": True, "D": None, "E": [1, "x"],
             "MSG": {"k": {"n": {"q": "r"}}}}
    assert Formatter(is_raw=True).format_event(event) == (
        "A:      42\nBB:     1.5\nCCC:    True\nD:      None\nE:      [1, 'x']\n"
        "source: k\nn:      {'q': 'r'}\n")


def test_padding_counts_stored_key_and_non_ascii_keys_capitalize_as_host():
    event = {"ab": "1", "ßx": "2", "MSG": {"cdefgh": {"éé": "3"}}}
    assert Formatter(is_detailed=True, no_color=True).format_event(event) == (
        "Ab:     1\nSsx:     2\nSource: cdefgh\nÉé:     3\n")


def test_equal_key_lengths_get_one_space():
    event = {"abcdef": 1, "MSG": {"cdefgh": {"xyzxyz": "3"}}}
    assert Formatter(is_raw=True).format_event(event) == "abcdef: 1\nsource: cdefgh\nxyzxyz: 3\n"


# --- expression layout -----------------------------------------------------------------------------

@pytest.mark.parametrize("inner, expression, expected", [
    ({"type": "T", "type_en": "Audit"}, "%type_en|%type", "T_en|T"),
    ({"type_en": "Audit", "type": "T"}, "%type_en|%type", "Audit|T"),
    ({"a": "1"}, "%a%a %b %", "11 %b %"),
    ({"a": "%b", "b": "B"}, "[%a]", "[B]"),
    ({"b": "B", "a": "%b"}, "[%a]", "[%b]"),
    ({"a": "x"}, "%A %source", "%A kernel"),
    ({"a": "%", "b": "2"}, "%a" + "b", "2"),
    ({"a": "Ж%b", "b": "ё"}, "%a.%a", "Жё.Жё"),
    ({"a": "€"}, "∑%a", "∑€"),
    ({"a": "1"}, "no placeholders", "no placeholders"),
    ({"ключ": "v"}, "%ключ!", "v!"),
    ({"ключ": "é"}, "a%ключ", "aé"),
    ({"b": "X", "X": "Y"}, "%%b", "Y"),
    ({"b": "X", "aX": "Z"}, "%a%b", "Z"),
    ({"aX": "Z", "b": "X"}, "%a%b", "%aX"),
    ({"a%b": "Q"}, "%a%b", "Q"),
    ({"a": "%b", "b": "B"}, "no a here %b", "no a here B"),
    ({"a": "1"}, "%a" * 40, "1" * 40),
    ({"a": "1", "": "E"}, "%a %", "1 E"),
])
def test_expression_placeholders_in_key_order(inner, expression, expected):
    event = {"PRIORITY": "info", "MSG": {"kernel": inner}}
    expected_twin = twin.TwinEventFormatter(expression, no_color=True).format_event(
        copy.deepcopy(event))
    assert Formatter(expression, no_color=True).format_event(event) == expected == expected_twin


# --- overrides ---------------------------------------------------------------------------------------

class Marking(Formatter):
    def _NeritEventFormatter__colorize(self, string, color):
        return f"<{string}>"

    def _NeritEventFormatter__colorize_priority(self, priority):
        return priority.upper()


def test_subclass_overrides_are_called():
    assert Marking().format_event(sample()) == (
        "<05.03.2024 10:20:30><, >WARNING<, ><Audit><, >Login failed")
    assert Marking(is_detailed=True).format_event(sample()).startswith("<Isodate:>  2024")


def test_instance_overrides_of_lifting_and_expression_are_called():
    formatter = Formatter("%x", no_color=True)
    calls = []
    formatter._NeritEventFormatter__unpack_event_dict = lambda event: calls.append("unpack")
    formatter._NeritEventFormatter__format_event_with_expression = lambda event: "from override"
    event = {"PRIORITY": "p", "x": "y"}
    assert formatter.format_event(event) == "from override"
    assert calls == ["unpack"]
    del formatter._NeritEventFormatter__format_event_with_expression
    assert formatter.format_event(event) == "y"


def test_subclass_instances_are_collected():
    import gc
    import weakref

    formatter = Marking()
    formatter.cycle = formatter
    ref = weakref.ref(formatter)
    del formatter
    gc.collect()
    assert ref() is None


# --- native paths agree with the host ----------------------------------------------------------------

@pytest.mark.parametrize("text", [
    "2024-03-05", "2024-03-05T10:20:30", "2024-03-05 23:59:59", "2024-02-29T00:00:00Z",
    "2023-12-31T10:20:30.123+03:00", "2023-12-31T10:20:30.123456-11:30", "1000-01-01",
    "9999-12-31T23:59:59.999999+23:59",
])
def test_native_date_reader_matches_host(text):
    expected = host_datetime.datetime.fromisoformat(text).strftime("%d.%m.%Y %H:%M:%S")
    assert _probe.fromisoformat_text(text) == expected


@pytest.mark.parametrize("text", [
    "0999-01-01", "2023-02-29", "2024-13-01", "2024-03-05T24:00:00", "2024-03-05T10:60:00",
    "2024-03-05T10:20:30+05:99", "2024-03-05T10:20:30+24:00", "2024-03-05T10:20:30.1234",
    "2024-03-05T10:20", "20240305", "2024-03-05x10:20:30", "2024-03-05T10:20:30+0300",
    "2024-03-05T10:20:30,123", "2024-W10-2", "２０２４-03-05", "2024-03-05T10:20:30 ", "",
])
def test_native_date_reader_declines_unusual_texts(text):
    assert _probe.fromisoformat_text(text) is None


@pytest.mark.parametrize("usual", ["2024-02-29T23:59:59.123456+03:00", "2023-12-31 00:00:00.999Z",
                                   "2024-03-05"])
def test_native_date_reader_reads_each_place(usual):
    """Every character of a usual text replaced in turn: the native reader reads it as the
    host does or declines it."""
    for at in range(len(usual)):
        for other in "0129:-/.TZ+ a\u0660\uff10":
            text = usual[:at] + other + usual[at + 1:]
            native = _probe.fromisoformat_text(text)
            if native is not None:
                expected = host_datetime.datetime.fromisoformat(text)
                assert native == expected.strftime("%d.%m.%Y %H:%M:%S"), text


_digits = st.text("0123456789", min_size=1, max_size=4)
_date_texts = st.one_of(
    st.datetimes(min_value=host_datetime.datetime(1, 1, 1)).map(lambda d: d.isoformat()),
    st.datetimes(min_value=host_datetime.datetime(900, 1, 1)).map(
        lambda d: d.isoformat(sep=" ", timespec="milliseconds") + "Z"),
    st.builds(lambda y, m, d, h, mi, s, tz: f"{y}-{m}-{d}T{h}:{mi}:{s}{tz}",
              _digits, _digits, _digits, _digits, _digits, _digits,
              st.sampled_from(["", "Z", "+03:00", "-23:59", "+24:00", "+05:99", ".5", ".123"])),
    st.text("0123456789-:T .Z+", max_size=30),
)


@settings(max_examples=300, deadline=None)
@given(_date_texts)
def test_native_date_reader_never_disagrees(text):
    native = _probe.fromisoformat_text(text)
    if native is not None:
        assert native == host_datetime.datetime.fromisoformat(text).strftime("%d.%m.%Y %H:%M:%S")


_keys = st.sampled_from(["ISODATE", "DATE", "PRIORITY", "HOST", "source", "type", "type_en",
                         "name_en", "type_ru", "name_ru", "x", "хост", "ß", "%y", "a%", ""])
_texts = st.one_of(
    st.text(max_size=12),
    st.sampled_from(["warning", "crit", "err", "info", "Аудит", "%type", "%source", "%x%x",
                     "%name_en!", "%", "2024-03-05T10:20:30+03:00"]),
)
_values = st.one_of(_texts, _texts, _texts, st.integers(), st.none(), st.booleans(),
                    st.lists(st.integers(), max_size=2))
_inner = st.dictionaries(_keys, _values, max_size=6)
_msg = st.dictionaries(
    st.sampled_from(["nerit-audit", "nerit-a-b", "kernel", "audit-nerit-x", "Nerit-x", "nerit",
                     "", "ядро"]), _inner, min_size=0, max_size=2)
_events = st.builds(
    lambda top, msg, date, priority: {**top, **date, **priority, "MSG": msg},
    st.dictionaries(_keys, _values, max_size=5),
    _msg,
    st.one_of(st.just({}), st.fixed_dictionaries({"ISODATE": st.one_of(_date_texts, _values)}),
              st.fixed_dictionaries({"DATE": _date_texts})),
    st.one_of(st.just({}), st.fixed_dictionaries({"PRIORITY": _values})),
)
_options = st.fixed_dictionaries({
    "format_expression": st.one_of(st.none(), st.just(""), st.text("%xtypesourcenam_", max_size=14),
                                   st.just("%PRIORITY %ISODATE [%source] %name_en %type_en")),
    "is_detailed": st.booleans(), "is_raw": st.booleans(), "no_color": st.booleans(),
    "use_iso_date": st.booleans(),
})


def _outcome(formatter, event):
    try:
        result = formatter.format_event(event)
    except Exception as error:  # the comparison is of the whole outcome, errors included
        return "error", type(error), str(error), list(event.items())
    return "text", result, list(event.items())


@settings(max_examples=400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(event=_events, options=_options, russian=st.booleans())
def test_native_host_and_plain_python_agree(language, event, options, russian):
    language("ru_RU" if russian else "en_US")
    native = _outcome(Formatter(**options), copy.deepcopy(event))
    record_layout._fast_paths = False
    try:
        host = _outcome(Formatter(**options), copy.deepcopy(event))
    finally:
        record_layout._fast_paths = True
    plain = _outcome(twin.TwinEventFormatter(**options), copy.deepcopy(event))
    assert native == host == plain


def test_settings_behind_a_property_are_read_live():
    class Toggling(Formatter):
        calls = 0

        @property
        def no_color(self):
            Toggling.calls += 1
            return Toggling.calls % 2 == 0

        @no_color.setter
        def no_color(self, value):
            pass

    formatter = Toggling()
    first = formatter.format_event(sample())
    second = formatter.format_event(sample())
    assert (ESC in first) != (ESC in second)


@pytest.mark.parametrize("event, error, message", [
    ([1, 2], TypeError, "list indices must be integers or slices, not str"),
    ("text", TypeError, "string indices must be integers"),
])
def test_events_that_are_not_mappings_fail_as_the_host_does(event, error, message):
    with pytest.raises(error, match=message):
        Formatter().format_event(event)


def test_mapping_subclass_events_go_through_their_methods():
    class Recording(dict):
        def __setitem__(self, key, value):
            super().__setitem__(key, value.upper() if isinstance(value, str) else value)

    event = Recording(sample())
    assert Formatter(is_raw=True).format_event(event).splitlines()[2] == "source:   AUDIT"


# --- one formatter over many events -------------------------------------------------------------

def _three_ways(options, make_event):
    """Outcomes of the native formatter, the host paths and the twin on fresh events."""
    native = _outcome(Formatter(**options), make_event())
    record_layout._fast_paths = False
    try:
        host = _outcome(Formatter(**options), make_event())
    finally:
        record_layout._fast_paths = True
    return native, host, _outcome(twin.TwinEventFormatter(**options), make_event())


def test_one_formatter_keeps_agreeing_as_keys_come_and_go():
    expression = "%PRIORITY %k1 [%source] %name_en %k17%k1 %zz"
    native, plain = Formatter(expression), twin.TwinEventFormatter(expression)
    for round_ in range(3):
        for n in range(90):
            # Keys built at run time are new objects each time; equal keys must still match.
            inner = {f"k{n}": f"v{n}", "".join(["k", "1"]): "one", "name_en": f"N{n}",
                     f"z{'z' * (n % 2)}": "Z" if n % 3 else "%k1"}
            event = {"PRIORITY": ("err", "info", "crit")[n % 3], "MSG": {"nerit-x": inner}}
            assert native.format_event(copy.deepcopy(event)) == plain.format_event(
                copy.deepcopy(event))
        # A new expression on the same formatter starts afresh.
        expression = expression[::-1] if round_ == 0 else "%k2%k1%k"
        native._NeritEventFormatter__format_expression = expression
        plain._TwinEventFormatter__format_expression = expression


def _split_table(**values):
    holder = type("Holder", (), {})()
    for key, value in values.items():
        setattr(holder, key, value)
    return holder.__dict__  # an exact dict whose keys live in its class


@pytest.mark.parametrize("make_event", [
    lambda: {"PRIORITY": "crit", 7: "seven", "MSG": {"kernel": {"a": "1", 8: "x"}}},
    lambda: {"PRIORITY": "crit", "MSG": _split_table(**{"nerit-audit": {"a": "1"}})},
    lambda: _split_table(PRIORITY="err", MSG={"kernel": _split_table(a="%b", b="B")}),
    lambda: {"PRIORITY": "err", "MSG": {"kernel": {"a": "1", 2.5: "x"}}},
], ids=["non-str keys", "split message block", "split event and fields", "non-str inner key"])
@pytest.mark.parametrize("options", [{"format_expression": "%a [%source] %PRIORITY"},
                                     {"is_raw": True}, {}])
def test_unusual_dict_tables_agree(make_event, options):
    native, host, plain = _three_ways(options, make_event)
    assert native == host == plain


def _message_block_with_first_key_deleted():
    msg = {"gone": {"a": "0"}, "nerit-audit": {"a": "1"}}
    del msg["gone"]
    return {"PRIORITY": "warning", "MSG": msg}


def test_deleted_first_message_member_is_skipped():
    native, host, plain = _three_ways({"format_expression": "%source %a"},
                                      _message_block_with_first_key_deleted)
    assert native == host == plain
    assert native[1] == "audit 1"


class _Finalising:
    """A value whose finaliser changes the message fields when the lifting replaces it."""

    def __init__(self, fields, change):
        self.fields, self.change = fields, change

    def __del__(self):
        self.change(self.fields)


@pytest.mark.parametrize("change", [
    lambda fields: fields.__setitem__("later", "changed"),
    lambda fields: fields.__setitem__("extra", "x"),
    lambda fields: fields.pop("later"),
], ids=["value replaced", "key added", "key removed"])
def test_fields_changed_while_lifting_behave_as_the_host(change):
    def make_event():
        fields = {"user": "operator", "later": "kept"}
        return {"PRIORITY": "info", "user": _Finalising(fields, change),
                "MSG": {"kernel": fields}}

    native, host, plain = _three_ways({"format_expression": "%user %later"}, make_event)
    assert native[:3] == host[:3] == plain[:3]


# --- events as the JSON decoder makes them: new key objects, nobody else holding the block ------

def _decoded(event):
    """The event as the iterators hand it over: every key and value a new object."""
    return json.loads(json.dumps(event, ensure_ascii=False))


def _outcome_keeping(formatter, event, keep):
    """The outcome, plus what a caller holding part of the message block sees of it after."""
    held = keep(event)
    return _outcome(formatter, event), copy.deepcopy(held)


_KEEPS = {
    "nothing": lambda event: None,
    "the fields": lambda event: next(iter(event["MSG"].values()), None),
    "the block": lambda event: event["MSG"],
}

_json_values = st.one_of(_texts, _texts, st.integers(), st.none(), st.lists(_texts, max_size=2))
_json_inner = st.dictionaries(_keys, _json_values, max_size=8)
_json_events = st.builds(
    lambda top, inner, key, priority: {**top, **priority, "MSG": {key: inner}},
    st.dictionaries(_keys, _json_values, max_size=6), _json_inner,
    st.sampled_from(["nerit-audit", "kernel", "nerit-a-b"]),
    st.one_of(st.just({}), st.fixed_dictionaries({"PRIORITY": _json_values})),
)


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(event=_json_events, options=_options, russian=st.booleans(),
       keep=st.sampled_from(sorted(_KEEPS)))
def test_decoded_events_agree_whoever_holds_the_message_block(language, event, options, russian,
                                                              keep):
    language("ru_RU" if russian else "en_US")
    native = _outcome_keeping(Formatter(**options), _decoded(event), _KEEPS[keep])
    record_layout._fast_paths = False
    try:
        host = _outcome_keeping(Formatter(**options), _decoded(event), _KEEPS[keep])
    finally:
        record_layout._fast_paths = True
    plain = _outcome_keeping(twin.TwinEventFormatter(**options), _decoded(event), _KEEPS[keep])
    assert native == host == plain


class _Inspecting:
    """A top-level value that, when a lifted field replaces it, records the message block."""

    def __init__(self, event, seen):
        self.event, self.seen = event, seen

    def __del__(self):
        self.seen.append(copy.deepcopy(self.event.get("MSG")))


@pytest.mark.parametrize("formatter_class", [Formatter, twin.TwinEventFormatter],
                         ids=["native", "plain"])
def test_replaced_value_sees_the_fields_already_dropped(language, formatter_class):
    seen = []
    event = _decoded({"PRIORITY": "info", "MSG": {"kernel": {
        "type_ru": "т", "a": "1", "user": "operator", "name_ru": "н", "b": "2"}}})
    event["user"] = _Inspecting(event, seen)
    text = formatter_class(format_expression="%a %user %b").format_event(event)
    assert text == "1 operator 2"
    assert seen == [{"kernel": {"a": "1", "user": "operator", "b": "2"}}]
    assert list(event) == ["PRIORITY", "user", "source", "a", "b"]


@pytest.mark.parametrize("options", [{"is_raw": True}, {"is_detailed": True},
                                     {"is_detailed": True, "no_color": True}])
@pytest.mark.parametrize("fields", [
    {f"k{n:02d}": f"value {n}" for n in range(40)},
    {f"k{n:02d}": f"value {n}" for n in range(70)},
    {f"k{n:02d}": n if n % 7 == 0 else f"value {n}" for n in range(40)},
    {"ascii": "x", "latin": "café", "cyrillic": "Аудит", "wide": "\U0001f512 lock"},
    {"cyrillic": "Аудит", "long_key_name_here": "%", "n": 5},
], ids=["40 keys", "70 keys", "40 keys, some numbers", "every storage width", "two-byte text"])
def test_keyed_layouts_of_many_keys_and_every_width(language, options, fields):
    event = {"PRIORITY": "crit", "MSG": {"kernel": fields}}
    native, host, plain = _three_ways(options, lambda: _decoded(event))
    assert native == host == plain


@pytest.mark.parametrize("length", range(1, 20))
def test_percent_anywhere_in_an_inserted_value(length):
    for at in range(length):
        value = "v" * at + "%b" + "w" * (length - at - 1)
        event = {"PRIORITY": "info", "MSG": {"kernel": {"a": value, "b": "B"}}}
        native, host, plain = _three_ways({"format_expression": "[%a] %b"},
                                          lambda: _decoded(event))
        assert native == host == plain
        assert native[1] == f"[{'v' * at}B{'w' * (length - at - 1)}] B"


class _Swapping:
    """A top-level "source" whose release puts another message block in the event."""

    def __init__(self, event, block):
        self.event, self.block = event, block

    def __del__(self):
        self.event["MSG"] = self.block


def test_message_block_read_again_after_the_old_source_is_released(language):
    def make_event():
        event = _decoded({"PRIORITY": "info", "MSG": {"kernel": {"a": "old"}}})
        event["source"] = _Swapping(event, {"kernel": {"a": "new", "b": "B"}})
        return event

    native, host, plain = _three_ways({"format_expression": "%source %a %b"}, make_event)
    assert native == host == plain
    assert native[1] == "kernel new B"
