"""Per-event benchmark of record_layout.NeritEventFormatter beside its plain-Python twin.

The twin lives with the tests, which use it as their oracle (`tests/layout_twin.py`); run this as
`python bench/layout_twin.py [COUNT [ROUNDS]]`.
"""
import importlib.util
import sys
import time
from pathlib import Path

TWIN_PATH = Path(__file__).resolve().parents[1] / "tests" / "layout_twin.py"


def load_twin(path=TWIN_PATH):
    """The twin module, loaded from its file (the tests directory is not a package)."""
    spec = importlib.util.spec_from_file_location("layout_twin_oracle", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def sample_event(i):
    """A realistic event: ten top-level keys, one nerit-<source> message member."""
    return {
        "ISODATE": f"2024-03-{1 + i % 28:02d}T{i % 24:02d}:{i % 60:02d}:{(i * 7) % 60:02d}+03:00",
        "DATE": f"2024-03-{1 + i % 28:02d} {i % 24:02d}:{i % 60:02d}:{(i * 7) % 60:02d}",
        "HOST": "node-07.example.lan",
        "PROGRAM": "nerit-auditd",
        "PID": str(1000 + i),
        "FACILITY": "authpriv",
        "PRIORITY": ("warning", "info", "crit", "notice", "err")[i % 5],
        "UID": "0",
        "SESSION": f"s{i:06d}",
        "MSG": {
            "nerit-audit": {
                "type_ru": "Аудит",
                "type_en": "Audit",
                "name_ru": "Ошибка входа пользователя",
                "name_en": "User login failed",
                "user": "operator",
                "terminal": "pts/3",
            }
        },
    }


def _fresh_copy(event):
    return dict(event, MSG={key: dict(value) for key, value in event["MSG"].items()})


def _time_per_event(formatter, template, batch=100):
    """Formats copies of the template events, timing only format_event.

    Events are copied in small batches just before they are formatted, so they are warm in the
    cache as they are in the viewer, where each one comes straight from the JSON decoder."""
    total = 0
    for start in range(0, len(template), batch):
        events = [_fresh_copy(event) for event in template[start:start + batch]]
        begin = time.perf_counter_ns()
        for event in events:
            formatter.format_event(event)
        total += time.perf_counter_ns() - begin
    return total / len(template)


def main(count=5000, rounds=7):
    from nerit_record_console.record_layout import NeritEventFormatter

    twin_class = load_twin().TwinEventFormatter

    layouts = {
        "default": {},
        "detailed": {"is_detailed": True},
        "raw": {"is_raw": True},
        "expression": {"format_expression": "%ISODATE %PRIORITY [%source] %name_en (%user@%HOST)"},
    }
    template = [sample_event(i) for i in range(count)]
    print(f"{'layout':<12}{'python ns/event':>18}{'native ns/event':>18}{'speed-up':>10}")
    for name, settings in layouts.items():
        best = {}
        for label, cls in (("python", twin_class), ("native", NeritEventFormatter)):
            formatter = cls(**settings)
            best[label] = min(_time_per_event(formatter, template) for _ in range(rounds))
        print(f"{name:<12}{best['python']:>18.0f}{best['native']:>18.0f}"
              f"{best['python'] / best['native']:>9.1f}x")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
