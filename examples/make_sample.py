"""Writes examples/events: a sample security-event log to try nerit-events on.

Five days of events (2024-03-01 to 2024-03-05) from several sources, every priority, Russian and
English names, and a few malformed lines of the kinds a real log can hold. The output is the
same on every run (fixed seed):

    python examples/make_sample.py            # rewrites examples/events
    nerit-events examples/events -a           # every event
    nerit-events examples/events -S 2024-03-04 -U 2024-03-04 -p err,crit
"""

import json
import random
import sys
from datetime import datetime, timedelta
from pathlib import Path

PRIORITIES = ["debug", "info", "notice", "warning", "err", "crit", "alert", "emerg",
              "error", "critical", "emergency"]
PRIORITY_WEIGHTS = [6, 30, 12, 10, 6, 2, 1, 1, 2, 1, 1]

EVENTS = {
    "nerit-audit": [
        ("Аудит", "Audit", "Вход в систему", "User logged in"),
        ("Аудит", "Audit", "Неудачная попытка входа", "Login failed"),
        ("Аудит", "Audit", "Выход из системы", "User logged out"),
        ("Аудит", "Audit", "Изменение прав доступа", "Access rights changed"),
    ],
    "nerit-integrity": [
        ("Контроль целостности", "Integrity control", "Файл изменён", "File modified"),
        ("Контроль целостности", "Integrity control", "Проверка пройдена", "Check passed"),
    ],
    "nerit-usb": [
        ("Устройства", "Devices", "Подключён носитель", "Removable drive attached"),
        ("Устройства", "Devices", "Носитель заблокирован", "Removable drive blocked"),
    ],
    "nerit-network-filter": [
        ("Сеть", "Network", "Соединение отклонено", "Connection refused"),
        ("Сеть", "Network", "Правило обновлено", "Rule updated"),
    ],
    "nerit-auth": [
        ("Аутентификация", "Authentication", "Пароль изменён", "Password changed"),
        ("Аутентификация", "Authentication", "Учётная запись заблокирована", "Account locked"),
    ],
    "kernel": [
        ("Ядро", "Kernel", "Нарушение политики", "Policy violation"),
    ],
}

USERS = ["root", "admin", "иванов", "petrova", "backup"]
HOSTS = ["arm-01", "arm-02", "srv-db"]

MALFORMED = [
    "",                                                          # blank line
    '{"ISODATE":"2024-03-02T11:00:00+03:00","PRIORITY":"info","MSG":{"nerit-au',  # cut short
    "logrotate: file truncated",                                 # not JSON at all
    '{"ISODATE" : "2024-03-04T09:15:00+03:00", "PRIORITY" : "info", '
    '"MSG" : {"nerit-audit" : {"type_en" : "Audit", "name_en" : "Spaced keys"}}}',  # not compact
]


def make_event(rng, moment):
    source = rng.choice(list(EVENTS))
    type_ru, type_en, name_ru, name_en = rng.choice(EVENTS[source])
    fields = {"type_ru": type_ru, "type_en": type_en, "name_ru": name_ru, "name_en": name_en,
              "user": rng.choice(USERS), "pid": str(rng.randint(300, 65000))}
    return {"ISODATE": moment.isoformat(timespec="microseconds") + "+03:00",
            "HOST": rng.choice(HOSTS),
            "PRIORITY": rng.choices(PRIORITIES, PRIORITY_WEIGHTS)[0],
            "MSG": {source: fields}}


def sample_lines(count=360, seed=20240305):
    rng = random.Random(seed)
    start = datetime(2024, 3, 1, 0, 5, 0)
    span = timedelta(days=5) - timedelta(minutes=10)
    moments = sorted(start + span * rng.random() for _ in range(count))
    lines = [json.dumps(make_event(rng, m), ensure_ascii=False, separators=(",", ":"))
             for m in moments]
    # Every priority appears at least once, whatever the draw.
    for index, priority in enumerate(PRIORITIES):
        event = json.loads(lines[index * 30])
        event["PRIORITY"] = priority
        lines[index * 30] = json.dumps(event, ensure_ascii=False, separators=(",", ":"))
    # A name written by whoever triggered the event may carry terminal escapes; the viewer
    # prints them as visible \x1b text instead of letting them clear the screen.
    event = json.loads(lines[200])
    next(iter(event["MSG"].values()))["name_en"] = "Login failed for \x1b[2J\x1b[Hroot"
    lines[200] = json.dumps(event, ensure_ascii=False, separators=(",", ":"))
    for offset, bad in zip((40, 130, 250, 300), MALFORMED):
        lines.insert(offset, bad)
    return lines


def main(target=None):
    target = Path(target or Path(__file__).with_name("events"))
    target.write_text("".join(line + "\n" for line in sample_lines()), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
