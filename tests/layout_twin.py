"""Plain-Python twin of record_layout.NeritEventFormatter.

The twin performs the same steps as the native formatter with ordinary Python operations. The
test suite uses it as its oracle; the benchmarks (`bench/layout_twin.py`, `bench/bench.py`) load
it from here to time the native formatter beside it.
"""
import locale
from datetime import datetime


class TwinEventFormatter:
    LOCALE = locale.getlocale()[0]
    COLOR_OK = "\033[93m"
    COLOR_FAIL = "\033[91m"
    COLOR_GREY = "\033[90m"
    COLOR_END = "\033[0m"

    def __init__(self, format_expression=None, is_detailed=False, is_raw=False, no_color=False,
                 use_iso_date=False):
        _check_text(format_expression, "format_expression")
        self.__format_expression = format_expression
        self.is_detailed = is_detailed
        self.is_raw = is_raw
        self.no_color = no_color
        self.use_iso_date = use_iso_date

    def __unpack_event_dict(self, event):
        msg_key = list(event["MSG"].keys())[0]
        event["source"] = msg_key.split("-")[1] if "nerit" in msg_key else msg_key
        fields = event["MSG"][msg_key]
        # Fields that are not a mapping (a text, a list) fail here with AttributeError, before
        # anything is dropped.
        drop, lift = fields.pop, fields.items
        if self.LOCALE == "ru_RU":
            drop("type_en", None)
            drop("name_en", None)
        else:
            drop("type_ru", None)
            drop("name_ru", None)
        for key, value in lift():
            event[key] = value
        del event["MSG"]

    def __format_event_with_expression(self, event):
        text = self.__format_expression
        for key, value in event.items():
            text = text.replace("%" + key, value)
        return text

    def format_event(self, event):
        self.__unpack_event_dict(event)
        if not self.no_color and not self.is_raw:
            event["PRIORITY"] = self.__colorize_priority(event["PRIORITY"])
        if self.is_detailed or self.is_raw:
            max_key_length = max(len(key) for key in event.keys())
            lines = [
                self.__colorize((key.capitalize() if self.is_detailed else key) + ":", "grey")
                + " " * (max_key_length - len(key)) + " " + str(value)
                for key, value in event.items()
            ]
            return "\n".join(lines) + "\n"
        if self.__format_expression:
            return self.__format_event_with_expression(event)
        if self.use_iso_date:
            event_time = event["ISODATE"]
        else:
            event_time = datetime.fromisoformat(
                event.get("ISODATE", event.get("DATE"))).strftime("%d.%m.%Y %H:%M:%S")
        lang_suffix = "ru" if self.LOCALE == "ru_RU" else "en"
        event_type = event.get("type_" + lang_suffix, "")
        event_name = event.get("name_" + lang_suffix, "")
        return self.__colorize(", ", "grey").join([
            self.__colorize(event_time, "grey"),
            event["PRIORITY"],
            self.__colorize(event_type, "grey"),
            event_name,
        ])

    def __colorize_priority(self, priority):
        _check_text(priority, "priority")
        if self.no_color:
            return priority
        if priority in ("critical", "crit", "alert", "emergency", "emerg"):
            return self.COLOR_FAIL + priority + self.COLOR_END
        if priority in ("warning", "error", "err"):
            return self.COLOR_OK + priority + self.COLOR_END
        return priority

    def __colorize(self, string, color):
        _check_text(string, "string")
        _check_text(color, "color")
        if self.no_color or self.is_raw:
            return string
        if color == "grey":
            return self.COLOR_GREY + string + self.COLOR_END
        return None


def _check_text(value, name):
    if value is not None and type(value) is not str:
        raise TypeError(f"Argument '{name}' has incorrect type "
                        f"(expected str, got {type(value).__name__})")
