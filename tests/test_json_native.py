"""The native JSON decoder gives json.loads's value exactly, or declines the text."""

import json
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from nerit_record_console import _probe

FAST = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

EVENT_LINE = (
    '{"PRIORITY":"INFO","ISODATE":"2024-03-05T10:15:30.123456+03:00",'
    '"DATE":"2024-03-05 10:15:30","HOST":"srv-01","PID":"1234","UID":"0","SEQ":"918273",'
    '"MSG":{"user_login":{"type_ru":"Вход пользователя","type_en":"User login",'
    '"name_ru":"Успешный вход в систему","name_en":"Successful login","tty":"pts/0"}},'
    '"HOSTNAME":"node"}\n'
)


def assert_identical(got, want, path="$"):
    """Same types, same key order, same float bits, all the way down."""
    assert type(got) is type(want), path
    if isinstance(want, dict):
        assert list(got) == list(want), path
        for key in want:
            assert_identical(got[key], want[key], f"{path}[{key!r}]")
    elif isinstance(want, list):
        assert len(got) == len(want), path
        for index, (g, w) in enumerate(zip(got, want)):
            assert_identical(g, w, f"{path}[{index}]")
    elif isinstance(want, float):
        assert struct.pack("<d", got) == struct.pack("<d", want), (path, got, want)
    else:
        assert got == want, path


def check_against_host(text, use_key_cache=True):
    """Asserts the native result agrees with json.loads; returns whether it decoded."""
    decoded, value = _probe.json_loads(text, use_key_cache)
    try:
        want = json.loads(text)
    except (ValueError, RecursionError):  # JSONDecodeError, or int()'s digit limit
        assert not decoded, text
        return False
    if decoded:
        assert_identical(value, want)
    else:
        assert value is None
    return decoded


# Values ------------------------------------------------------------------------------------

CYRILLIC = st.characters(min_codepoint=0x400, max_codepoint=0x4FF)
ANY_CHAR = st.one_of(
    st.characters(),  # every category but surrogates
    st.integers(0xD800, 0xDFFF).map(chr),  # lone surrogates: reach the text as \u escapes
    st.characters(max_codepoint=0x7F),  # controls, quotes and backslashes
    CYRILLIC,
    st.characters(min_codepoint=0x8000, max_codepoint=0xD7FF),  # UCS-2 units with the top bit
)
TEXT = st.text(ANY_CHAR, max_size=12)
KEYS = st.one_of(st.sampled_from(["PRIORITY", "MSG", "DATE", "a", "b", "", "type_ru"]), TEXT)
FLOATS = st.one_of(
    st.floats(),
    st.sampled_from([0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1]),
)
INTEGERS = st.one_of(
    st.integers(-(10**18) + 1, 10**18 - 1),
    st.integers(),
    st.sampled_from([10**17, 10**18 - 1, 10**18, -(10**18), 2**63, -(2**63) - 1]),
)
SCALARS = st.one_of(st.none(), st.booleans(), INTEGERS, FLOATS, TEXT)
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=5),
    max_leaves=16,
)

DUMP_STYLES = st.fixed_dictionaries(
    {
        "ensure_ascii": st.booleans(),
        "separators": st.sampled_from([None, (",", ":"), (", ", ": "), (" ,\t", "\r: ")]),
        "indent": st.sampled_from([None, 0, 2, "\t"]),
    }
)
LEADING = st.sampled_from(["", " ", "\t\r\n "])
TRAILING = st.sampled_from(["", "\n", "\r\n", " \t\n"])


@FAST
@given(VALUES, DUMP_STYLES, LEADING, TRAILING, st.booleans())
def test_serialised_values_decode_as_the_host_decodes_them(value, style, lead, trail, cache):
    text = lead + json.dumps(value, **style) + trail
    decoded = check_against_host(text, cache)
    # Everything json.dumps writes is in the decoder's range except what it leaves to the host
    # on purpose: integers of more than 18 digits, and raw surrogates (no UTF-8 form).
    if not has_long_integer(value) and not any(0xD800 <= ord(c) <= 0xDFFF for c in text):
        assert decoded, text


def has_long_integer(value):
    if isinstance(value, bool):
        return False
    if isinstance(value, int):
        return len(str(abs(value))) > 18
    if isinstance(value, dict):
        return any(has_long_integer(v) for v in value.values())
    if isinstance(value, list):
        return any(has_long_integer(v) for v in value)
    return False


@FAST
@given(st.lists(st.tuples(KEYS, SCALARS), max_size=8), st.booleans())
def test_repeated_keys_keep_first_position_and_last_value(pairs, ensure_ascii):
    body = ",".join(
        f"{json.dumps(k, ensure_ascii=ensure_ascii)}:{json.dumps(v, ensure_ascii=ensure_ascii)}"
        for k, v in pairs
    )
    check_against_host("{" + body + "}\n")


NUMBER_TEXT = st.from_regex(
    r"\A-?(0|[1-9][0-9]{0,24})(\.[0-9]{1,30})?([eE][-+]?[0-9]{1,3})?\Z", fullmatch=True
)


@FAST
@given(NUMBER_TEXT, st.sampled_from(["", "\n", "]", ",1]"]))
def test_numbers_are_rounded_as_the_host_rounds_them(number, suffix):
    text = ("[" + number + suffix) if suffix.endswith("]") else number + suffix
    check_against_host(text)


# Invalid and near-valid texts --------------------------------------------------------------

JSON_ALPHABET = list('{}[]":,\\/ \t\n\r0123456789.-+eEabfnrtuINalsy') + [
    "\x00",
    "\x1f",
    "\x7f",
    "\ufeff",
    "é",
    "Ж",
    "😀",
    "\\u",
    "\\ud83d",
    "\\ude00",
    "true",
    "null",
    "NaN",
    "-Infinity",
]


@st.composite
def mutated_texts(draw):
    text = json.dumps(draw(VALUES), ensure_ascii=draw(st.booleans())) + draw(TRAILING)
    for _ in range(draw(st.integers(1, 3))):
        position = draw(st.integers(0, len(text)))
        piece = draw(st.sampled_from(JSON_ALPHABET))
        operation = draw(st.sampled_from(["insert", "delete", "replace", "cut"]))
        if operation == "insert":
            text = text[:position] + piece + text[position:]
        elif operation == "delete":
            text = text[:position] + text[position + 1 :]
        elif operation == "replace":
            text = text[:position] + piece + text[position + 1 :]
        else:
            text = text[:position]
    return text


@FAST
@given(mutated_texts())
def test_mutated_texts_decode_as_the_host_or_are_declined(text):
    check_against_host(text)


@FAST
@given(st.lists(st.sampled_from(JSON_ALPHABET), max_size=24).map("".join))
def test_arbitrary_texts_decode_as_the_host_or_are_declined(text):
    check_against_host(text)


DECODED = [
    EVENT_LINE,
    EVENT_LINE.replace("\n", "\r\n"),
    ' \t\r\n{ "a" : 1 ,\n"b" :[ ] , "c":{ } }\r\n',
    "[]",
    "{}",
    '""',
    "true",
    "false",
    "null",
    "0",
    "-0",
    "-0.0",
    "0e0",
    "1E+2",
    "1e-2",
    "1.5E3",
    "123456789012345678",
    "-123456789012345678",
    "0.1",
    "5e-324",
    "2.2250738585072014e-308",
    "1.7976931348623157e308",
    "0.30000000000000004441",
    "9007199254740993",
    "9007199254740993.0",
    "NaN",
    "Infinity",
    "-Infinity",
    "[NaN,Infinity,-Infinity,-0.0]",
    '{"a":1,"b":2,"a":3}',
    '{"a":{"x":1},"a":[2]}',
    '"\\/\\b\\f\\n\\r\\t\\"\\\\"',
    '"\\u00e9\\u00C9\\u0000\\u001f\\u007f\\u0100\\uffff"',
    '"\\ud83d\\ude00"',
    '"\\uD83D\\uDE00 and \\ud800 and \\udc00\\ud800 and \\ud800\\u0041"',
    '"\\ud800\\ud800\\udc00"',
    '"\\ud800\\n"',
    '"\x7f é Ж 😀 \u2028"',
    '"Привет, мир"',
    '{"語":"' + "語x" * 8 + '\ufffd\uffff\ue000 twelve bytes"}',
    '"ÿ"',
    '"Жx\\"y"',
    '{"Ж":"ключ"}',
    "[" * 64 + "]" * 64,
    '{"a":' * 63 + "1" + "}" * 63,
    '["' + "x" * 300 + '","' + "Ж" * 300 + '","' + "\\n" * 300 + '"]',
    '"' + "Ж😀" * 3000 + '"\n',  # longer than the decoder's stack buffer
]

DECLINED = [
    "",
    " \n",
    "\ufeff{}",
    "\ufeff\n",
    "01",
    "-01",
    "-",
    "+1",
    "1.",
    ".5",
    "1.e5",
    "1e",
    "1e+",
    "1E-\n",
    "--1",
    "0x10",
    "1 2",
    "[1,]",
    "[,1]",
    '{"a":1,}',
    "{a:1}",
    "{'a':1}",
    "[1 2]",
    '{"a" 1}',
    '{"a":}',
    '{1:2}',
    '"abc',
    '"a\tb"',
    '"a\nb"',
    '"a\x00b"',
    '"\\x41"',
    '"\\u12"',
    '"\\u12G4"',
    '"\\U0041"',
    '"\\ud800\\uZZZZ"',
    '"\\',
    "nul",
    "True",
    "nan",
    "inf",
    "-NaN",
    "-Inf",
    "Infinit",
    "1234567890123456789",
    "-1234567890123456789",
    "1" * 5000,
    "1e400",
    "-1e400",
    "1e-400",
    '{"a":1}x',
    '{"a":1}{}',
    "[1]]",
    "[" * 65 + "]" * 65,
    "[" * 2000 + "]" * 2000,
    "\x00",
    '"\ud800"',  # a raw surrogate in the str: no UTF-8 form, left to the host
]


@pytest.mark.parametrize("text", DECODED)
@pytest.mark.parametrize("use_key_cache", [True, False])
def test_tricky_valid_texts_are_decoded_natively(text, use_key_cache):
    assert check_against_host(text, use_key_cache)


@pytest.mark.parametrize("text", DECLINED)
def test_invalid_or_unusual_texts_are_declined(text):
    assert _probe.json_loads(text) == (False, None)
    check_against_host(text)


def test_key_cache_shares_key_objects_across_lines():
    first = _probe.json_loads(EVENT_LINE)[1]
    second = _probe.json_loads(EVENT_LINE)[1]
    assert first == second and first is not second
    assert all(a is b for a, b in zip(first, second))
    uncached = _probe.json_loads(EVENT_LINE, False)[1]
    assert not any(a is b for a, b in zip(first, uncached))


def test_key_cache_keeps_keys_apart_when_many_compete_for_slots():
    keys = [f"k{i}" for i in range(3000)] + ["k" * 32, "k" * 33, "K" * 31 + "k"]
    for _ in range(2):
        for key in keys:
            assert _probe.json_loads(f'{{"{key}":1,"x{key}":2}}') == (True, {key: 1, f"x{key}": 2})
