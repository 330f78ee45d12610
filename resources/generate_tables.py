#!/usr/bin/env python3
"""Generates the C++ message and string tables from messages.mc and strings.rc.

Usage: generate_tables.py RESOURCE_DIR OUTPUT_DIR

The texts stay in the resource files alone; the POSIX build compiles these tables,
the Windows build compiles the same files into real resources.
"""
import os
import re
import sys

SEVERITIES = {"success": 0x0, "informational": 0x1, "warning": 0x2, "error": 0x3}


def c_string(data: bytes) -> str:
    out = []
    for b in data:
        ch = chr(b)
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif 0x20 <= b < 0x7F:
            out.append(ch)
        else:
            out.append("\\%03o" % b)
    return '"' + "".join(out) + '"'


def parse_messages(path):
    """Returns [(identifier, symbolic name, text bytes)] in file order."""
    raw = open(path, "rb").read()
    lines = raw.split(b"\n")
    messages = []
    header = {}
    i = 0
    while i < len(lines):
        line = lines[i].rstrip(b"\r").decode("ascii")
        stripped = line.strip()
        i += 1
        if not stripped or stripped.startswith(";"):
            continue
        m = re.match(r"(\w+)\s*=\s*(.*)$", stripped)
        if not m:
            raise SystemExit(f"{path}:{i}: cannot read line: {line!r}")
        key, value = m.group(1).lower(), m.group(2).strip()
        if key == "language":
            # The text runs up to a line holding a single period; the compiler keeps the line
            # ends of the file (CR LF here) inside the text.
            body = b""
            while i < len(lines) and lines[i].rstrip(b"\r") != b".":
                body += lines[i] + b"\n"
                i += 1
            if i >= len(lines):
                raise SystemExit(f"{path}: message {header.get('symbolicname')} has no end")
            i += 1
            mid = int(header["messageid"], 0)
            severity = SEVERITIES[header.get("severity", "success").lower()]
            identifier = (severity << 30) | mid
            messages.append((identifier, header["symbolicname"], body))
            header = {}
        elif key in ("messageid", "severity", "facility", "symbolicname"):
            header[key] = value
        elif value.startswith("(") and not value.endswith(")"):
            while i < len(lines) and not lines[i].strip().endswith(b")"):
                i += 1
            i += 1
    return messages


def parse_strings(rc_path, ids_path):
    ids = {}
    for line in open(ids_path, encoding="ascii"):
        m = re.match(r"\s*#define\s+(IDS_\w+)\s+(\d+)", line)
        if m:
            ids[m.group(1)] = int(m.group(2))
    table = []
    inside = False
    for number, line in enumerate(open(rc_path, encoding="ascii"), 1):
        s = line.strip()
        if s == "BEGIN":
            inside = True
        elif s == "END":
            inside = False
        elif inside and s:
            m = re.match(r'(\w+)\s+"((?:[^"\\]|\\.|"")*)"$', s)
            if not m:
                raise SystemExit(f"{rc_path}:{number}: cannot read line: {s!r}")
            name = m.group(1)
            ident = int(name) if name.isdigit() else ids[name]
            text = m.group(2).replace('""', '"')
            text = bytes(text, "ascii").decode("unicode_escape").encode("latin-1")
            table.append((ident, text))
    return table


def write_if_changed(path, content):
    if os.path.exists(path) and open(path, encoding="ascii").read() == content:
        return
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(content)


def main():
    resources, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    messages = parse_messages(os.path.join(resources, "messages.mc"))
    strings = parse_strings(os.path.join(resources, "strings.rc"),
                            os.path.join(resources, "string_ids.h"))

    h = ["// Generated from resources/messages.mc; do not edit.", "#pragma once", "",
         "#include <cstdint>", "", "namespace quoril {", ""]
    for identifier, name, _ in messages:
        h.append(f"inline constexpr std::uint32_t {name} = 0x{identifier:08X};")
    h += ["", "}  // namespace quoril", ""]
    write_if_changed(os.path.join(out_dir, "messages.h"), "\n".join(h))

    c = ["// Generated from resources/messages.mc; do not edit.",
         '#include "resources/message_table.h"', "", "namespace quoril {", "",
         "const MessageTableEntry kMessageTable[] = {"]
    for identifier, name, text in messages:
        c.append(f"    {{0x{identifier:08X}, {c_string(name.encode())}, {c_string(text)}}},")
    c += ["};", "", "const std::size_t kMessageTableSize = sizeof kMessageTable / sizeof kMessageTable[0];",
          "", "}  // namespace quoril", ""]
    write_if_changed(os.path.join(out_dir, "message_table.cpp"), "\n".join(c))

    s = ["// Generated from resources/strings.rc; do not edit.",
         '#include "resources/string_table.h"', "", "namespace quoril {", "",
         "const StringTableEntry kStringTable[] = {"]
    for ident, text in strings:
        s.append(f"    {{{ident}, {c_string(text)}}},")
    s += ["};", "", "const std::size_t kStringTableSize = sizeof kStringTable / sizeof kStringTable[0];",
          "", "}  // namespace quoril", ""]
    write_if_changed(os.path.join(out_dir, "string_table.cpp"), "\n".join(s))


if __name__ == "__main__":
    main()
