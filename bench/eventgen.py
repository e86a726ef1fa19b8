"""Synthetic security-event log: one compact JSON object per line, streamed in time order."""

from __future__ import annotations

import datetime as dt
import json
import math
import random
import time
from dataclasses import dataclass
from typing import BinaryIO, Callable, Iterator

# Severity names as the logging service writes them, with how often each turns up on a
# typical server: mostly routine records, a thin tail of alarms.
PRIORITY_WEIGHTS = {
    "info": 44.0,
    "notice": 20.0,
    "debug": 12.0,
    "warning": 11.0,
    "err": 6.0,
    "error": 3.0,
    "crit": 1.5,
    "critical": 1.0,
    "alert": 0.8,
    "emerg": 0.4,
    "emergency": 0.3,
}

HOSTS = (
    "arm-buh-01", "arm-buh-02", "arm-kadry-07", "srv-db-01", "srv-db-02", "srv-app-03",
    "srv-mail", "gw-edge-1", "gw-edge-2", "dc-01", "dc-02", "ws-0142", "ws-0173", "ws-0218",
)
USERS = (
    ("root", 0), ("ivanov", 1001), ("petrova", 1002), ("sidorov", 1003), ("kuznetsova", 1004),
    ("admin", 1100), ("backup", 998), ("postgres", 113), ("www-data", 33), ("nobody", 65534),
    ("smirnov.a", 10231), ("volkova.e", 10347), ("operator", 11),
)
PROGRAMS = {
    "audit": ("auditd", "nerit-auditd"),
    "auth": ("sshd", "login", "sudo", "su", "polkitd"),
    "mac": ("nerit-macd", "kernel"),
    "integrity": ("nerit-icd", "aide"),
    "kernel": ("kernel",),
    "net": ("nerit-fw", "NetworkManager", "kernel"),
}
# (type_ru, type_en, name_ru, name_en, subject kind, object kind) per source.
EVENTS = {
    "audit": (
        ("Аудит", "Audit", "Запуск службы аудита", "Audit service started", "proc", "none"),
        ("Аудит", "Audit", "Остановка службы аудита", "Audit service stopped", "proc", "none"),
        ("Аудит", "Audit", "Изменение правил аудита", "Audit rules changed", "user", "file"),
        ("Аудит", "Audit", "Переполнение журнала аудита", "Audit log overflow", "proc", "file"),
        ("Учётные записи", "Accounts", "Создание учётной записи", "Account created", "user", "user"),
        ("Учётные записи", "Accounts", "Удаление учётной записи", "Account deleted", "user", "user"),
        ("Учётные записи", "Accounts", "Изменение пароля", "Password changed", "user", "user"),
        ("Учётные записи", "Accounts", "Блокировка учётной записи", "Account locked", "proc", "user"),
        ("Файлы", "Files", "Открытие файла", "File opened", "user", "file"),
        ("Файлы", "Files", "Удаление файла", "File deleted", "user", "file"),
        ("Файлы", "Files", "Изменение прав доступа", "Permissions changed", "user", "file"),
        ("Процессы", "Processes", "Запуск программы", "Program executed", "user", "exe"),
    ),
    "auth": (
        ("Вход", "Login", "Успешный вход в систему", "Login succeeded", "user", "tty"),
        ("Вход", "Login", "Неудачная попытка входа", "Login failed", "user", "tty"),
        ("Вход", "Login", "Выход из системы", "Logout", "user", "tty"),
        ("Вход", "Login", "Превышено число попыток входа", "Too many login attempts", "user", "addr"),
        ("Привилегии", "Privileges", "Команда от имени root",
         "Command run as root", "user", "exe"),
        ("Привилегии", "Privileges", "Отказ в повышении привилегий",
         "Privilege escalation denied", "user", "exe"),
        ("Сеансы", "Sessions", "Открытие сеанса", "Session opened", "user", "tty"),
        ("Сеансы", "Sessions", "Закрытие сеанса", "Session closed", "user", "tty"),
        ("Удалённый доступ", "Remote", "Подключение по SSH", "SSH connection accepted", "user", "addr"),
        ("Удалённый доступ", "Remote", "Отклонено подключение по SSH", "SSH connection refused", "proc", "addr"),
    ),
    "mac": (
        ("Мандатный доступ", "MAC", "Отказ по уровню конфиденциальности",
         "Denied by confidentiality level", "user", "file"),
        ("Мандатный доступ", "MAC", "Изменение мандатной метки",
         "Mandatory label changed", "user", "file"),
        ("Мандатный доступ", "MAC", "Нарушение мандатной политики",
         "Mandatory policy violation", "proc", "file"),
        ("МКЦ", "MIC", "Отказ в записи по уровню целостности",
         "Write denied by integrity level", "proc", "file"),
        ("МКЦ", "MIC", "Понижен уровень целостности",
         "Integrity level lowered", "proc", "exe"),
        ("Политика", "Policy", "Загрузка политики безопасности",
         "Security policy loaded", "user", "none"),
    ),
    "integrity": (
        ("Целостность", "Integrity", "Проверка целостности завершена",
         "Integrity check completed", "proc", "none"),
        ("Целостность", "Integrity", "Нарушение целостности файла",
         "File integrity violated", "proc", "file"),
        ("Целостность", "Integrity", "Обновлены контрольные суммы",
         "Checksums updated", "user", "file"),
        ("ЗПС", "Closed environment", "Запуск без подписи запрещён",
         "Unsigned executable blocked", "user", "exe"),
        ("ЗПС", "Closed environment", "Неверная цифровая подпись",
         "Invalid digital signature", "proc", "exe"),
        ("ЗПС", "Closed environment", "Загрузка ключа проверки подписи",
         "Signature key loaded", "proc", "file"),
    ),
    "kernel": (
        ("Ядро", "Kernel", "Загрузка модуля ядра", "Kernel module loaded", "proc", "module"),
        ("Ядро", "Kernel", "Выгрузка модуля ядра", "Kernel module unloaded", "proc", "module"),
        ("Ядро", "Kernel", "Отказ в загрузке модуля ядра", "Kernel module load denied", "proc", "module"),
        ("Устройства", "Devices", "Подключение съёмного носителя", "Removable device attached", "proc", "dev"),
        ("Устройства", "Devices", "Отключение съёмного носителя", "Removable device detached", "proc", "dev"),
        ("Устройства", "Devices", "Запрещено подключение устройства", "Device attachment denied", "proc", "dev"),
        ("Память", "Memory", "Нехватка памяти, процесс завершён", "Out of memory, process killed", "proc", "exe"),
    ),
    "net": (
        ("МЭ", "Firewall", "Пакет отброшен", "Packet dropped", "proc", "addr"),
        ("МЭ", "Firewall", "Соединение разрешено", "Connection allowed", "proc", "addr"),
        ("МЭ", "Firewall", "Изменение правил фильтрации", "Filter rules changed", "user", "none"),
        ("Сеть", "Network", "Интерфейс поднят", "Interface up", "proc", "iface"),
        ("Сеть", "Network", "Интерфейс опущен", "Interface down", "proc", "iface"),
        ("Сеть", "Network", "Сканирование портов", "Port scan detected", "proc", "addr"),
    ),
}

FILES = (
    "/etc/shadow", "/etc/passwd", "/etc/sudoers", "/etc/ssh/sshd_config", "/var/lib/pgsql/data/pg_hba.conf",
    "/home/ivanov/Документы/отчёт_квартал.odt", "/home/petrova/Загрузки/договор №17.pdf",
    "/srv/share/Бухгалтерия/зарплата.ods", "/usr/bin/passwd", "/opt/app/bin/server", "/var/log/nerit/events",
    "/etc/nerit/policy.conf", "/boot/vmlinuz-6.1.0-21-amd64", "/lib/modules/6.1.0-21-amd64/modules.dep",
)
EXES = ("/usr/bin/bash", "/usr/bin/sudo", "/usr/bin/vim", "/usr/bin/python3.11", "/opt/app/bin/server",
        "/tmp/.x/payload", "/usr/sbin/useradd", "/usr/bin/scp", "/usr/lib/firefox/firefox")
TTYS = ("pts/0", "pts/1", "pts/3", "tty1", "ssh:notty", ":0")
MODULES = ("usb_storage", "nf_tables", "vboxdrv", "cdrom", "bluetooth", "wireguard")
DEVICES = ("/dev/sdb1", "/dev/sdc", "/dev/sr0", "usb 1-1.2", "usb 2-4")
IFACES = ("eth0", "eth1", "ens18", "wg0", "bond0")
ADDRS = ("10.12.0.15", "10.12.4.201", "192.168.77.3", "172.16.9.44", "203.0.113.77", "198.51.100.23")


@dataclass(frozen=True)
class Template:
    """One event shape: a UTF-8 JSON line with %(ts)s, %(pid)d and %(n)d slots for bytes formatting."""

    data: bytes
    uses_isodate: bool


def _describe(kind: str, rng: random.Random, user: str) -> str:
    # "{n}" and "{pid}" stay slots so that every line of one template gets its own numbers.
    if kind == "user":
        return user
    if kind == "proc":
        return "pid={pid}"
    if kind == "file":
        return rng.choice(FILES)
    if kind == "exe":
        return rng.choice(EXES)
    if kind == "tty":
        return rng.choice(TTYS)
    if kind == "addr":
        return f"{rng.choice(ADDRS)}:{{n}}"
    if kind == "module":
        return rng.choice(MODULES)
    if kind == "dev":
        return rng.choice(DEVICES)
    if kind == "iface":
        return rng.choice(IFACES)
    return "-"


def _slot_text(described: str) -> str:
    """A described subject or object as JSON string content, its slots kept."""
    body = json.dumps(described, ensure_ascii=False)[1:-1]
    return body.replace("%", "%%").replace("{n}", "%(n)d").replace("{pid}", "%(pid)d")


def _pick_priority(rng: random.Random) -> str:
    names = list(PRIORITY_WEIGHTS)
    return rng.choices(names, weights=[PRIORITY_WEIGHTS[n] for n in names])[0]


def build_templates(rng: random.Random, count: int) -> list[Template]:
    """Distinct event shapes; the priority of each follows the skew of PRIORITY_WEIGHTS."""
    sources = list(EVENTS)
    templates = []
    for _ in range(count):
        source = rng.choice(sources)
        type_ru, type_en, name_ru, name_en, subj_kind, obj_kind = rng.choice(EVENTS[source])
        user, uid = rng.choice(USERS)
        # Most message keys are "nerit-<source>"; a few carry a sub-component after the source.
        msg_key = f"nerit-{source}" if rng.random() < 0.9 else f"nerit-{source}-{rng.choice(('core', 'pam', 'ext'))}"
        fields = {
            "type_ru": type_ru, "type_en": type_en, "name_ru": name_ru, "name_en": name_en,
            "subject": "\0S\0", "object": "\0O\0",
        }
        if rng.random() < 0.05:
            fields["result"] = rng.choice(("success", "failure", "denied"))
        host = rng.choice(HOSTS)
        priority = _pick_priority(rng)
        msg = {msg_key: fields}
        shape = rng.random()
        if shape < 0.06:
            # Older writers put a "DATE" without fractions of a second.
            record = {"DATE": "\0T\0", "HOST": host, "PRIORITY": priority, "PID": "\0P\0", "UID": str(uid),
                      "MSG": msg}
        elif shape < 0.26:
            # Some writers name the program and put the date last, after the message block.
            record = {"PRIORITY": priority, "HOST": host, "PROGRAM": rng.choice(PROGRAMS[source]), "PID": "\0P\0",
                      "UID": str(uid), "MSG": msg, "ISODATE": "\0T\0"}
        else:
            record = {"ISODATE": "\0T\0", "HOST": host, "PRIORITY": priority, "PID": "\0P\0", "UID": str(uid),
                      "MSG": msg}
        text = json.dumps(record, separators=(",", ":"), ensure_ascii=False).replace("%", "%%")
        text = text.replace("\\u0000S\\u0000", _slot_text(_describe(subj_kind, rng, user)))
        text = text.replace("\\u0000O\\u0000", _slot_text(_describe(obj_kind, rng, user)))
        text = text.replace("\\u0000T\\u0000", "%(ts)s").replace("\\u0000P\\u0000", "%(pid)d")
        templates.append(Template(text.encode(), "ISODATE" in record))
    return templates


def _utc_offset_text(moment: float) -> str:
    offset = time.localtime(moment).tm_gmtoff
    sign = "+" if offset >= 0 else "-"
    hours, minutes = divmod(abs(offset) // 60, 60)
    return f"{sign}{hours:02d}:{minutes:02d}"


@dataclass(frozen=True)
class DayPlan:
    day: dt.date
    lines: int
    span_us: int  # the events of the day are spread over [midnight, midnight + span)
    offset: str


def plan_days(total_lines: int, days: int, rng: random.Random, now: dt.datetime) -> list[DayPlan]:
    """Line counts per day, oldest first: today holds about 3%, the rest share the remainder."""
    today = now.date()
    first = today - dt.timedelta(days=days - 1)
    day_list = [first + dt.timedelta(days=i) for i in range(days)]
    if days == 1:
        counts = [total_lines]
    else:
        today_lines = max(1, round(total_lines * 0.03))
        # Weekends are quieter; every day varies a little.
        weights = [(0.6 if d.weekday() >= 5 else 1.0) * rng.uniform(0.85, 1.15) for d in day_list[:-1]]
        scale = (total_lines - today_lines) / sum(weights)
        counts = [int(w * scale) for w in weights]
        counts.append(total_lines - sum(counts))
    plans = []
    midnight_today = dt.datetime.combine(today, dt.time.min)
    for day, lines in zip(day_list, counts):
        if day == today:
            span = max(1, int((now - midnight_today).total_seconds() * 1_000_000))
        else:
            span = 86_400_000_000
        noon = time.mktime(dt.datetime.combine(day, dt.time(12)).timetuple())
        plans.append(DayPlan(day, lines, span, _utc_offset_text(noon)))
    return plans


def malformed_line(good_line: bytes, rng: random.Random) -> bytes:
    """A line that does not decode, as a writer cut off in mid-line or a stray program leaves it.

    Always valid UTF-8: a line the text decoder rejects would end a reading pass, not be skipped.
    """
    kind = rng.randrange(4)
    if kind == 0:
        text = good_line.decode()
        return text[: rng.randrange(10, len(text) - 2)].encode()
    if kind == 1:
        return b"kernel: audit: backlog limit exceeded, dropping records"
    if kind == 2:
        return b""
    return good_line + b",}"


def line_stream(plans: list[DayPlan], templates: list[Template], rng: random.Random,
                malformed_every: int = 10_000) -> Iterator[bytes]:
    """Lines as UTF-8 without their line end, in time order."""
    rand = rng.random
    n_templates = len(templates)
    span_bad = 2 * malformed_every
    next_bad = 1 + int(rand() * span_bad)
    index = 0
    # Clock texts of every second of a day, built once: a line then costs one lookup.
    clock = [f"{h:02d}:{m:02d}:{s:02d}" for h in range(24) for m in range(60) for s in range(60)]
    for plan in plans:
        prefix = plan.day.isoformat() + "T"
        offset = plan.offset
        step = plan.span_us / max(plan.lines, 1)
        floor = 0  # no line of the day may be stamped earlier than the one before it
        for i in range(plan.lines):
            # One slot per line with a random moment inside it keeps the day in time order.
            micros = max(int((i + rand()) * step), floor)
            tmpl = templates[int(rand() * n_templates)]
            if not tmpl.uses_isodate:
                # "DATE" has whole seconds only: round up so that it does not go back in time.
                whole = -(-micros // 1_000_000)
                while whole >= 86_400 and not tmpl.uses_isodate:
                    tmpl = templates[int(rand() * n_templates)]
                if not tmpl.uses_isodate:
                    floor = whole * 1_000_000
                    ts = f"{prefix}{clock[whole]}{offset}".encode()
            if tmpl.uses_isodate:
                second, frac = divmod(micros, 1_000_000)
                ts = f"{prefix}{clock[second]}.{frac:06d}{offset}".encode()
            line = tmpl.data % {b"ts": ts, b"pid": 300 + int(rand() * 64700), b"n": 1 + int(rand() * 9_999_999)}
            index += 1
            if index == next_bad:
                line = malformed_line(line, rng)
                next_bad = index + 1 + int(rand() * span_bad)
            yield line


def average_line_bytes(templates: list[Template], rng: random.Random, samples: int = 20_000) -> float:
    plan = [DayPlan(dt.date(2026, 1, 1), samples, 86_400_000_000, "+03:00")]
    total = sum(len(line) + 1 for line in line_stream(plan, templates, rng, malformed_every=10**12))
    return total / samples


def generate(out: BinaryIO, size: int, days: int, seed: int, now: dt.datetime | None = None,
             progress: Callable[[int], None] | None = None, template_count: int = 4000) -> dict:
    """Writes about `size` bytes of log to `out` and returns what was written."""
    if days < 1:
        raise ValueError("days must be at least 1")
    rng = random.Random(seed)
    now = now or dt.datetime.now()
    templates = build_templates(rng, template_count)
    avg = average_line_bytes(templates, random.Random(seed + 1))
    total_lines = max(1, math.ceil(size / avg))
    plans = plan_days(total_lines, days, rng, now)
    written = 0
    lines = 0
    chunk: list[bytes] = []
    for line in line_stream(plans, templates, rng):
        chunk.append(line)
        if len(chunk) == 20_000:
            chunk.append(b"")
            data = b"\n".join(chunk)
            out.write(data)
            written += len(data)
            lines += len(chunk) - 1
            chunk.clear()
            if progress:
                progress(written)
    if chunk:
        chunk.append(b"")
        data = b"\n".join(chunk)
        out.write(data)
        written += len(data)
        lines += len(chunk) - 1
    return {
        "bytes": written,
        "lines": lines,
        "templates": len(templates),
        "first_day": plans[0].day.isoformat(),
        "last_day": plans[-1].day.isoformat(),
        "last_day_lines": plans[-1].lines,
    }
