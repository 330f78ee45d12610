"""SinglePort 1: every transfer on port 69 of the address that received its request, told
apart by the client's address and port; for clients that can reach nothing but port 69."""
from __future__ import annotations

import socket
import subprocess
import threading

import pytest

from conftest import payload
from netns import NetNamespace
from tftp_wire import DATA, Client, ack, data, error, error_bytes, rrq, wrq

PUBLIC, PRIVATE, CLIENT = "10.99.0.1", "10.98.0.1", "10.99.0.2"

# The server's namespace publishes UDP 69 of PUBLIC as a container's `-p 69:69/udp` does: it
# is forwarded to the server's private address, and nothing else from outside gets in.
PUBLISH_ONLY_69 = f"""
table ip publish {{
  chain prerouting {{
    type nat hook prerouting priority dstnat; policy accept;
    iifname "vs" ip daddr {PUBLIC} udp dport 69 dnat to {PRIVATE}
  }}
  chain input {{
    type filter hook input priority filter; policy accept;
    iifname "vs" ct status dnat accept
    iifname "vs" drop
  }}
}}
"""


def run_checked(argv):
    result = subprocess.run(argv, capture_output=True, text=True)
    assert result.returncode == 0, (argv, result.stderr)


@pytest.mark.parametrize("single_port, served", [(None, False), (1, True)],
                         ids=["default", "single-port"])
def test_download_through_a_nat_that_publishes_only_port_69(server_factory, single_port, served):
    server = server_factory(start=False, single_port=single_port)
    content = payload(5000, seed=21)
    server.file("boot.bin").write_bytes(content)
    client = NetNamespace()
    try:
        ns = server.ns
        run_checked(ns.command(["ip", "link", "add", "vs", "type", "veth", "peer", "name", "vc",
                                "netns", str(client.holder.pid)]))
        for argv in (["ip", "addr", "add", f"{PUBLIC}/24", "dev", "vs"],
                     ["ip", "link", "set", "vs", "up"],
                     ["ip", "addr", "add", f"{PRIVATE}/32", "dev", "lo"],
                     ["nft", "-f", "-"]):
            result = subprocess.run(ns.command(argv), input=PUBLISH_ONLY_69, capture_output=True,
                                    text=True)
            assert result.returncode == 0, (argv, result.stderr)
        for argv in (["ip", "addr", "add", f"{CLIENT}/24", "dev", "vc"],
                     ["ip", "link", "set", "vc", "up"],
                     ["ip", "route", "add", "default", "via", PUBLIC]):
            run_checked(client.command(argv))
        server.start()
        local = server.work / "boot.bin"
        # Unserved, curl gives up at its time limit; served, the file comes in milliseconds.
        result = client.run(["curl", "-sS", "--max-time", "4", "-o", local,
                             f"tftp://{PUBLIC}/boot.bin"], timeout=30)
        assert (result.returncode == 0) == served, result.stderr
        if served:
            assert local.read_bytes() == content
    finally:
        client.close()


def test_fifty_transfers_from_one_address_at_once(server_factory):
    server = server_factory(single_port=1, negotiate=1)
    contents = {f"r{k}.bin": payload(3000 + 517 * k, seed=k) for k in range(40)}
    for name, content in contents.items():
        server.file(name).write_bytes(content)
    uploads = {f"w{k}.bin": payload(4000 + 311 * k, seed=100 + k) for k in range(10)}
    failures = []

    def transfer(name):
        try:
            # Every other one with blocks larger than 512 bytes, for DATA larger than a request.
            options = {"blksize": "1400"} if int(name[1:-4]) % 2 else {}
            with server.endpoint() as endpoint:
                client = Client(endpoint, (server.address, 69), timeout=2, retries=5)
                if name in uploads:
                    client.put(name, uploads[name], options=options)
                elif client.get(name, options=options) != contents[name]:
                    failures.append(f"{name}: different bytes")
        except Exception as failure:  # noqa: BLE001 - reported below
            failures.append(f"{name}: {failure!r}")

    threads = [threading.Thread(target=transfer, args=(name,)) for name in [*contents, *uploads]]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    for name, content in uploads.items():
        assert server.file(name).read_bytes() == content, name


def test_a_request_again_from_the_same_port_supersedes_the_transfer(server_factory):
    server = server_factory(single_port=1, logging=1)
    content = payload(700, seed=3)
    server.file("again.bin").write_bytes(content)
    client = server.endpoint()
    port69 = (server.address, 69)
    for _ in range(2):
        client.send(rrq("again.bin"), port69)
        packet, sender = client.expect()
        assert (packet.opcode, packet.block, sender) == (DATA, 1, port69)
    client.send(ack(1), port69)
    packet, _ = client.expect()
    assert (packet.opcode, packet.block, packet.payload) == (DATA, 2, content[512:])
    client.send(ack(2), port69)
    client.expect_none(within=0.5)  # the superseded transfer sends nothing more
    assert server.stop() == 0
    lines = [line for line in server.log_path.read_bytes().splitlines() if b"again.bin" in line]
    # One line each, in either order: the superseded transfer writes its line when it wakes,
    # which may be after its successor's two blocks.
    assert len(lines) == 2, lines
    assert sorted(b"Superseded by a new request" in line for line in lines) == [False, True]
    assert any(b"Transfer successful" in line for line in lines), lines


@pytest.mark.parametrize("stranger, answer", [
    pytest.param(ack(1), error_bytes(4, "Illegal opcode"), id="ACK"),
    pytest.param(data(1, b"x"), error_bytes(4, "Illegal opcode"), id="DATA"),
    pytest.param(error(0, "stray"), None, id="ERROR"),
])
def test_a_stranger_on_port_69_beside_a_running_transfer(server_factory, stranger, answer):
    server = server_factory(single_port=1)
    server.file("run.bin").write_bytes(payload(1200, seed=8))
    client = server.endpoint()
    port69 = (server.address, 69)
    client.send(rrq("run.bin"), port69)
    assert client.expect()[0].block == 1
    other = server.endpoint()
    other.send(stranger, port69)
    got = other.recv(0.5)
    assert (got[0] if got else None) == answer
    # The running transfer noticed nothing.
    client.send(ack(1), port69)
    packet, _ = client.expect()
    assert (packet.opcode, packet.block) == (DATA, 2)
    client.send(error(0), port69)  # ended here, so that the stop need not wait for it


@pytest.mark.parametrize("direction", ["read", "write"])
def test_a_late_copy_of_the_request_leaves_a_heard_transfer_alone(server_factory, direction):
    server = server_factory(single_port=1)
    content = payload(2000, seed=5)
    blocks = [content[k:k + 512] for k in range(0, len(content), 512)]
    client = server.endpoint()
    port69 = (server.address, 69)
    if direction == "read":
        server.file("late.bin").write_bytes(content)
        request = rrq("late.bin")
    else:
        request = wrq("late.bin")
    client.send(request, port69)
    if direction == "write":
        assert client.expect()[0].raw == ack(0)
    for block, chunk in enumerate(blocks, start=1):
        if direction == "read":
            packet, _ = client.expect()
            assert (packet.opcode, packet.block, packet.payload) == (DATA, block, chunk)
        # Its client has been heard once the second answer came: the copy comes late.
        if block == 3:
            client.send(request, port69)
        client.send(ack(block) if direction == "read" else data(block, chunk), port69)
        if direction == "write":
            assert client.expect()[0].raw == ack(block)
    client.expect_none(within=0.3)
    if direction == "write":
        assert server.file("late.bin").read_bytes() == content


def drawn_by(forger, port69, request, acks, linger):
    """Sends `request` and ACKs `acks` from the victim's endpoint, each once the answers to the
    one before have come, the last `linger` seconds before; answers (bytes forged, bytes drawn,
    DATA packets drawn), counted as IPv4 datagrams on the wire."""
    wire = 28
    forger.send(request, port69)
    forged, drawn, datas = len(request) + wire, 0, 0
    for k, block in enumerate([None, *acks]):
        if block is not None:
            forger.send(ack(block), port69)
            forged += 4 + wire
        first = forger.recv(1.0 if k < len(acks) else linger)
        answers = [first[0]] if first else []
        quiet = linger if k == len(acks) else 0.01
        answers += [packet.raw for packet, _, _ in forger.collect(quiet=quiet)]
        drawn += sum(len(raw) + wire for raw in answers)
        datas += sum(raw[:2] == b"\0\3" for raw in answers)
    return forged, drawn, datas


@pytest.mark.parametrize("options, acks, linger, least", [
    # Each ACK from inside a window of 64 would start the window over.
    pytest.param({"blksize": 1468, "windowsize": 64}, range(61), 0.1, 60, id="window"),
    # One ACK, then every retransmission a forger that waits can draw.
    pytest.param({"blksize": 1468, "timeout": 1}, [0], 1.5, 1, id="retransmissions"),
])
def test_a_forger_draws_at_most_fifty_times_what_it_forged(server_factory, options, acks, linger,
                                                            least):
    server = server_factory(single_port=1, negotiate=1, max_retransmit=3)
    # 60 blocks of 1468 bytes, the last one short: ACK 60 ends the read.
    server.file("big.bin").write_bytes(payload(59 * 1468 + 100, seed=9))
    # The forger sends from the victim's address and port; the victim's socket counts.
    victim = server.endpoint()
    victim.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    forged, drawn, datas = drawn_by(victim, (server.address, 69), rrq("big.bin", options=options),
                                    acks, linger)
    assert datas >= least
    assert drawn <= 50 * forged, f"x{drawn / forged:.0f}"
