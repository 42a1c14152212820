#!/usr/bin/env python3
"""Message compiler: a message text file (.mc) to a message table and a header.

    mc.py SOURCE.mc HEADER.h TABLE.cpp

The header defines each message's symbolic name as its identifier, as the
Windows message compiler writes it. The table source defines the compiled
message table as exported data in the platform's resource form (see
platform/module.h): the bytes as `torva_resource_11_1` (RT_MESSAGETABLE, id 1)
and their count as `torva_resource_11_1_size`.

The table has the published layout: a count of blocks; per block the lowest
and highest identifier of a run of consecutive identifiers (ordered as
unsigned numbers) and the offset of its first entry; then the entries, each a
16-bit length (header and text), 16-bit flags (0: text in the system code
page) and the text, every line of it ending in CR LF, NUL-terminated and
padded with NULs to a multiple of four bytes.
"""
import re
import struct
import sys

DEFAULT_SEVERITIES = {"Success": 0, "Informational": 1, "Warning": 2, "Error": 3}
DEFAULT_FACILITIES = {"System": 0x0FF, "Application": 0xFFF}


class McError(Exception):
    pass


def parse_names(value):
    """"(Name=0x1:SYMBOL Name2=0x2)" to {Name: number}."""
    names = {}
    for name, number in re.findall(r"(\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+)", value):
        names[name] = int(number, 0)
    return names


def parse(text):
    """Returns (comment lines, messages); a message is a dict."""
    severities = dict(DEFAULT_SEVERITIES)
    facilities = dict(DEFAULT_FACILITIES)
    languages = set()
    typedef = ""
    comments = []
    messages = []
    current = None
    last_code = 0
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        raw = lines[i]
        line = raw.strip()
        i += 1
        if line.startswith(";"):
            comments.append(line[1:].strip())  # copied into the header as written
            continue
        if not line:
            continue
        m = re.match(r"(\w+)\s*=\s*(.*)$", line)
        if not m:
            raise McError(f"line {i}: cannot read {raw!r}")
        key, value = m.group(1), m.group(2).strip()
        if value.startswith("(") and ")" not in value:
            while i < len(lines) and ")" not in value:
                value += " " + lines[i].strip()
                i += 1
        if key == "MessageIdTypedef":
            typedef = value
        elif key == "SeverityNames":
            severities.update(parse_names(value))
        elif key == "FacilityNames":
            facilities.update(parse_names(value))
        elif key == "LanguageNames":
            languages.update(parse_names(value))
        elif key == "OutputBase":
            pass
        elif key == "MessageId":
            current = {"code": int(value, 0) if value else last_code + 1,
                       "severity": 0, "facility": 0, "symbol": None}
            last_code = current["code"]
            messages.append(current)
        elif current is None:
            raise McError(f"line {i}: {key} before any MessageId")
        elif key == "Severity":
            if value not in severities:
                raise McError(f"line {i}: unknown severity {value}")
            current["severity"] = severities[value]
        elif key == "Facility":
            if value not in facilities:
                raise McError(f"line {i}: unknown facility {value}")
            current["facility"] = facilities[value]
        elif key == "SymbolicName":
            current["symbol"] = value
        elif key == "Language":
            if languages and value not in languages:
                raise McError(f"line {i}: unknown language {value}")
            body = []
            while i < len(lines) and lines[i].rstrip("\r") != ".":
                body.append(lines[i].rstrip("\r"))
                i += 1
            if i >= len(lines):
                raise McError(f"message {current['code']}: text without its closing '.'")
            i += 1
            current["text"] = "".join(b + "\r\n" for b in body)
        else:
            raise McError(f"line {i}: unknown keyword {key}")
    for msg in messages:
        if "text" not in msg:
            raise McError(f"message {msg['code']}: no text")
        if not 0 <= msg["code"] <= 0xFFFF:
            raise McError(f"message {msg['code']}: code out of range")
        msg["id"] = (msg["severity"] << 30) | (msg["facility"] << 16) | msg["code"]
    ids = [m["id"] for m in messages]
    if len(set(ids)) != len(ids):
        raise McError("two messages with one identifier")
    return typedef or "DWORD", comments, messages


def entry(text):
    data = text.encode("latin-1") + b"\0"
    data += b"\0" * (-len(data) % 4)
    return struct.pack("<HH", 4 + len(data), 0) + data


def table(messages):
    ordered = sorted(messages, key=lambda m: m["id"])
    blocks = []
    for m in ordered:
        if blocks and blocks[-1][-1]["id"] + 1 == m["id"]:
            blocks[-1].append(m)
        else:
            blocks.append([m])
    offset = 4 + 12 * len(blocks)
    head = struct.pack("<I", len(blocks))
    body = b""
    for block in blocks:
        head += struct.pack("<III", block[0]["id"], block[-1]["id"], offset + len(body))
        for m in block:
            body += entry(m["text"])
    return head + body


def header(typedef, comments, messages):
    out = ["// Generated by tvevents/mc.py from tvevents.mc; do not edit.", "#pragma once", ""]
    out += comments
    for m in messages:
        out += ["", "//", f"// MessageId: {m['symbol']}", "//", "// MessageText:", "//"]
        out += ["// " + line for line in m["text"].split("\r\n")[:-1]]
        out += ["//", f"#define {m['symbol']} (({typedef})0x{m['id']:08X}L)"]
    return "\n".join(out) + "\n"


def source(data):
    rows = []
    for i in range(0, len(data), 12):
        rows.append("    " + ", ".join(f"0x{b:02x}" for b in data[i:i + 12]) + ",")
    return "\n".join([
        "// Generated by tvevents/mc.py from tvevents.mc; do not edit.",
        "// The message table, exported as the module's RT_MESSAGETABLE resource 1.",
        "#include <cstdint>",
        "",
        'extern "C" {',
        '__attribute__((visibility("default"))) extern const unsigned char torva_resource_11_1[] = {',
        *rows,
        "};",
        '__attribute__((visibility("default"))) extern const uint32_t torva_resource_11_1_size =',
        f"    {len(data)};",
        "}",
        "",
    ])


def write_if_changed(path, text):
    try:
        with open(path, encoding="ascii") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(text)


def main(argv):
    if len(argv) != 4:
        print("usage: mc.py SOURCE.mc HEADER.h TABLE.cpp", file=sys.stderr)
        return 2
    with open(argv[1], encoding="latin-1") as f:
        try:
            typedef, comments, messages = parse(f.read())
        except McError as e:
            print(f"{argv[1]}: {e}", file=sys.stderr)
            return 1
    write_if_changed(argv[2], header(typedef, comments, messages))
    write_if_changed(argv[3], source(table(messages)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
