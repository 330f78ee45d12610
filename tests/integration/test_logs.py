"""The transfer log and the events file, as the running server leaves them: one fixed-column
line per handled request between the start and stop banners, and the events of a start and a
stop in the order they happened."""

from __future__ import annotations

import fcntl
import os
import re
import resource
import signal
import stat
import struct
import subprocess
import threading
import time

import pytest

from conftest import SANITIZE, payload
from tftp_wire import Client, rrq

HEADER = (
    b"Status  Date       Time       Client Address    Local Address    Mode      Operation   "
    b"Description                        File\r\n"
)
STAMP = rb"(\d\d/\d\d/\d\d)   (\d\d:\d\d:\d\d)"
START_BANNER = re.compile(STAMP + rb"   --- Quoril service started ---\r\n\r\n")
STOP_BANNER = re.compile(rb"\r\n" + STAMP + rb"   --- Quoril service stopped ---\r\n")
LINE = re.compile(rb"[^\r\n]{122}[^\r\n]*\r\n")

SERVICE_STARTED = "0x00000001"
SERVICE_STOPPED = "0x00000002"
INIT_FAILED = "0xC0000003"
LOG_FILE_ACCESS = "0xC0000004"
SOCKET_ALLOCATE = "0xC0000006"
SOCKET_BLOCK = "0xC000000C"


def expected_line(failed, client, local, mode, operation, description, path) -> bytes:
    """A transfer line without its date and time columns (8 to 29), which the caller checks
    on its own."""
    columns = [
        (0, b"E" if failed else b" "),
        (30, client.encode()),
        (48, local.encode()),
        (65, mode.encode()),
        (75, operation.encode()),
        (87, description.encode()[:35]),
    ]
    line = bytearray(b" " * 122)
    for start, text in columns:
        line[start : start + len(text)] = text
    return bytes(line) + path.encode() + b"\r\n"


def without_stamp(line: bytes) -> bytes:
    return line[:8] + b" " * 22 + line[30:]


def dates_now() -> set[bytes]:
    """The date text of now and of a moment ago, as the server formats it."""
    return {time.strftime("%m/%d/%y", time.localtime(time.time() - d)).encode() for d in (0, 1)}


def split_log(content: bytes, header: bool = True):
    """Splits one run of the server out of a log: start banner, header (in a new file),
    transfer lines, empty line and stop banner, each checked exactly. Answers the transfer
    lines and whatever follows the stop banner."""
    position = 0
    match = START_BANNER.match(content, position)
    assert match, content[:200]
    position = match.end()
    if header:
        assert content[position : position + len(HEADER)] == HEADER
        position += len(HEADER)
    lines = []
    while True:
        stop = STOP_BANNER.match(content, position)
        if stop:
            return lines, content[stop.end() :]
        line = LINE.match(content, position)
        assert line, f"not a whole line at {position}: {content[position:position + 200]!r}"
        lines.append(line.group())
        position = line.end()


def event_ids(server) -> list[str]:
    if not server.events_path.exists():
        return []
    ids = []
    for line in server.events_path.read_text(encoding="latin-1").splitlines():
        fields = line.split(" ")
        assert fields[2] == "Quoril" and fields[3] == "Information", line
        ids.append(fields[4])
    return ids


def wait_for_transfers(server, timeout: float = 30.0) -> None:
    """Waits until the server holds no socket but its port-69 ones."""
    deadline = time.monotonic() + timeout
    while any(port != 69 for _, port in server.udp_sockets()):
        assert time.monotonic() < deadline, server.udp_sockets()
        time.sleep(0.02)


def test_each_request_leaves_its_line(server_factory):
    server = server_factory(addresses=("127.0.0.2",), logging=1, timeout=1, max_retransmit=1)
    content = payload(1300, seed=4)
    server.file("boot.ini").write_bytes(content)
    served = str(server.directory).lower()
    before = dates_now()

    # Requests come from 127.0.0.2 to port 69 of 127.0.0.1, so that the two address columns
    # differ.
    client = server.endpoint("127.0.0.2")
    to = ("127.0.0.1", 69)
    assert Client(client, to).get("BOOT.INI") == content
    wait_for_transfers(server)  # its line first, whichever loop or thread serves the next

    missing = server.endpoint("127.0.0.2")
    missing.send(rrq("nosuch.txt", "netascii"), to)
    packet, peer = missing.expect()
    assert packet.code == 1
    server.wait_closed(peer)

    stranger = server.endpoint("127.0.0.2")
    stranger.send(b"\0\x06name\0octet\0", to)
    packet, peer = stranger.expect()
    assert packet.code == 4
    server.wait_closed(peer)

    # A read whose first block is never acknowledged: one resend, then the timeout.
    silent = server.endpoint("127.0.0.2")
    silent.send(rrq("boot.ini"), to)
    packet, peer = silent.expect()
    assert (packet.opcode, packet.block) == (3, 1)
    server.wait_closed(peer, timeout=10)

    wait_for_transfers(server)
    assert server.stop() == 0
    lines, rest = split_log(server.log_path.read_bytes())
    assert rest == b""
    assert [without_stamp(line) for line in lines] == [
        expected_line(False, "127.0.0.2", "127.0.0.1", "octet", "read",
                      "Transfer successful", served + "/boot.ini"),
        expected_line(True, "127.0.0.2", "127.0.0.1", "netascii", "read",
                      "File not found", served + "/nosuch.txt"),
        expected_line(True, "127.0.0.2", "127.0.0.1", "netascii", "write",
                      "Illegal opcode", ""),
        expected_line(True, "127.0.0.2", "127.0.0.1", "octet", "read",
                      "Timeout; max. retransmits reached", served + "/boot.ini"),
    ]
    for line in lines:
        assert re.fullmatch(rb"\d\d/\d\d/\d\d   ", line[8:19]) and line[8:16] in before | dates_now()
        assert re.fullmatch(rb"\d\d:\d\d:\d\d   ", line[19:30])
    assert len(lines[2]) == 124


def test_concurrent_transfers_leave_whole_lines(server_factory):
    server = server_factory(logging=1)
    count = 100
    for index in range(count):
        server.file(f"f{index:03d}.bin").write_bytes(payload(100 + index * 7, seed=index))

    failures = []

    def fetch(index):
        try:
            data = server.get(f"f{index:03d}.bin", timeout=10.0, retries=10)
            if data != payload(100 + index * 7, seed=index):
                failures.append(f"f{index:03d}.bin: wrong content")
        except Exception as failure:  # reported below, with its transfer
            failures.append(f"f{index:03d}.bin: {failure!r}")

    threads = [threading.Thread(target=fetch, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []

    wait_for_transfers(server)
    assert server.stop() == 0
    lines, rest = split_log(server.log_path.read_bytes())
    assert rest == b""
    assert len(lines) == count
    served = str(server.directory).lower()
    names = set()
    for line in lines:
        assert line[:8] == b" " * 8 and line[65:87] == b"octet     read        "
        assert line[87:122] == b"Transfer successful".ljust(35)
        path = line[122:-2].decode()
        assert path.startswith(served + "/f"), line
        names.add(path)
    assert len(names) == count


def test_a_later_start_appends_without_header(server_factory):
    first = server_factory(logging=1)
    assert first.stop() == 0
    once = first.log_path.read_bytes()
    second = server_factory(logging=1, default_directory=str(first.directory))
    assert second.log_path == first.log_path
    assert second.stop() == 0
    twice = second.log_path.read_bytes()
    assert twice.startswith(once)
    lines, rest = split_log(twice[len(once) :], header=False)
    assert lines == [] and rest == b""
    lines, rest = split_log(once)
    assert lines == [] and rest == b""


# What a package ships for logrotate: the log is copied and then emptied in place, and the
# server's next line goes to the start of the emptied file.
LOGROTATE_RULE = """{path} {{
    size 1
    rotate 4
    copytruncate
    missingok
    notifempty
    nocompress
}}
"""


def test_logrotate_with_copytruncate_while_the_server_runs(server_factory):
    server = server_factory(logging=1)
    server.file("one.bin").write_bytes(b"1")
    server.file("two.bin").write_bytes(b"2")
    rule = server.work / "quoril.logrotate"
    rule.write_text(LOGROTATE_RULE.format(path=server.log_path))
    assert server.get("one.bin") == b"1"
    wait_for_transfers(server)
    result = subprocess.run(["logrotate", "-s", str(server.work / "state"), str(rule)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert server.get("two.bin") == b"2"
    wait_for_transfers(server)
    assert server.stop() == 0

    rotated = server.log_path.with_name(server.log_path.name + ".1").read_bytes()
    lines, rest = split_log(rotated + b"\r\n01/01/00   00:00:00   --- Quoril service stopped ---\r\n")
    assert [line.endswith(b"one.bin\r\n") for line in lines] == [True] and rest == b""
    current = server.log_path.read_bytes()
    assert b"\0" not in current
    line, stop = current.split(b"\r\n", 1)
    assert LINE.fullmatch(line + b"\r\n") and line.endswith(b"two.bin")
    assert STOP_BANNER.fullmatch(stop)


def test_logging_off_writes_no_log(server):
    server.file("a.bin").write_bytes(b"a")
    assert server.get("a.bin") == b"a"
    wait_for_transfers(server)
    assert server.stop() == 0
    assert not server.log_path.exists()


def test_events_of_a_start_and_a_stop(server):
    assert event_ids(server) == [SERVICE_STARTED]
    assert server.stop() == 0
    assert event_ids(server) == [SERVICE_STARTED, SERVICE_STOPPED]


def test_events_of_a_start_whose_sockets_cannot_be_bound(server_factory):
    server = server_factory(start=False)
    holder = server.endpoint("127.0.0.1", 69)  # port 69 taken in the namespace
    server.start(wait_ready=False)
    assert server.wait_exit() == 0
    assert event_ids(server) == [SERVICE_STARTED, SOCKET_ALLOCATE, SERVICE_STOPPED]
    # The cause beside the event, whose text stays as it is.
    assert ("allocate a socket. (cannot bind UDP 127.0.0.1:69: Address already in use)\n"
            in server.events_path.read_text(encoding="latin-1"))
    holder.close()


def test_events_of_a_host_without_an_address(server_factory):
    # With loopback down the namespace has no address: nothing to wait on, and the service
    # stops after it started.
    server = server_factory(start=False)
    assert server.run(["ip", "link", "set", "lo", "down"]).returncode == 0
    server.start(wait_ready=False)
    assert server.wait_exit() == 0
    assert event_ids(server) == [SERVICE_STARTED, SOCKET_BLOCK, SERVICE_STOPPED]


def test_events_of_a_log_that_cannot_be_opened(server_factory):
    server = server_factory(start=False, logging=1, log_file="nodir\\quorld.log")
    server.start(wait_ready=False)
    assert server.wait_exit() == 0
    assert event_ids(server) == [LOG_FILE_ACCESS, INIT_FAILED, SERVICE_STOPPED]


def lowest_free_descriptor(pid: int) -> int:
    used = {int(fd) for fd in os.listdir(f"/proc/{pid}/fd")}
    return next(fd for fd in range(len(used) + 1) if fd not in used)


def test_a_lock_on_the_events_file_holds_nothing_up(server_factory):
    """Another program's flock on the events file: the start, a transfer that reports an event
    (with no descriptor to spare, as well) and the stop each go on at once."""
    # The sanitizers' own checks need descriptors of their own (a pipe to probe memory).
    exhaust = not SANITIZE
    server = server_factory(start=False, logging=1)
    server.events_path.parent.mkdir(parents=True)
    server.events_path.touch()
    holder = subprocess.Popen(["flock", "-s", server.events_path, "sh", "-c", "echo; sleep 30"],
                              stdout=subprocess.PIPE, start_new_session=True)
    try:
        assert holder.stdout.readline() == b"\n"  # the lock is held
        server.start(wait_ready=False)
        server.wait_ready(timeout=5)
        if exhaust:
            # Without a descriptor to spare the transfer cannot open its socket, and says so.
            pid = server.process.pid
            limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (lowest_free_descriptor(pid), limits[1]))
            server.endpoint().send(rrq("any.bin"), (server.address, 69))
            deadline = time.monotonic() + 5
            while SOCKET_ALLOCATE not in event_ids(server):
                assert time.monotonic() < deadline, event_ids(server)
                time.sleep(0.02)
            resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
        assert server.stop(timeout=5) == 0
        assert holder.poll() is None
    finally:
        os.killpg(holder.pid, signal.SIGKILL)
        holder.wait()
    if exhaust:
        assert event_ids(server) == [SERVICE_STARTED, SOCKET_ALLOCATE, SERVICE_STOPPED]
        lines, rest = split_log(server.log_path.read_bytes())
        assert len(lines) == 1 and lines[0].startswith(b"E") and rest == b""
    else:
        assert event_ids(server) == [SERVICE_STARTED, SERVICE_STOPPED]


def read_lock(path, kind):
    """Opens `path` for reading and takes a read lock of `kind` on it, as another program
    would; the lock lasts while the answered file stays open."""
    holder = open(path, "rb")
    if kind == "posix":
        fcntl.lockf(holder, fcntl.LOCK_SH)
    else:
        fcntl.fcntl(holder, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_RDLCK, 0, 0, 0, 0))
    return holder


@pytest.mark.parametrize("kind", ["posix", "ofd"])
def test_a_read_lock_on_the_log_does_not_stop_the_start(server_factory, kind):
    server = server_factory(start=False, logging=1)
    server.log_path.write_bytes(b"earlier\r\n")
    server.log_path.chmod(0o644)
    server.file("a.bin").write_bytes(b"a")
    with read_lock(server.log_path, kind):
        server.start(wait_ready=False)
        server.wait_ready(timeout=5)
        assert server.get("a.bin") == b"a"
        wait_for_transfers(server)
        assert server.stop() == 0
    assert event_ids(server) == [SERVICE_STARTED, SERVICE_STOPPED]
    content = server.log_path.read_bytes()
    assert content.startswith(b"earlier\r\n")
    lines, rest = split_log(content[len(b"earlier\r\n") :], header=False)
    assert len(lines) == 1 and b"Transfer successful" in lines[0] and rest == b""
    assert stat.S_IMODE(server.log_path.stat().st_mode) == 0o644  # an existing log keeps its mode


def test_files_of_the_service_are_its_own(server_factory):
    server = server_factory(logging=1)
    server.put("up.bin", b"up")
    wait_for_transfers(server)
    assert server.stop() == 0
    umask = os.umask(0)
    os.umask(umask)

    def mode(path):
        return stat.S_IMODE(path.stat().st_mode)

    assert mode(server.log_path) == 0o600
    assert mode(server.events_path) == 0o600
    assert mode(server.events_path.parent) == 0o750
    assert mode(server.file("up.bin")) == 0o666 & ~umask  # uploads as before
