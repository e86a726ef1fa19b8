"""Priorities as system logs name them: aliases, numbers and "this and worse" ranges."""

from datetime import timedelta

import pytest

from nerit_record_console import _priorities


@pytest.mark.parametrize("words, stored", [
    (["err"], ["err", "error"]),
    (["ERROR"], ["err", "error"]),
    (["3"], ["err", "error"]),
    (["warn", "info"], ["warning", "warn", "info"]),
    (["emergency", "emerg"], ["emerg", "emergency"]),
    (["err.."], ["emerg", "emergency", "alert", "crit", "critical", "err", "error"]),
    (["crit..alert"], ["alert", "crit", "critical"]),
    (["alert..crit"], ["alert", "crit", "critical"]),
    (["..notice"], ["notice", "info", "debug"]),
    (["debug.."], [name for _, names in _priorities.LEVELS for name in names]),
    (["info", "err.."], ["emerg", "emergency", "alert", "crit", "critical", "err", "error",
                         "info"]),
    ([], None), (None, None),
])
def test_chosen_levels_become_every_stored_name(words, stored):
    assert _priorities.stored_names(words) == stored


@pytest.mark.parametrize("word", ["fatal", "8", "-1", "err...", "e rr", "err..fatal", "..", ""])
def test_names_no_level_uses_are_refused_with_the_known_names(word):
    with pytest.raises(_priorities.PriorityError) as refused:
        _priorities.stored_names([word])
    assert "emerg" in str(refused.value) or "names no level" in str(refused.value)


@pytest.fixture
def every_priority(cli, tmp_path):
    names = ["debug", "info", "notice", "warning", "warn", "err", "error", "crit", "critical",
             "alert", "emerg", "emergency", "Error"]
    events = [cli.event(cli.today + timedelta(seconds=n), name, name)
              for n, name in enumerate(names)]
    return cli.write_events(tmp_path / "events", events)


@pytest.mark.parametrize("args, shown", [
    (["-p", "err"], ["err", "error"]),
    (["-p", "warning,crit"], ["warning", "warn", "crit", "critical"]),
    (["-p", "err.."], ["err", "error", "crit", "critical", "alert", "emerg", "emergency"]),
    (["--min-priority", "crit"], ["crit", "critical", "alert", "emerg", "emergency"]),
    (["--min-priority", "alert", "-p", "debug"], ["debug", "alert", "emerg", "emergency"]),
    (["-p", "0"], ["emerg", "emergency"]),
    (["-p", "notice..warning"], ["notice", "warning", "warn"]),
])
def test_priority_filter_end_to_end(cli, every_priority, args, shown):
    result = cli.run(every_priority, "-a", "-F", "%name_en", *args)
    assert (result.returncode, result.stderr) == (0, "")
    assert cli.names(result) == shown
