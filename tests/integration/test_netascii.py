"""Netascii transfers through the running server: the exact wire form of a file read, what
a written wire stream leaves on disk, and round trips with tftp-hpa's ascii mode."""

from __future__ import annotations

import random

import pytest

from clients import fetch, store

CR, LF, NUL = b"\r", b"\n", b"\0"


def to_wire(content: bytes) -> bytes:
    """File to wire: a LF without a CR before it becomes CR LF, a CR followed by anything but
    LF gets a NUL after it, a CR that ends the file stays alone."""
    out = bytearray()
    for i, byte in enumerate(content):
        if byte == 0x0A and (i == 0 or content[i - 1] != 0x0D):
            out += CR + LF
        elif byte == 0x0D and i + 1 < len(content) and content[i + 1] != 0x0A:
            out += CR + NUL
        else:
            out.append(byte)
    return bytes(out)


def from_wire(wire: bytes) -> bytes:
    """Wire to file: a NUL right after a CR is dropped; everything else is stored."""
    out = bytearray()
    previous = 0
    for byte in wire:
        if not (byte == 0 and previous == 0x0D):
            out.append(byte)
        previous = byte
    return bytes(out)


def hpa_local_to_wire(local: bytes) -> bytes:
    """What tftp-hpa's ascii mode sends for a local file: LF as CR LF, CR as CR NUL."""
    return local.replace(CR, CR + NUL).replace(LF, CR + LF)


def hpa_wire_to_local(wire: bytes) -> bytes:
    """What tftp-hpa's ascii mode stores from the wire: CR LF as LF, CR NUL as CR."""
    out = bytearray()
    i = 0
    while i < len(wire):
        if wire[i] == 0x0D and i + 1 < len(wire) and wire[i + 1] in (0x0A, 0x00):
            out.append(0x0A if wire[i + 1] == 0x0A else 0x0D)
            i += 2
        else:
            out.append(wire[i])
            i += 1
    return bytes(out)


def ordinary(count: int) -> bytes:
    return bytes(b"abcdefghij"[i % 10] for i in range(count))


def rich_text(size: int, seed: int) -> bytes:
    rng = random.Random(seed)
    return bytes(rng.choice(b"\r\n\0\r\nab ") for _ in range(size))


READS = [
    ("lone LF", b"A\nB", b"A\r\nB"),
    ("CR LF", b"A\r\nB", b"A\r\nB"),
    ("bare CR", b"A\rB", b"A\r\0B"),
    ("CR NUL", b"A\r\0B", b"A\r\0\0B"),
    ("CR CR", b"A\r\rB", b"A\r\0\r\0B"),
    ("leading LF", b"\nA", b"\r\nA"),
    ("CR at the end", b"A\r", b"A\r"),
    ("empty", b"", b""),
    ("exactly one block", ordinary(512), ordinary(512)),
    ("LF carried to block 2", ordinary(511) + b"\ny", ordinary(511) + b"\r\ny"),
    ("CR LF across blocks", ordinary(511) + b"\r\n", ordinary(511) + b"\r\n"),
    ("NUL carried to block 2", ordinary(511) + b"\ryz", ordinary(511) + b"\r\0yz"),
    ("CR NUL across blocks", ordinary(510) + b"\r\0z", ordinary(510) + b"\r\0\0z"),
    ("block ends CR NUL y", ordinary(509) + b"\ry", ordinary(509) + b"\r\0y"),
]


@pytest.mark.parametrize("content,wire", [r[1:] for r in READS], ids=[r[0] for r in READS])
def test_read_sends_the_netascii_form(server, content, wire):
    assert to_wire(content) == wire, "the reference itself"
    server.file("text.txt").write_bytes(content)
    assert server.get("text.txt", mode="netascii") == wire


def test_read_of_a_text_rich_in_line_ends_matches_the_rules(server):
    content = rich_text(20000, seed=3)
    server.file("rich.txt").write_bytes(content)
    assert server.get("rich.txt", mode="netascii") == to_wire(content)
    assert server.get("rich.txt", mode="octet") == content


WRITES = [
    ("CR NUL", b"A\r\0B", b"A\rB"),
    ("CR NUL NUL", b"\r\0\0", b"\r\0"),
    ("CR CR NUL", b"\r\r\0", b"\r\r"),
    ("CR NUL at the end", b"A\r\0", b"A\r"),
    ("CR LF and lone LF", b"A\r\nB\nC", b"A\r\nB\nC"),
    ("CR ends block 1, NUL starts block 2", ordinary(511) + b"\r" + b"\0z", ordinary(511) + b"\rz"),
]


@pytest.mark.parametrize("wire,stored", [r[1:] for r in WRITES], ids=[r[0] for r in WRITES])
def test_write_stores_the_local_form(server, wire, stored):
    assert from_wire(wire) == stored, "the reference itself"
    server.put("new.txt", wire, mode="netascii")
    assert server.file("new.txt").read_bytes() == stored


TEXTS = [
    ("lone LFs", b"one\ntwo\nthree\n"),
    ("CR LFs", b"one\r\ntwo\r\n"),
    ("bare CRs", b"one\rtwo\rthree"),
    ("NULs", b"a\0b\0\0c\n"),
    ("mixed, several blocks", rich_text(3000, seed=5) + b"end"),
]


@pytest.mark.parametrize("content", [t[1] for t in TEXTS], ids=[t[0] for t in TEXTS])
def test_tftp_hpa_ascii_get(server, content):
    server.file("text.txt").write_bytes(content)
    local = server.work / "got.txt"
    result = fetch(server, "tftp-hpa", "text.txt", local, mode="netascii")
    assert result.returncode == 0, result.stderr
    assert local.read_bytes() == hpa_wire_to_local(to_wire(content))


@pytest.mark.parametrize("content", [t[1] for t in TEXTS], ids=[t[0] for t in TEXTS])
def test_tftp_hpa_ascii_put_and_back(server, content):
    local = server.work / "local.txt"
    local.write_bytes(content)
    result = store(server, "tftp-hpa", local, "stored.txt", mode="netascii")
    assert result.returncode == 0, result.stderr
    stored = server.file("stored.txt").read_bytes()
    assert stored == from_wire(hpa_local_to_wire(content))
    # And back: the client ends up with the text it sent.
    back = server.work / "back.txt"
    result = fetch(server, "tftp-hpa", "stored.txt", back, mode="netascii")
    assert result.returncode == 0, result.stderr
    assert back.read_bytes() == content
