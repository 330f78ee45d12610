"""Real clients over a network that loses one DATA block (a kernel rule in the server's
namespace): every download still completes. Through a relay that duplicates and reorders
datagrams both ways, as networks do: every download and upload completes byte for byte, with
and without options.

Clients differ in how they wait for a lost block: busybox repeats its ACK from 50 ms on,
tftp-hpa with `rexmt 1` every second, others wait longer than the server does. Whatever the
client does, the server's own retransmission must bring the block again. A duplicated packet
that arrives after the next one is late, not wrong: the transfer goes on.
"""

import dataclasses
import heapq
import itertools
import random
import re
import selectors
import subprocess
import threading
import time

import pytest

from conftest import payload
from tftp_wire import OACK, TFTP_PORT, parse

# (case, block lost, file size): the first block, one in the middle, and the block after
# 65535, numbered 0, which every client here follows past the wrap (65537 blocks).
CASES = [
    ("start", 1, 3 * 512 + 100),
    ("middle", 20, 40 * 512 + 7),
    ("wrap", 0, 65536 * 512 + 100),
]


def tftp_hpa(*settings):
    return lambda name, local, port: (
        ["tftp", "127.0.0.1", str(port)],
        "".join(f"{line}\n" for line in ("binary", *settings, f"get {name} {local}", "quit")),
    )


# Every client with its default settings, and tftp-hpa repeating its ACK every second.
CLIENTS = {
    "busybox": lambda name, local, port: (
        ["busybox", "tftp", "-g", "-r", name, "-l", local, "127.0.0.1", str(port)],
        None,
    ),
    "tftp-hpa": tftp_hpa(),
    "tftp-hpa-rexmt1": tftp_hpa("rexmt 1"),
    "curl": lambda name, local, port: (
        ["curl", "-sS", "-o", local, f"tftp://127.0.0.1:{port}/{name}"],
        None,
    ),
    "atftp": lambda name, local, port: (
        ["atftp", "--get", "-r", name, "-l", local, "127.0.0.1", str(port)],
        None,
    ),
}


@dataclasses.dataclass
class Model:
    """What happens to each datagram of a transfer, as netem does it: lost, sent twice, and
    each copy delayed unless it is one of those that go at once, and so overtake others."""

    loss: float = 0.0
    duplicate: float = 0.0
    reorder: float = 0.0  # share of copies sent at once, the rest after `delay`
    delay: float = 0.0  # seconds
    seed: int = 0


class LossyRelay:
    """A UDP relay inside the server's namespace that applies `model` to the transfers'
    datagrams in both directions.

    Each client port gets a port of its own toward the server, and each transfer of the server
    a port of its own toward the client, so that both sides see the peers they would see
    without the relay (a repeated request is a second transfer, as on a real network).
    Requests pass untouched and once: a request repeated by a client that the
    answer took too long for (busybox asks again after 50 ms) is a second transfer, not what
    the model is about; nor is an OACK sent twice, which atftp takes for a protocol error
    whatever the server.
    """

    def __init__(self, server, model: Model):
        self.server = server
        self.model = model
        self.dropped = 0
        self.duplicated = 0
        self._random = random.Random(model.seed)
        self._later = []  # (when, sequence, socket, datagram, to)
        self._sequence = itertools.count()
        self.listener = server.endpoint().sock
        self.port = self.listener.getsockname()[1]
        self._selector = selectors.DefaultSelector()
        self._selector.register(self.listener, selectors.EVENT_READ, self._request)
        self._toward_server = {}  # client -> socket
        self._toward_client = {}  # (client, server transfer) -> socket
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def close(self) -> None:
        self._stop.set()
        self._thread.join()
        self._selector.close()

    def _run(self) -> None:
        while not self._stop.is_set():
            wait = 0.1
            if self._later:
                wait = min(wait, max(self._later[0][0] - time.monotonic(), 0))
            for key, _ in self._selector.select(wait):
                try:
                    datagram, sender = key.fileobj.recvfrom(65536)
                except ConnectionRefusedError:
                    continue  # a peer that has already gone
                key.data(datagram, sender)
            while self._later and self._later[0][0] <= time.monotonic():
                _, _, sock, datagram, to = heapq.heappop(self._later)
                self._send(sock, datagram, to)

    def _forward(self, sock, datagram, to, twice: bool = True) -> None:
        model, chance = self.model, self._random.random
        if chance() < model.loss:
            self.dropped += 1
            return
        copies = 2 if chance() < model.duplicate and twice else 1
        self.duplicated += copies - 1
        for _ in range(copies):
            if model.delay == 0 or chance() < model.reorder:
                self._send(sock, datagram, to)
            else:
                when = time.monotonic() + model.delay
                heapq.heappush(self._later, (when, next(self._sequence), sock, datagram, to))

    def _socket(self, handler):
        sock = self.server.endpoint().sock
        self._selector.register(sock, selectors.EVENT_READ, handler)
        return sock

    @staticmethod
    def _send(sock, datagram, to) -> None:
        try:
            sock.sendto(datagram, to)
        except ConnectionRefusedError:
            pass

    def _request(self, datagram, client) -> None:
        if client in self._toward_server:
            return
        if client not in self._toward_server:
            self._toward_server[client] = self._socket(
                lambda datagram, transfer: self._from_server(client, datagram, transfer)
            )
        self._send(self._toward_server[client], datagram, (self.server.address, TFTP_PORT))

    def _from_server(self, client, datagram, transfer) -> None:
        key = (client, transfer)
        if key not in self._toward_client:
            self._toward_client[key] = self._socket(
                lambda datagram, sender: self._from_client(key, datagram, sender)
            )
        packet = parse(datagram)
        self._forward(self._toward_client[key], datagram, client, packet.opcode != OACK)

    def _from_client(self, key, datagram, sender) -> None:
        client, transfer = key
        if sender == client:
            self._forward(self._toward_server[client], datagram, transfer)


def lose_once(server, cases) -> dict:
    """Makes the namespace's network lose, once, the first DATA numbered `lose` of each case's
    file (known by its number and its first bytes); its repeat passes. Answers a function
    that tells how many each rule dropped."""
    rules = []
    for name, lose, size in cases:
        count = lose or 65536  # block 0 is the one after 65535
        first = payload(size, seed=size)[(count - 1) * 512 :][:4]
        key = f"0x0003{lose:04x}{first.hex()}"
        rules += [f"set once_{name} {{ type inet_proto; flags dynamic; }}",
                  f"chain drop_{name} {{ meta l4proto @once_{name} return; "
                  f"add @once_{name} {{ meta l4proto }} counter drop comment \"{name}\"; }}",
                  f"chain input_{name} {{ type filter hook input priority 0; "
                  f"meta l4proto udp @th,64,64 {key} jump drop_{name}; }}"]
    (server.work / "lossy.nft").write_text("table inet lossy {\n" + "\n".join(rules) + "\n}\n")
    result = server.run(["nft", "-f", "lossy.nft"])
    assert result.returncode == 0, result.stderr

    def dropped() -> dict:
        listing = server.run(["nft", "list", "table", "inet", "lossy"])
        return {name: int(packets) for packets, name in re.findall(
            rb'counter packets (\d+) bytes \d+ drop comment "(\w+)"', listing.stdout)}

    return dropped


@pytest.mark.parametrize("client", CLIENTS)
def test_a_lost_data_block_is_sent_again(server, client):
    for name, _, size in CASES:
        server.file(f"{name}.bin").write_bytes(payload(size, seed=size))
    dropped = lose_once(server, CASES)
    results = {}

    def download(name):
        argv, script = CLIENTS[client](f"{name}.bin", f"{name}.out", TFTP_PORT)
        (server.work / f"{name}.cmd").write_text(script or "")
        started = time.monotonic()
        try:
            with open(server.work / f"{name}.cmd") as stdin:
                result = server.run(argv, timeout=180, stdin=stdin)
            outcome = (result.returncode, result.stdout + result.stderr)
        except subprocess.TimeoutExpired:
            outcome = (None, b"still running after 180 s")
        results[name] = (*outcome, time.monotonic() - started)

    # The cases run side by side: the whole lasts as long as the wrap.
    threads = [threading.Thread(target=download, args=case[:1]) for case in CASES]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    for name, _, _ in CASES:
        print(f"{client} {name}: exit {results[name][0]} after {results[name][2]:.1f} s")
    lost = dropped()
    for name, _, size in CASES:
        returncode, output, seconds = results[name]
        assert lost.get(name.encode()) == 1, f"{name}: the block to lose never came ({lost})"
        local = server.work / f"{name}.out"
        assert local.exists() and local.read_bytes() == payload(size, seed=size), (
            f"{name}: incomplete after {seconds:.1f} s (exit {returncode}): {output}"
        )
        assert returncode == 0, f"{name}: {output}"


NETWORK = Model(duplicate=0.05, reorder=0.25, delay=0.005, seed=22)
BLKSIZE = "1468"


def hpa(action):
    return lambda port, remote, local: ["tftp", "-m", "binary", "127.0.0.1", str(port), "-c",
                                        action, *((remote, local) if action == "get" else
                                                  (local, remote))]


def curl(*options):
    return (
        lambda port, remote, local: ["curl", "-sS", *options, "-o", local,
                                     f"tftp://127.0.0.1:{port}/{remote}"],
        lambda port, remote, local: ["curl", "-sS", *options, "-T", local,
                                     f"tftp://127.0.0.1:{port}/{remote}"],
    )


def busybox(*options):
    return (
        lambda port, remote, local: ["busybox", "tftp", *options, "-g", "-r", remote, "-l",
                                     local, "127.0.0.1", str(port)],
        lambda port, remote, local: ["busybox", "tftp", *options, "-p", "-l", local, "-r",
                                     remote, "127.0.0.1", str(port)],
    )


def atftp(*options):
    options = ("--tftp-timeout", "1", *options)  # retries without waiting 5 s each
    return (
        lambda port, remote, local: ["atftp", *options, "--get", "-r", remote, "-l", local,
                                     "127.0.0.1", str(port)],
        lambda port, remote, local: ["atftp", *options, "--put", "-l", local, "-r", remote,
                                     "127.0.0.1", str(port)],
    )


# client: (argv of a download, argv of an upload), each from (relay port, remote, local);
# tftp-hpa's client asks for no options.
MOVERS = {
    "tftp-hpa": (hpa("get"), hpa("put")),
    "curl": curl("--tftp-no-options"),
    "curl-blksize": curl("--tftp-blksize", BLKSIZE),
    "busybox": busybox(),
    "busybox-blksize": busybox("-b", BLKSIZE),
    "atftp": atftp(),
    "atftp-window": atftp("--option", f"blksize {BLKSIZE}", "--option", "windowsize 8"),
}


def test_duplicated_and_reordered_datagrams_leave_every_transfer_whole(server_factory):
    server = server_factory(negotiate=1, timeout=1)
    relay = LossyRelay(server, model=NETWORK)
    jobs = []
    for index, (client, (fetch, store)) in enumerate(MOVERS.items()):
        content = payload(40 * 1024 + index, seed=index)
        server.file(f"{client}.bin").write_bytes(content)
        (server.work / f"{client}.up").write_bytes(content)
        jobs.append((client, "download", fetch(relay.port, f"{client}.bin", f"{client}.down"),
                     server.work / f"{client}.down", content))
        jobs.append((client, "upload", store(relay.port, f"{client}.new", f"{client}.up"),
                     server.file(f"{client}.new"), content))
    results = {}

    def run(job):
        client, direction, argv, _, _ = job
        try:
            result = server.run(argv, timeout=60)
            results[client, direction] = (result.returncode, result.stdout + result.stderr)
        except subprocess.TimeoutExpired:
            results[client, direction] = (None, b"still running after 60 s")

    threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        relay.close()

    assert relay.duplicated > 0
    broken = []
    for client, direction, _, arrived, content in jobs:
        returncode, output = results[client, direction]
        whole = arrived.exists() and arrived.read_bytes() == content
        # atftp answers an ACK that comes late by sending its block again and may then, its
        # last block acknowledged, go on with a block after the end, whose ACK never comes:
        # its exit tells nothing of the server, the file stored does.
        finished = returncode == 0 or (client.startswith("atftp") and direction == "upload")
        if not finished or not whole:
            broken.append(f"{client} {direction}: exit {returncode}, whole {whole}: {output[-300:]}")
    assert not broken, "\n".join(broken)
