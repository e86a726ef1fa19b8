"""Cached look-ups: what the modules keep between calls follows every change made meanwhile, on
each supported release; the collector frees cycles through the kept objects; from 3.12 on the
modules share one dict watcher and one type watcher and stop watching what no cache holds."""

import copy
import gc
import json
import subprocess
import sys
import textwrap
import weakref
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from nerit_record_console import _probe, record_console, record_layout, record_source

Formatter = record_layout.NeritEventFormatter
WATCHERS = sys.version_info >= (3, 12)

EVENT = {
    "ISODATE": "2024-03-05T10:20:30+03:00",
    "HOST": "srv-01",
    "PRIORITY": "err",
    "MSG": {"nerit-audit": {"type_ru": "Аудит", "name_ru": "Ошибка входа",
                            "type_en": "Audit", "name_en": "Login failed"}},
}


def log_line(priority="info", **extra):
    fields = {"ISODATE": "2024-03-05T10:00:00", "PRIORITY": priority,
              "MSG": {"nerit-audit": {"name_en": "x"}}, **extra}
    return json.dumps(fields, separators=(",", ":")) + "\n"


# --- a formatter whose class, instance and constants change between calls ---------------------

# Names as each implementation spells them: the private ones are mangled with the class name.
PRIVATE = {"expression": ("_NeritEventFormatter__format_expression",
                          "_TwinEventFormatter__format_expression")}
SETTINGS_VALUES = st.sampled_from([True, False, 0, 1, "", "x", None])
COLOURS = st.sampled_from(["<g>", "<e>", "", "\x1b[90m", "<ok>", "<fail>"])
OPERATIONS = st.one_of(
    st.tuples(st.just("setting"),
              st.sampled_from(["no_color", "is_raw", "is_detailed", "use_iso_date"]),
              SETTINGS_VALUES),
    st.tuples(st.just("expression"), st.sampled_from([None, "", "%PRIORITY %name_en",
                                                      "%HOST: %source"])),
    st.tuples(st.just("constant"), st.sampled_from(["Leaf", "Middle"]),
              st.sampled_from(["COLOR_OK", "COLOR_FAIL", "COLOR_GREY", "COLOR_END"]), COLOURS),
    st.tuples(st.just("locale"), st.sampled_from(["Leaf", "Middle"]),
              st.sampled_from(["ru_RU", "en_US", None])),
    st.tuples(st.just("new dict"), st.sampled_from(["no_color", "is_raw", "is_detailed"]),
              SETTINGS_VALUES),
    st.tuples(st.just("class"), st.sampled_from(["Leaf", "Sibling"])),
    st.tuples(st.just("format")),
)


def family(base):
    """Middle(base), and Leaf and Sibling below it; Sibling brings colours of its own."""
    middle = type("Middle", (base,), {})
    leaf = type("Leaf", (middle,), {})
    sibling = type("Sibling", (middle,), {"COLOR_OK": "<sibling ok>", "COLOR_GREY": "<sg>"})
    return {"Middle": middle, "Leaf": leaf, "Sibling": sibling}


def apply(operation, instance, classes, private_expression):
    kind = operation[0]
    if kind == "setting":
        setattr(instance, operation[1], operation[2])
    elif kind == "expression":
        setattr(instance, private_expression, operation[1])
    elif kind == "constant":
        setattr(classes[operation[1]], operation[2], operation[3])
    elif kind == "locale":
        setattr(classes[operation[1]], "LOCALE", operation[2])
    elif kind == "new dict":
        instance.__dict__ = dict(instance.__dict__, **{operation[1]: operation[2]})
    elif kind == "class":
        instance.__class__ = classes[operation[1]]


def outcome(instance):
    try:
        return instance.format_event(copy.deepcopy(EVENT))
    except Exception as error:  # the same error is expected of both
        return type(error), str(error)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(operations=st.lists(OPERATIONS, max_size=25))
def test_formatter_follows_every_change_between_calls_as_its_twin_does(layout_twin, operations):
    native_classes, twin_classes = family(Formatter), family(layout_twin.TwinEventFormatter)
    native = native_classes["Leaf"](no_color=True)
    mirror = twin_classes["Leaf"](no_color=True)
    for operation in operations + [("format",)]:
        apply(operation, native, native_classes, PRIVATE["expression"][0])
        apply(operation, mirror, twin_classes, PRIVATE["expression"][1])
        if operation[0] == "format":
            assert outcome(native) == outcome(mirror)


@pytest.mark.parametrize("change", ["base constant", "twice in a row", "del and restore"])
def test_class_constant_changes_reach_instances_of_subclasses(change):
    classes = family(Formatter)
    formatter = classes["Leaf"]()
    first = formatter.format_event(copy.deepcopy(EVENT))
    assert Formatter.COLOR_OK in first
    if change == "base constant":
        classes["Middle"].COLOR_OK = "<middle>"
        assert "<middle>err" in formatter.format_event(copy.deepcopy(EVENT))
    elif change == "twice in a row":
        # The second change comes while nothing has looked the class up since the first.
        classes["Leaf"].COLOR_OK = "<one>"
        classes["Leaf"].COLOR_OK = "<two>"
        assert "<two>err" in formatter.format_event(copy.deepcopy(EVENT))
        classes["Leaf"].COLOR_OK = "<three>"
        assert "<three>err" in formatter.format_event(copy.deepcopy(EVENT))
    else:
        classes["Middle"].COLOR_OK = "<middle>"
        assert "<middle>err" in formatter.format_event(copy.deepcopy(EVENT))
        del classes["Middle"].COLOR_OK
        assert formatter.format_event(copy.deepcopy(EVENT)) == first


# --- iterators and the viewer -----------------------------------------------------------------

def test_iterator_follows_a_new_instance_dict_and_a_new_json_module(tmp_path, monkeypatch):
    path = tmp_path / "events"
    path.write_text(log_line("info", n=0) + log_line("err", n=1) + log_line("info", n=2)
                    + log_line("err", n=3) + log_line("info", n=4))
    iterator = record_source.NeritAllEventsIterator(path)
    assert next(iterator)["n"] == 0
    iterator.__dict__ = dict(iterator.__dict__, _NeritEventIterator__priority_filter={"err"})
    assert next(iterator)["n"] == 1
    decoded = []
    fake_json = SimpleNamespace(loads=lambda text: decoded.append(text) or json.loads(text),
                                decoder=json.decoder)
    monkeypatch.setattr(record_source, "json", fake_json)
    assert next(iterator)["n"] == 3
    assert len(decoded) == 2


def test_a_pass_follows_a_constant_changed_by_code_run_between_two_events(tmp_path, capsys,
                                                                          monkeypatch):
    path = tmp_path / "events"
    path.write_text("".join(log_line("err", n=str(n)) for n in range(4)))
    viewer = record_console.NeritEventViewer(SimpleNamespace(
        watch_file=str(path), priority=None, source=None, follow=False, since=None, until=None,
        days_back=None, today=False, all=True, count=None, format="%n %PRIORITY", more_info=False,
        raw=False, nocolor=False, iso_date=False))
    formatter_class = type("Local", (Formatter,), {})
    viewer._NeritEventViewer__formatter = formatter_class("%n %PRIORITY")
    original = record_source.json.loads

    def loads(text):
        value = original(text)
        if value["n"] == "2":
            formatter_class.COLOR_FAIL = "<changed>"
            formatter_class.COLOR_OK = "<changed>"
        return value

    monkeypatch.setattr(record_source.json, "loads", loads)
    viewer.show_events()
    lines = capsys.readouterr().out.splitlines()
    assert lines[:2] == [f"{n} {Formatter.COLOR_OK}err{Formatter.COLOR_END}" for n in (0, 1)]
    assert lines[2:] == [f"{n} <changed>err{Formatter.COLOR_END}" for n in (2, 3)]


# --- the collector frees what the caches hold -------------------------------------------------

class Marker:
    """A hashable, weakly referable object to close a cycle with."""


ITERATORS = {
    "all": lambda path: record_source.NeritAllEventsIterator(path),
    "range": lambda path: record_source.NeritTimeRangeEventIterator(path, "2024-03-01"),
    "recent": lambda path: record_source.NeritRecentEventIterator(path, 5),
    "new": lambda path: record_source.NeritNewEventIterator(path),
}


@pytest.mark.parametrize("kind", ITERATORS)
def test_iterators_in_cycles_through_their_kept_filters_are_collected(tmp_path, kind):
    path = tmp_path / "events"
    path.write_text(log_line("err") + log_line("info"))
    iterator = ITERATORS[kind](path)
    if kind == "new":
        with open(path, "a") as log:
            log.write(log_line("info"))
    marker = Marker()
    marker.iterator = iterator
    iterator.cycle = iterator
    # The filter set holds the marker, which holds the iterator; a call keeps the set.
    iterator.set_priority_filter([marker, "info"])
    assert next(iter(iterator))["PRIORITY"] == "info"
    ref = weakref.ref(marker)
    del iterator, marker
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("settings_", [{}, {"no_color": True}, {"is_detailed": True},
                                       {"format_expression": "%PRIORITY %name_en %HOST"}])
def test_formatters_and_their_classes_in_cycles_are_collected_after_formatting(settings_):
    local = type("Local", (Formatter,), {})
    formatter = local(**settings_)
    formatter.cycle = formatter
    local.instance = formatter
    formatter.format_event(copy.deepcopy(EVENT))
    refs = [weakref.ref(formatter), weakref.ref(local)]
    del formatter, local
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def test_viewer_iterator_and_formatter_in_cycles_are_collected_after_a_pass(tmp_path, capsys):
    path = tmp_path / "events"
    path.write_text(log_line("err") + log_line("info"))
    viewer = record_console.NeritEventViewer(SimpleNamespace(
        watch_file=str(path), priority=None, source=None, follow=False, since=None, until=None,
        days_back=None, today=False, all=True, count=None, format=None, more_info=False,
        raw=False, nocolor=True, iso_date=False))
    viewer._NeritEventViewer__iterator.viewer = viewer
    viewer._NeritEventViewer__formatter.viewer = viewer
    viewer.show_events()
    assert len(capsys.readouterr().out.splitlines()) == 2
    refs = [weakref.ref(viewer), weakref.ref(viewer._NeritEventViewer__formatter)]
    del viewer
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


# --- the watchers (3.12 and later) ------------------------------------------------------------

# Counts (and can hold) the watcher ids left in a fresh interpreter, through the C API.
WATCHER_IDS = textwrap.dedent("""
    import ctypes
    api = ctypes.pythonapi
    DictCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object,
                                    ctypes.py_object, ctypes.py_object)
    TypeCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)
    callbacks = DictCallback(lambda *args: 0), TypeCallback(lambda *args: 0)
    api.PyDict_AddWatcher.argtypes = [DictCallback]
    api.PyType_AddWatcher.argtypes = [TypeCallback]

    def take(add, callback):
        ids = []
        try:
            while True:
                ids.append(add(callback))
        except RuntimeError:
            return ids

    def free_watchers():
        dicts = take(api.PyDict_AddWatcher, callbacks[0])
        types = take(api.PyType_AddWatcher, callbacks[1])
        for watcher in dicts:
            api.PyDict_ClearWatcher(watcher)
        for watcher in types:
            api.PyType_ClearWatcher(watcher)
        return len(dicts), len(types)
""")


def run_python(script):
    result = subprocess.run([sys.executable, "-c", WATCHER_IDS + textwrap.dedent(script)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


@pytest.mark.skipif(not WATCHERS, reason="3.11 answers from version tags, with no watchers")
def test_the_three_modules_share_one_dict_watcher_and_one_type_watcher():
    assert run_python("""
        before = free_watchers()
        from nerit_record_console import record_console
        after = free_watchers()
        print(before[0] - after[0], before[1] - after[1])
    """) == ["1", "1"]


@pytest.mark.skipif(not WATCHERS, reason="3.11 answers from version tags, with no watchers")
def test_without_a_watcher_id_left_the_modules_load_and_look_everything_up():
    assert run_python("""
        held = take(api.PyDict_AddWatcher, callbacks[0])
        from nerit_record_console import _probe, record_console, record_layout
        formatter = record_layout.NeritEventFormatter("%PRIORITY")
        event = {"PRIORITY": "err", "MSG": {"nerit-audit": {}}}
        first = formatter.format_event(dict(event, MSG={"nerit-audit": {}}))
        record_layout.NeritEventFormatter.COLOR_OK = "<changed>"
        second = formatter.format_event(dict(event, MSG={"nerit-audit": {}}))
        print(len(held) > 0, first == "\x1b[93merr\x1b[0m", second == "<changed>err\x1b[0m",
              _probe.watched_objects())
    """) == ["True", "True", "True", "0"]


@pytest.mark.skipif(not WATCHERS, reason="3.11 answers from version tags, with no watchers")
def test_objects_are_watched_only_while_a_cache_holds_them(tmp_path):
    gc.collect()
    before = _probe.watched_objects()
    local = type("Local", (Formatter,), {})
    formatter = local()
    formatter.format_event(copy.deepcopy(EVENT))
    path = tmp_path / "events"
    path.write_text(log_line())
    iterator = record_source.NeritAllEventsIterator(path)
    next(iterator)
    # At least the class and dict of each (module dicts may be watched already).
    assert _probe.watched_objects() >= before + 4
    del formatter, iterator
    gc.collect()
    assert _probe.watched_objects() == before
    assert local.__name__ == "Local"  # the class outlives the cache that watched it
