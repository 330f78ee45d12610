"""Hostile file names through the running server, read and write, confinement off and on: `..`
chains with either separator, absolute paths, doubled separators, names of 200 to 600 bytes,
control and high-bit bytes, a NUL inside the name, /proc and /dev, links in the served
directory that lead out of it (to a file, through a directory) and a link swapped between the
check and the open. With confinement on, nothing outside the served directory is ever read
(judged on the wire) or written (judged on disk); with it off, the server serves what its
user may reach, as specified, but never a device. No name forges a line of the transfer log.
"""

from __future__ import annotations

import hashlib
import os
import random
import re
import shutil
import threading
import time
from pathlib import Path

import pytest

from tftp_wire import TftpError, TftpTimeout

INSIDE = b"inside " * 100
SECRET = b"secret " * 100
UPLOAD = b"hostile upload " * 50  # two blocks, nothing netascii would change

# What a request meets: the content of a file inside the served directory (IN, relative to
# it) or outside it (OUT, relative to the server's base directory), an ERROR code, the
# server's own environment, or no answer at all.
IN, OUT, ERR, ENV, SILENT = "in", "out", "err", "env", "silent"
DENIED = (ERR, 2)
NOT_FOUND = (ERR, 1)
REFUSED = (ERR, None)  # an ERROR of any code


def escape(target):
    """A name that reaches `target` outside: served without confinement, refused with it.
    Read off, read on, write off, write on."""
    return (OUT, target), DENIED, (OUT, target), DENIED


def inside(target):
    return ((IN, target),) * 4


SILENT_ALL = ((SILENT,),) * 4

# (id, name, what a read and a write meet with confinement off and on). {S} and {O} stand
# for the served and the outside directory's full paths, {Ob} for the latter written with
# backslashes.
ROWS = [
    ("dotdot slash", "../outside/secret.bin", *escape("outside/secret.bin")),
    ("dotdot backslash", "..\\outside\\secret.bin", *escape("outside/secret.bin")),
    ("dotdot both", "sub\\..\\../outside/secret.bin", *escape("outside/secret.bin")),
    ("dotdot past the root", "../" * 40 + "{O}/secret.bin", *escape("outside/secret.bin")),
    ("absolute", "{O}/secret.bin", *escape("outside/secret.bin")),
    ("absolute backslash", "{Ob}\\secret.bin", *escape("outside/secret.bin")),
    ("absolute new file", "{O}/new.bin", NOT_FOUND, DENIED, (OUT, "outside/new.bin"), DENIED),
    ("prefix sibling", "../served2/secret.bin", *escape("served2/secret.bin")),
    ("absolute inside", "{S}/inside.bin", *inside("inside.bin")),
    ("doubled slashes", "sub//deeper.bin", *inside("sub/deeper.bin")),
    ("doubled backslashes", "sub\\\\deeper.bin", *inside("sub/deeper.bin")),
    ("doubled to outside", "/{O}//secret.bin", *escape("outside/secret.bin")),
    ("name of 200", "n" * 200, NOT_FOUND, NOT_FOUND, (IN, "n" * 200), (IN, "n" * 200)),
    ("name of 255", "n" * 255, *SILENT_ALL),  # longer than a full path may be
    ("name of 300", "n" * 300, *SILENT_ALL),  # longer than a request's name may be
    ("name of 600", "n" * 600, *SILENT_ALL),  # longer than a request
    # (The server creates what it is asked for under the lower-cased name.)
    ("control bytes", "ctl\x01\x1b[2j.bin", NOT_FOUND, NOT_FOUND,
     (IN, "ctl\x01\x1b[2j.bin"), (IN, "ctl\x01\x1b[2j.bin")),
    ("log line break", "x\r\ne       forged line", NOT_FOUND, NOT_FOUND,
     (IN, "x\r\ne       forged line"), (IN, "x\r\ne       forged line")),
    ("high-bit bytes", b"high\xff\xe9.bin", *inside(b"high\xff\xe9.bin")),
    # The name ends at the NUL; what follows is the mode, which makes the transfer netascii.
    ("NUL inside", b"inside.bin\0../outside/secret.bin", *inside("inside.bin")),
    ("proc environ", "/proc/self/environ", (ENV,), DENIED, REFUSED, DENIED),
    ("proc root", "/proc/self/root{O}/secret.bin", *escape("outside/secret.bin")),
    ("proc cwd", "/proc/self/cwd/inside.bin", (IN, "inside.bin"), DENIED,
     (IN, "inside.bin"), DENIED),
    ("device", "/dev/zero", DENIED, DENIED, DENIED, DENIED),
    ("device null", "/dev/null", DENIED, DENIED, DENIED, DENIED),
    ("link to a file outside", "out-link", *escape("outside/secret.bin")),
    ("relative link outside", "rel-out-link", *escape("outside/secret.bin")),
    ("directory link outside", "dir-link/secret.bin", *escape("outside/secret.bin")),
    ("directory link inside", "in-dir-link/deeper.bin", *inside("sub/deeper.bin")),
]


def as_bytes(text) -> bytes:
    return text if isinstance(text, bytes) else text.encode("latin-1")


def build_tree(server) -> dict:
    """The served directory with its links and, beside it, what must stay out of reach."""
    base = server.base
    served = server.served
    for directory in (base / "outside", base / "served2"):
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir()
        (directory / "secret.bin").write_bytes(SECRET)
    # A write of the row before may still be ending: its replacement file can go meanwhile.
    for entry in served.iterdir():
        if entry.name != "quorld.log":
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry, ignore_errors=True)
            else:
                entry.unlink(missing_ok=True)
    (served / "sub").mkdir()
    (served / "inside.bin").write_bytes(INSIDE)
    (served / "sub/deeper.bin").write_bytes(INSIDE)
    (served / os.fsdecode(b"high\xff\xe9.bin")).write_bytes(INSIDE)
    (served / "out-link").symlink_to(base / "outside/secret.bin")
    (served / "rel-out-link").symlink_to("../outside/secret.bin")
    (served / "dir-link").symlink_to("../outside")
    (served / "in-dir-link").symlink_to("sub")
    outside = str(base / "outside")
    return {"S": str(served), "O": outside, "Ob": outside.replace("/", "\\")}


def snapshot(base: Path) -> dict:
    """Every entry under `base` but the system root and the client's scratch directory:
    content digests of files, targets of links; the transfer log left out."""
    state = {}
    for path in sorted(base.rglob("*")):
        relative = path.relative_to(base)
        if relative.parts[0] in ("root", "work") or path.name == "quorld.log":
            continue
        if path.is_symlink():
            state[relative] = ("link", os.readlink(path))
        elif path.is_file():
            state[relative] = ("file", hashlib.sha256(path.read_bytes()).hexdigest())
        else:
            state[relative] = ("dir",)
    return state


def attempt(server, direction: str, name: bytes, wait: float = 10.0):
    """One transfer with a client that waits `wait` seconds for each answer; answers the bytes
    read, "stored", the ERROR code, or SILENT."""
    client = server.client(timeout=wait, retries=0)
    try:
        if direction == "read":
            return client.get(name)
        client.put(name, UPLOAD, mode="netascii" if b"\0" in name else "octet")
        return "stored"
    except TftpError as failure:
        return failure.code
    except TftpTimeout:
        return SILENT


def check(server, direction, expected, got, before, after) -> str | None:
    """Why the outcome `got` is not `expected` (None when it is)."""
    kind = expected[0]
    changed = {path for path in set(before) | set(after) if before.get(path) != after.get(path)}
    if kind == ERR or kind == SILENT:
        want = expected[1] if kind == ERR else SILENT
        if got != want and not (want is None and isinstance(got, int)):
            return f"expected {expected}, got {got!r:.60}"
        return f"changed {changed}" if changed else None
    if kind == ENV:
        return None if isinstance(got, bytes) and b"QUORIL_ROOT=" in got else f"got {got!r:.60}"
    path = (server.served if kind == IN else server.base) / os.fsdecode(as_bytes(expected[1]))
    if direction == "read":
        want = path.read_bytes()
        if got != want:
            return f"expected the content of {expected}, got {got!r:.60}"
        return f"changed {changed}" if changed else None
    if got != "stored" or path.read_bytes() != UPLOAD:
        return f"expected an upload to {expected}, got {got!r:.60}"
    return f"changed besides the target: {changed}" if changed - {path.relative_to(server.base)} else None


@pytest.mark.parametrize("limit", [0, 1], ids=["confinement off", "confinement on"])
@pytest.mark.parametrize("direction", ["read", "write"])
def test_hostile_names(server_factory, direction, limit):
    # OverwriteExisting 2: a write replaces what it reaches, the worst a name could do.
    # Timeout 10: on a loaded machine (sanitizers) no request waits out its Timeout unread.
    server = server_factory(limit=limit, overwrite=2, logging=1, timeout=10)
    column = {("read", 0): 0, ("read", 1): 1, ("write", 0): 2, ("write", 1): 3}[direction, limit]
    failures = []
    for row_id, name, *expectations in ROWS:
        places = build_tree(server)
        raw = as_bytes(name)
        for key, value in places.items():
            raw = raw.replace(b"{" + key.encode() + b"}", value.encode())
        before = snapshot(server.base)
        # Silence is waited for 1 s; an answer as long as a loaded machine may take for it.
        got = attempt(server, direction, raw, 1.0 if expectations[column][0] == SILENT else 10.0)
        problem = check(server, direction, expectations[column], got, before,
                        snapshot(server.base))
        if problem:
            failures.append(f"{row_id}: {problem}")
    assert not failures, "\n".join(failures)

    # Whatever the names held, every line of the log is one transfer's, and starts as one.
    log = server.log_path.read_bytes().split(b"\r\n")
    lines = [line for line in log if line and b"--- Quoril service" not in line
             and not line.startswith(b"Status ")]
    assert lines and all(re.match(rb"[ E]       \d\d/\d\d/\d\d   ", line) for line in lines), log


def swap_forever(served: Path, outside: Path, stop: threading.Event) -> None:
    """As fast as it can, makes `race` a file inside and then a link to the secret outside,
    and `racedir` a link to a directory inside and then to the outside directory; each
    entry is made afresh and renamed into place, so that an upload that replaced one is
    replaced in turn."""
    while not stop.is_set():
        for name, inside_entry, outside_target in (
            ("race", None, outside / "secret.bin"),
            ("racedir", "racedir.dir", outside),
        ):
            fresh = served / (name + ".new")
            if inside_entry is None:
                fresh.write_bytes(INSIDE)
            else:
                fresh.symlink_to(inside_entry)
            os.replace(fresh, served / name)
            time.sleep(random.uniform(0, 0.002))
            fresh.symlink_to(outside_target)
            os.replace(fresh, served / name)
            time.sleep(random.uniform(0, 0.002))


@pytest.mark.parametrize("direction", ["read", "write"])
def test_a_link_swapped_between_check_and_open_never_leads_out(server_factory, direction):
    """The opened descriptor is judged, not the name: whenever the swap falls between the
    server's look at the name and its open, the confinement still holds."""
    server = server_factory(limit=1, overwrite=2)
    build_tree(server)
    served = server.served
    outside = server.base / "outside"
    (served / "racedir.dir").mkdir()
    (served / "racedir.dir/secret.bin").write_bytes(INSIDE)
    (served / "race").write_bytes(INSIDE)
    (served / "racedir").symlink_to("racedir.dir")
    outside_before = snapshot(outside)

    stop = threading.Event()
    swapper = threading.Thread(target=swap_forever, args=(served, outside, stop))
    swapper.start()
    outcomes = []
    try:
        for number in range(200):
            outcomes.append(attempt(server, direction, b"race" if number % 2 else b"racedir/secret.bin"))
    finally:
        stop.set()
        swapper.join()

    assert SECRET not in outcomes
    assert all(outcome in (INSIDE, "stored", 2) for outcome in outcomes), outcomes
    assert snapshot(outside) == outside_before
    # The race ran: the names led in and out.
    assert INSIDE in outcomes or "stored" in outcomes, outcomes
    assert 2 in outcomes, outcomes
