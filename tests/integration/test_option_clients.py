"""Real clients that negotiate options, with NegotiateOptions on: curl with --tftp-blksize
(which also sends tsize), busybox tftp with -b, atftp with blksize and with windowsize.
Files of 0, 1, blksize - 1, blksize, blksize + 1 bytes and 40 MiB, read and written, are
compared byte for byte; the namespace's datagram count shows that the options were used."""

import math
import re

import pytest

from conftest import payload

BLKSIZE = 1468
SIZES = [0, 1, BLKSIZE - 1, BLKSIZE, BLKSIZE + 1, 40 << 20]
ATFTP_BLKSIZE = ["--option", f"blksize {BLKSIZE}"]

# client: (window, argv of a read, argv of a write), each argv from (address, name, local)
CLIENTS = {
    "curl": (
        1,
        lambda a, n, l: ["curl", "-sS", "--tftp-blksize", str(BLKSIZE), "-o", l, f"tftp://{a}/{n}"],
        lambda a, n, l: ["curl", "-sS", "--tftp-blksize", str(BLKSIZE), "-T", l, f"tftp://{a}/{n}"],
    ),
    "busybox": (
        1,
        lambda a, n, l: ["busybox", "tftp", "-b", str(BLKSIZE), "-g", "-r", n, "-l", l, a],
        lambda a, n, l: ["busybox", "tftp", "-b", str(BLKSIZE), "-p", "-l", l, "-r", n, a],
    ),
    "atftp": (
        1,
        lambda a, n, l: ["atftp", *ATFTP_BLKSIZE, "--get", "-r", n, "-l", l, a],
        lambda a, n, l: ["atftp", *ATFTP_BLKSIZE, "--put", "-l", l, "-r", n, a],
    ),
    "atftp-windowsize": (
        8,
        lambda a, n, l: ["atftp", *ATFTP_BLKSIZE, "--option", "windowsize 8", "--get",
                         "-r", n, "-l", l, a],
        lambda a, n, l: ["atftp", *ATFTP_BLKSIZE, "--option", "windowsize 8", "--put",
                         "-l", l, "-r", n, a],
    ),
}


def datagrams_sent(server) -> int:
    """UDP datagrams sent in the server's namespace so far, by the server and the client."""
    snmp = server.run(["cat", "/proc/net/snmp"]).stdout.decode()
    header, values = [line.split() for line in snmp.splitlines() if line.startswith("Udp:")][:2]
    return int(values[header.index("OutDatagrams")])


@pytest.mark.parametrize("direction", ["read", "write"])
@pytest.mark.parametrize("client", CLIENTS)
def test_real_clients_move_every_size_with_options(server_factory, client, direction):
    server = server_factory(negotiate=1)
    window, fetch, store = CLIENTS[client]
    for size in SIZES:
        content = payload(size, seed=size)
        name = f"{size}.bin"
        before = datagrams_sent(server)
        if direction == "read":
            server.file(name).write_bytes(content)
            result = server.run(fetch(server.address, name, name), timeout=600)
            arrived = server.work / name
        else:
            (server.work / name).write_bytes(content)
            result = server.run(store(server.address, name, name), timeout=600)
            arrived = server.file(name)
        assert result.returncode == 0, (size, result.stdout, result.stderr)
        assert arrived.read_bytes() == content, size
        # DATA in blocks of BLKSIZE, one ACK per window, and a few packets around them; in
        # 512-byte blocks it would be about three times as many. Twice as many may go when a
        # client's timeout runs out on a loaded machine: atftp answers an ACK that came twice
        # (its DATA again, and our ACK of that) with its next DATA twice, to the end.
        blocks = math.ceil((size + 1) / BLKSIZE)
        assert datagrams_sent(server) - before <= blocks * (1 + 1 / window) * 2.1 + 8, size
