"""Priority names as system logs spell them, and the exact texts an event may store for each.

The engine compares the stored "PRIORITY" text exactly, so a chosen level is handed to it as
every text that stands for that level ("err" and "error").
"""

# Worst first: a level's index is its syslog number (emerg 0 ... debug 7).
LEVELS = (
    ("emerg", ("emerg", "emergency")),
    ("alert", ("alert",)),
    ("crit", ("crit", "critical")),
    ("err", ("err", "error")),
    ("warning", ("warning", "warn")),
    ("notice", ("notice",)),
    ("info", ("info",)),
    ("debug", ("debug",)),
)

_LEVEL_OF = {name: index for index, (_, names) in enumerate(LEVELS) for name in names}
_LEVEL_OF.update({str(index): index for index in range(len(LEVELS))})

NAMES_HELP = ", ".join(
    level if len(names) == 1 else f"{level} ({', '.join(names[1:])})" for level, names in LEVELS)


class PriorityError(ValueError):
    """A priority or range that names no level."""


def level(name):
    """The syslog number of NAME (a name, an alias or the number itself)."""
    try:
        return _LEVEL_OF[name.strip().lower()]
    except KeyError:
        raise PriorityError(f"unknown priority {name.strip()!r}; the priorities are "
                            f"{NAMES_HELP}, or their numbers 0 (emerg) to 7 (debug)") from None


def levels(word):
    """The levels WORD selects: "err", "err.." (err and worse), "..err" or "warning..crit"."""
    low, dots, high = word.partition("..")
    if not dots:
        return [level(word)]
    if not low.strip() and not high.strip():
        raise PriorityError(f"priority range {word!r} names no level")
    worst = level(high) if high.strip() else 0
    mildest = level(low) if low.strip() else len(LEVELS) - 1
    worst, mildest = sorted((worst, mildest))
    return list(range(worst, mildest + 1))


def stored_names(words):
    """Every stored text of the levels that WORDS select, worst level first; None for no words."""
    if not words:
        return None
    chosen = sorted({index for word in words for index in levels(word)})
    return [name for index in chosen for name in LEVELS[index][1]]
