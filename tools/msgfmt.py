"""Compiles a gettext .po catalogue into a .mo file; enough of msgfmt for our own catalogue."""

import ast
import struct
import sys


def parse_po(text: str) -> dict:
    messages, key, current, field = {}, None, None, None
    for raw in text.splitlines() + [""]:
        line = raw.strip()
        if not line or line.startswith("#"):
            if key is not None and current is not None:
                messages[key] = current
            key = current = field = None
            continue
        if line.startswith("msgid "):
            field, key, current = "id", ast.literal_eval(line[6:]), None
        elif line.startswith("msgstr "):
            field, current = "str", ast.literal_eval(line[7:])
        elif line.startswith('"'):
            if field == "id":
                key += ast.literal_eval(line)
            else:
                current += ast.literal_eval(line)
    return messages


def write_mo(messages: dict, path: str) -> None:
    keys = sorted(messages)
    ids = [k.encode() for k in keys]
    strs = [messages[k].encode() for k in keys]
    header_size = 7 * 4
    table_size = len(keys) * 8
    ids_start = header_size + 2 * table_size
    offsets, data = [], b""
    for blob in ids:
        offsets.append((len(blob), ids_start + len(data)))
        data += blob + b"\0"
    strs_start = ids_start + len(data)
    str_offsets, str_data = [], b""
    for blob in strs:
        str_offsets.append((len(blob), strs_start + len(str_data)))
        str_data += blob + b"\0"
    out = struct.pack("<7I", 0x950412DE, 0, len(keys), header_size, header_size + table_size, 0, 0)
    out += b"".join(struct.pack("<2I", *o) for o in offsets)
    out += b"".join(struct.pack("<2I", *o) for o in str_offsets)
    with open(path, "wb") as f:
        f.write(out + data + str_data)


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as f:
        write_mo(parse_po(f.read()), sys.argv[2])
