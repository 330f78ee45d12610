"""A flood of forged read requests that nobody ever answers: the server's memory, descriptors
and threads stay bounded, what it sends to any one forged source stays within the per-address
bound, every flooded transfer ends on time, and real clients are served during and after it."""

import os
import select
import threading
import time

import pytest

from conftest import SANITIZE, payload
from netns import socket_inodes
from tftp_wire import DATA, parse, rrq

TIMEOUT, MAX_RETRANSMIT = 1, 2
LIFE = TIMEOUT * (MAX_RETRANSMIT + 1)  # of a transfer whose client never answers
TURNS_PER_ADDRESS = 16  # the server's kTurnsPerAddress
FLOODED = [f"127.0.1.{n}" for n in range(1, 51)]
PORTS_PER_ADDRESS = 40
# The sanitizers make every thread many times larger and slower: a smaller flood there.
REQUESTS = 2_000 if SANITIZE else 20_000
FLOOD_SECONDS = 10
MEMORY_BOUND = 256 << 20
IDLE_THREADS_GONE = 40  # seconds: idle transfer threads wait 30 s for work before they end


def proc_count(pid, what):
    return len(os.listdir(f"/proc/{pid}/{what}"))


def peak_resident(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    raise AssertionError("no VmHWM")


def port69_drops(server):
    """Datagrams the kernel dropped because port 69's receive queue was full."""
    own = socket_inodes(server.process.pid)
    with open(f"/proc/{server.process.pid}/net/udp") as table:
        next(table)
        for fields in map(str.split, table):
            if fields[1].endswith(":0045") and int(fields[9]) in own:
                return int(fields[-1])
    raise AssertionError("no port-69 socket")


def flooded_lines(server):
    if not server.log_path.exists():
        return 0
    return server.log_path.read_bytes().count(b"   127.0.1.")


class Flood:
    """REQUESTS read requests, evenly over FLOOD_SECONDS, from PORTS_PER_ADDRESS sockets on each
    address of FLOODED; the DATA that comes back is counted per address and never answered."""

    def __init__(self, server):
        self.server = server
        self.sockets = []
        for address in FLOODED:
            for _ in range(PORTS_PER_ADDRESS):
                sock = server.ns.socket()
                sock.bind((address, 0))
                sock.setblocking(False)
                self.sockets.append(sock)
        self.arrivals = {address: [] for address in FLOODED}
        self.ended = None
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._send), threading.Thread(target=self._count)]

    def __enter__(self):
        for thread in self._threads:
            thread.start()
        return self

    def __exit__(self, *failure):
        self._stop.set()
        for thread in self._threads:
            thread.join()
        for sock in self.sockets:
            sock.close()

    def wait(self):
        self._threads[0].join()

    def _send(self):
        request = rrq("flood.bin")
        target = (self.server.address, 69)
        batches = FLOOD_SECONDS * 20
        start = time.monotonic()
        for batch in range(batches):
            for index in range(batch * REQUESTS // batches, (batch + 1) * REQUESTS // batches):
                self.sockets[index % len(self.sockets)].sendto(request, target)
            time.sleep(max(0.0, start + (batch + 1) / 20 - time.monotonic()))
        self.ended = time.monotonic()

    def _count(self):
        poller = select.epoll()
        by_fd = {sock.fileno(): sock for sock in self.sockets}
        flooded = {fd: sock.getsockname()[0] for fd, sock in by_fd.items()}
        for fd in by_fd:
            poller.register(fd, select.EPOLLIN)
        while not self._stop.is_set():
            for fd, _ in poller.poll(0.1):
                while True:
                    try:
                        raw = by_fd[fd].recv(600)
                    except BlockingIOError:
                        break
                    if parse(raw).opcode == DATA:
                        self.arrivals[flooded[fd]].append(time.monotonic())
        poller.close()


def test_a_flood_of_unanswered_requests_stays_bounded(server_factory):
    server = server_factory(timeout=TIMEOUT, max_retransmit=MAX_RETRANSMIT, logging=1)
    server.file("flood.bin").write_bytes(payload(1 << 20, seed=1))
    calm = payload(1 << 20, seed=2)
    server.file("calm.bin").write_bytes(calm)
    pid = server.process.pid
    idle = (proc_count(pid, "fd"), proc_count(pid, "task"))
    figures = {}

    with Flood(server) as flood:
        time.sleep(FLOOD_SECONDS / 2)
        # A real client, from an address of its own, in the middle of the flood.
        started = time.monotonic()
        result = server.run(["tftp", "-m", "binary", server.address, "-c", "get", "calm.bin",
                             "calm.bin"], timeout=30)
        figures["mid-flood download s"] = time.monotonic() - started
        assert result.returncode == 0 and (server.work / "calm.bin").read_bytes() == calm, result
        flood.wait()

        # Right after the flood: at once, without a retry.
        started = time.monotonic()
        assert server.get("calm.bin", timeout=2, retries=0) == calm
        figures["download after the flood s"] = time.monotonic() - started

        # Every request the kernel queued became a transfer with its log line, and all of them
        # have ended a transfer's life after the flood, give or take 2 s.
        taken = REQUESTS - port69_drops(server)
        while flooded_lines(server) < taken and time.monotonic() < flood.ended + LIFE + 10:
            time.sleep(0.05)
        figures["flooded transfers ended after the flood s"] = time.monotonic() - flood.ended
        assert flooded_lines(server) == taken, figures
        assert figures["flooded transfers ended after the flood s"] <= LIFE + 2
        figures["requests taken"] = taken
        time.sleep(LIFE)  # the last DATA, if any were still to come

    figures["peak resident MiB"] = peak_resident(pid) / (1 << 20)
    if not SANITIZE:
        assert peak_resident(pid) < MEMORY_BOUND, figures

    # Each address sees at most its turns' worth of transfers at once, each sending at most
    # once per Timeout.
    for address, arrivals in flood.arrivals.items():
        span = arrivals[-1] - arrivals[0] + 0.2 if arrivals else 0
        assert len(arrivals) <= TURNS_PER_ADDRESS * (span / TIMEOUT + 1), (address, len(arrivals))
    figures["most DATA to one address"] = max(map(len, flood.arrivals.values()))
    figures["requests per address"] = REQUESTS // len(FLOODED)

    deadline = time.monotonic() + IDLE_THREADS_GONE
    while (proc_count(pid, "fd"), proc_count(pid, "task")) != idle:
        assert time.monotonic() < deadline, ((proc_count(pid, "fd"), proc_count(pid, "task")), idle)
        time.sleep(0.5)
    print(figures)


def test_the_bound_on_transfers_fits_the_descriptor_limit(server_factory):
    # 512 descriptors leave room for 64 transfers; the server says so and stays within them.
    server = server_factory(timeout=1, max_retransmit=0, nofile=512, max_transfers=1000)
    assert b"EVENT_TRANSFERS_LIMITED" in server.events_path.read_bytes()
    server.file("flood.bin").write_bytes(payload(4096, seed=3))
    flooders = [server.endpoint(f"127.0.2.{n}") for n in range(1, 101)]
    for _ in range(3):
        for flooder in flooders:
            flooder.send(rrq("flood.bin"), (server.address, 69))
    assert server.get("flood.bin", timeout=3, retries=5) == payload(4096, seed=3)
    events = server.events_path.read_text()
    assert "EVENT_SOCKET_ALLOCATE" not in events and "EVENT_THREAD_CREATE" not in events, events
