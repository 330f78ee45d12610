#!/usr/bin/env python3
"""Turns a manual page's source into roff: @VERSION@, and the texts that live elsewhere.

Usage: generate_man.py SOURCE OUTPUT VERSION

@EVENTS@ becomes the event identifiers with their names and texts (resources/messages.mc);
@TFTP_ERRORS@ the outcome texts (resources/strings.rc) with the ERROR code that carries each
one (the mapping of tftp/protocol/packets.cpp), so that no text is written twice.
"""
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "resources"))

from generate_tables import parse_messages, parse_strings  # noqa: E402


def roff_text(text: str) -> str:
    """Plain text as a roff text line."""
    text = text.replace("\\", "\\e")
    return "\\&" + text if text.startswith((".", "'")) else text


def events() -> str:
    lines = []
    for identifier, name, body in parse_messages(os.path.join(REPO, "resources", "messages.mc")):
        text = body.decode("latin-1").strip()
        lines += [".TP", f".B 0x{identifier:08X} {name}", roff_text(text)]
    return "\n".join(lines)


def tftp_errors() -> str:
    codes = {}
    packets = open(os.path.join(REPO, "tftp", "protocol", "packets.cpp"), encoding="utf-8").read()
    for code, name in re.findall(r"\{\s*\w+,\s*(\d+),\s*(IDS_\w+)\s*\}", packets):
        codes[name] = int(code)
    ids_path = os.path.join(REPO, "resources", "string_ids.h")
    names = {}
    for line in open(ids_path, encoding="ascii"):
        found = re.match(r"\s*#define\s+(IDS_\w+)\s+(\d+)", line)
        if found:
            names[int(found.group(2))] = found.group(1)
    if not codes:
        raise SystemExit("tftp/protocol/packets.cpp: the error mapping was not found")
    lines = []
    for ident, text in parse_strings(os.path.join(REPO, "resources", "strings.rc"), ids_path):
        code = codes.get(names[ident])
        where = f"ERROR code {code}" if code is not None else "in the transfer log only"
        lines += [".TP", f'.B "{roff_text(text.decode("latin-1"))}"', where + "."]
    return "\n".join(lines)


def main() -> None:
    source, output, version = sys.argv[1:4]
    text = open(source, encoding="utf-8").read()
    text = text.replace("@VERSION@", version)
    if "@EVENTS@" in text:
        text = text.replace("@EVENTS@", events())
    if "@TFTP_ERRORS@" in text:
        text = text.replace("@TFTP_ERRORS@", tftp_errors())
    leftover = re.search(r"@[A-Z_]+@", text)
    if leftover:
        raise SystemExit(f"{source}: nothing fills in {leftover.group()}")
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    with open(output, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)


if __name__ == "__main__":
    main()
