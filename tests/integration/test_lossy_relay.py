"""Real clients through a relay that loses one DATA block: every download still completes.

Clients differ in how they wait for a lost block: busybox repeats its ACK from 50 ms on,
tftp-hpa with `rexmt 1` every second, others wait longer than the server does. Whatever the
client does, the server's own retransmission must bring the block again.
"""

import selectors
import subprocess
import threading
import time

import pytest

from conftest import payload
from tftp_wire import DATA, TFTP_PORT, parse

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


class LossyRelay:
    """A UDP relay inside the server's namespace that loses the first DATA numbered `lose`.

    Each client port gets a port of its own toward the server, and each transfer of the server
    a port of its own toward the client, so that both sides see the peers they would see
    without the relay (a repeated request is a second transfer, as on a real network).
    """

    def __init__(self, server, lose: int):
        self.server = server
        self.lose = lose
        self.dropped = 0
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
            for key, _ in self._selector.select(0.1):
                try:
                    datagram, sender = key.fileobj.recvfrom(65536)
                except ConnectionRefusedError:
                    continue  # a peer that has already gone
                key.data(datagram, sender)

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
        if packet.opcode == DATA and packet.block == self.lose and not self.dropped:
            self.dropped += 1
            return
        self._send(self._toward_client[key], datagram, client)

    def _from_client(self, key, datagram, sender) -> None:
        client, transfer = key
        if sender == client:
            self._send(self._toward_server[client], datagram, transfer)


@pytest.mark.parametrize("client", CLIENTS)
def test_a_lost_data_block_is_sent_again(server, client):
    for name, _, size in CASES:
        server.file(f"{name}.bin").write_bytes(payload(size, seed=size))
    results = {}

    def download(name, lose):
        relay = LossyRelay(server, lose)
        argv, script = CLIENTS[client](f"{name}.bin", f"{name}.out", relay.port)
        (server.work / f"{name}.cmd").write_text(script or "")
        started = time.monotonic()
        try:
            with open(server.work / f"{name}.cmd") as stdin:
                result = server.run(argv, timeout=180, stdin=stdin)
            outcome = (result.returncode, result.stdout + result.stderr)
        except subprocess.TimeoutExpired:
            outcome = (None, b"still running after 180 s")
        finally:
            relay.close()
        results[name] = (*outcome, relay.dropped, time.monotonic() - started)

    # The cases run side by side: the whole lasts as long as the wrap.
    threads = [threading.Thread(target=download, args=case[:2]) for case in CASES]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    for name, _, _ in CASES:
        print(f"{client} {name}: exit {results[name][0]} after {results[name][3]:.1f} s")
    for name, _, size in CASES:
        returncode, output, dropped, seconds = results[name]
        assert dropped == 1, f"{name}: the relay never saw the block it was to lose"
        local = server.work / f"{name}.out"
        assert local.exists() and local.read_bytes() == payload(size, seed=size), (
            f"{name}: incomplete after {seconds:.1f} s (exit {returncode}): {output}"
        )
        assert returncode == 0, f"{name}: {output}"
