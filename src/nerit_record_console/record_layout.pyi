"""Turning one event into text: the one-line, detailed, raw and format-expression layouts, colours,
Russian or English names."""

from typing import ClassVar

from typing_extensions import disjoint_base

from nerit_record_console.record_source import NeritEvent

_fast_paths: bool

@disjoint_base
class NeritEventFormatter:
    LOCALE: ClassVar[str | None]
    COLOR_OK: ClassVar[str]
    COLOR_FAIL: ClassVar[str]
    COLOR_GREY: ClassVar[str]
    COLOR_END: ClassVar[str]
    use_iso_date: bool
    no_color: bool
    is_raw: bool
    is_detailed: bool
    def __init__(self, format_expression: str | None = None, is_detailed: bool = False,
                 is_raw: bool = False, no_color: bool = False,
                 use_iso_date: bool = False) -> None: ...
    def format_event(self, event: NeritEvent) -> str: ...
