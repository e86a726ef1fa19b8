"""--output json: each selected event as one compact JSON line, as the log holds it.

The viewer escapes control characters in an event's texts before it hands the event to the
formatter, and that escaping cannot be undone (a stored backslash looks the same), so the
iterators the viewer builds are replaced by subclasses that keep each event as they yield it, and
the formatter prints that one. Control characters come out as JSON escapes ("\\u001b"), which
JSON readers turn back into the event's own text and terminals leave alone.
"""

import json
import re

ITERATOR_NAMES = ("NeritTimeRangeEventIterator", "NeritAllEventsIterator",
                  "NeritRecentEventIterator", "NeritNewEventIterator")

# One encoder for every event: json.dumps with options builds a new one per call.
_ENCODE = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode
# The encoder escapes C0 controls itself; DEL and C1 controls it writes as they are.
_UNESCAPED_CONTROL = re.compile("[\x7f-\x9f]")


def _escape_control(match):
    return f"\\u{ord(match.group()):04x}"


def event_line(event):
    """EVENT as one compact JSON text, keys in their order, other scripts written as they are."""
    text = _ENCODE(event)
    # These characters can only stand inside JSON strings, where the escape means the same.
    if _UNESCAPED_CONTROL.search(text) is None:
        return text
    return _UNESCAPED_CONTROL.sub(_escape_control, text)


class _LastEvent:
    """The event an iterator yielded last, before the viewer's escaping copied it."""

    def __init__(self):
        self.event = None

    def take(self, escaped):
        event, self.event = self.event, None
        return escaped if event is None else event


def _keeping(iterator_class, last):
    def __next__(self):
        event = iterator_class.__next__(self)
        last.event = event
        return event

    return type(iterator_class.__name__, (iterator_class,), {
        "__next__": __next__, "__doc__": iterator_class.__doc__,
        "__module__": __name__, "__qualname__": iterator_class.__qualname__})


def _formatter_class(last):
    class NeritEventFormatter:
        """Writes each event as the JSON line it was read from, whatever the layout options."""

        def __init__(self, format_expression=None, is_detailed=False, is_raw=False,
                     no_color=False, use_iso_date=False):
            pass

        def format_event(self, event):
            return event_line(last.take(event))

    return NeritEventFormatter


def replacements(console_module):
    """The attributes of the viewer's module that switch it to JSON lines, by name."""
    last = _LastEvent()
    found = {name: _keeping(getattr(console_module, name), last) for name in ITERATOR_NAMES}
    found["NeritEventFormatter"] = _formatter_class(last)
    return found
