"""The listener: one port-69 socket per local address, a new transfer per datagram, many
transfers at once, and stray datagrams that must never stop the server."""

import threading
import time

import pytest

from conftest import payload
from tftp_wire import ACK, DATA, ERROR, Client, ack, error, error_bytes, rrq, wrq

THREE_ADDRESSES = ("127.0.0.2", "127.0.0.3")


def test_each_address_answers_from_a_new_port_of_its_own(server_factory):
    server = server_factory(addresses=THREE_ADDRESSES)
    assert server.listener_addresses() == {"127.0.0.1", "127.0.0.2", "127.0.0.3"}
    content = payload(1200, seed=1)
    server.file("hello.bin").write_bytes(content)
    ports = set()
    for address in server.addresses:
        for name, expected in (("hello.bin", DATA), ("missing.bin", ERROR)):
            client = server.endpoint(address)
            client.send(rrq(name), (address, 69))
            packet, peer = client.expect()
            assert packet.opcode == expected, (address, packet)
            assert peer[0] == address and peer[1] != 69
            assert peer not in ports
            ports.add(peer)
            if expected == ERROR:
                assert packet.raw == error_bytes(1, "File not found")
            else:
                client.send(error(0), peer)  # ended here, so that the stop need not wait for it
            server.wait_closed(peer)
        # A whole transfer through each address.
        assert Client(server.endpoint(address), (address, 69)).get("hello.bin") == content


def test_a_request_sent_twice_starts_two_transfers(server):
    content = payload(700, seed=2)
    server.file("twice.bin").write_bytes(content)
    client = server.endpoint()
    client.send(rrq("twice.bin"), (server.address, 69))
    client.send(rrq("twice.bin"), (server.address, 69))
    first, one = client.expect()
    second, other = client.expect()
    assert one != other
    assert first.raw == second.raw == bytes(first.raw)
    for transfer in (one, other):
        client.send(ack(1), transfer)
    for _ in range(2):
        packet, peer = client.expect()
        assert (packet.opcode, packet.block, packet.payload) == (DATA, 2, content[512:])
        client.send(ack(2), peer)
    server.wait_closed(one)
    server.wait_closed(other)


def test_a_hundred_concurrent_transfers(server):
    sizes = [0, 1, 511, 512, 513, 5000, 70000]
    shared = payload(40000, seed=3)
    server.file("shared.bin").write_bytes(shared)
    jobs = []
    for index in range(40):  # reads of files of their own
        content = payload(sizes[index % len(sizes)], seed=100 + index)
        server.file(f"read{index}.bin").write_bytes(content)
        jobs.append(("get", f"read{index}.bin", content))
    for index in range(10):  # readers of one file at the same time
        jobs.append(("get", "shared.bin", shared))
    for index in range(50):
        jobs.append(("put", f"write{index}.bin", payload(sizes[index % len(sizes)], seed=200 + index)))

    clients = [server.client(timeout=10, retries=5) for _ in jobs]
    start = threading.Barrier(len(jobs))
    outcomes = [None] * len(jobs)

    def run(index):
        kind, name, content = jobs[index]
        start.wait()
        try:
            if kind == "get":
                outcomes[index] = clients[index].get(name) == content
            else:
                clients[index].put(name, content)
                outcomes[index] = True
        except Exception as failure:  # reported below, per transfer
            outcomes[index] = repr(failure)

    threads = [threading.Thread(target=run, args=(index,)) for index in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    failures = {jobs[i][:2]: outcome for i, outcome in enumerate(outcomes) if outcome is not True}
    assert failures == {}
    for kind, name, content in jobs:
        if kind == "put":
            assert server.file(name).read_bytes() == content, name


def test_a_request_is_not_held_up_by_a_transfer_whose_client_went_quiet(server_factory, engine):
    # With one loop, its only transfer waits for its client on its own socket for a moment;
    # a request that comes meanwhile is answered long before that transfer's timeout.
    server = server_factory(timeout=5, **({"event_loops": 1} if engine == "loops" else {}))
    server.file("long.bin").write_bytes(payload(512 * 40))
    quiet = server.endpoint()
    quiet.send(rrq("long.bin"), (server.address, 69))
    for block in range(1, 11):
        packet, peer = quiet.expect()
        assert (packet.opcode, packet.block) == (DATA, block)
        quiet.send(ack(block), peer)
    quiet.expect()  # block 11, never acknowledged
    other = server.endpoint()
    started = time.monotonic()
    other.send(rrq("long.bin"), (server.address, 69))
    packet, other_peer = other.expect()
    assert (packet.opcode, packet.block) == (DATA, 1)
    assert time.monotonic() - started < 1.0
    # Both end here, so that the stop need not wait for them.
    quiet.send(error(0), peer)
    other.send(error(0), other_peer)
    server.wait_closed(peer)
    server.wait_closed(other_peer)


def test_a_lone_transfer_goes_on_beside_a_second_one(server_factory, engine):
    # A loop's only transfer is served on its own socket while its client keeps pace; once a
    # second starts, both are served from the poller. Every packet of the first comes within
    # 1 s, long before a resend (Timeout 5 s) could stand in for a lost one.
    server = server_factory(timeout=5, **({"event_loops": 1} if engine == "loops" else {}))
    content = payload(512 * 300 + 7)
    server.file("long.bin").write_bytes(content)
    first, second = server.endpoint(), server.endpoint()
    first.send(rrq("long.bin"), (server.address, 69))
    received = {first: bytearray(), second: bytearray()}
    peers = {}

    def step(reader, block):
        packet, peers[reader] = reader.expect(timeout=1.0)
        assert (packet.opcode, packet.block) == (DATA, block)
        received[reader] += packet.payload
        reader.send(ack(block), peers[reader])

    for block in range(1, 101):
        step(first, block)
        if block == 60:  # seen at the loop's next look at its poller, the first still alone
            second.send(rrq("long.bin"), (server.address, 69))
    for block in range(1, 302):
        step(second, block)
        if block + 100 <= 301:
            step(first, block + 100)
    assert received[first] == content and received[second] == content


def test_an_address_on_two_interfaces_is_served_once(server_factory):
    server = server_factory(start=False, addresses=("127.0.0.2",))
    # A copy of 127.0.0.2 on a second interface, as PPP links or a veth may share one.
    for command in (
        ["ip", "link", "add", "q0", "type", "veth", "peer", "name", "q1"],
        ["ip", "link", "set", "q0", "up"],
        ["ip", "addr", "add", "127.0.0.2/32", "dev", "q0"],
    ):
        result = server.run(command)
        assert result.returncode == 0, result.stderr
    server.start()
    assert server.listener_addresses() == {"127.0.0.1", "127.0.0.2"}
    content = payload(1500, seed=7)
    server.file("shared.bin").write_bytes(content)
    assert server.get("shared.bin", address="127.0.0.2") == content


FLOOD_SECONDS = 6


def test_a_flooded_address_does_not_starve_the_others(server_factory):
    server = server_factory(addresses=("127.0.0.2",))
    content = payload(3000, seed=8)
    server.file("calm.bin").write_bytes(content)
    flooder = server.endpoint("127.0.0.2")
    ended = threading.Event()

    def flood():
        deadline = time.monotonic() + FLOOD_SECONDS
        while not ended.is_set() and time.monotonic() < deadline:
            flooder.send(rrq("missing.bin"), ("127.0.0.2", 69))
        ended.set()

    thread = threading.Thread(target=flood)
    thread.start()
    try:
        time.sleep(0.5)
        # The whole download must fit well inside the flood.
        assert server.get("calm.bin", timeout=1, retries=2) == content
        assert not ended.is_set(), "the download ended only with the flood"
    finally:
        ended.set()
        thread.join()


# Each stray with the one answer it gets, or None: empty and oversized datagrams are dropped
# by the listener; a name without a terminator, too long or empty goes unanswered.
STRAYS = [
    pytest.param(b"", None, id="zero bytes"),
    pytest.param(b"\0", error_bytes(4, "Illegal opcode"), id="one byte"),
    pytest.param(b"\0\1", None, id="opcode only"),
    pytest.param(b"\0\1" + b"a" * 514, None, id="request without terminators"),
    pytest.param(b"\0\1name\0" + b"m" * 508, error_bytes(1, "File not found"),
                 id="mode without terminator"),
    pytest.param(b"\0\2" + b"b" * 514, None, id="write request without terminators"),
    pytest.param(bytes(range(256)) * 2 + b"\0\0\0\0", None, id="516 bytes of garbage"),
    pytest.param(rrq("x.bin") + b"\0" * (517 - len(rrq("x.bin"))), None, id="517 bytes"),
    pytest.param(b"\0\1" + b"c" * 598, None, id="600 bytes"),
    pytest.param(b"\0\1" + b"d" * 65000, None, id="65002 bytes"),
]


# The same answers in single-port mode, where port 69 also carries the transfers.
@pytest.mark.parametrize("single_port", [None, 1], ids=["", "single-port"])
@pytest.mark.parametrize("stray, answer", STRAYS)
def test_stray_datagram_to_port_69_gets_its_answer_and_the_server_serves_on(
        server_factory, stray, answer, single_port):
    server = server_factory(single_port=single_port)
    content = payload(1500, seed=4)
    server.file("after.bin").write_bytes(content)
    events = server.events_path.read_bytes()
    stranger = server.endpoint()
    stranger.send(stray, (server.address, 69))
    got = stranger.recv(0.5)
    assert (got[0] if got else None) == answer, got
    assert server.get("after.bin") == content
    server.put("written.bin", content)
    assert server.file("written.bin").read_bytes() == content
    assert server.listener_addresses() == {server.address}
    assert server.events_path.read_bytes() == events, "a stray datagram is no event"


def test_zero_byte_and_600_byte_datagrams_then_a_transfer(server):
    content = payload(2048, seed=5)
    server.file("normal.bin").write_bytes(content)
    stranger = server.endpoint()
    stranger.send(b"", (server.address, 69))
    stranger.send(b"\0\1" + b"z" * 598, (server.address, 69))
    stranger.expect_none(0.5)
    assert server.get("normal.bin") == content


@pytest.mark.parametrize("side", ["read", "write"])
def test_stop_with_a_transfer_running_is_orderly(server_factory, side):
    # The stop waits a while for running transfers: this one gives up 1 s after its first packet.
    server = server_factory(timeout=1, max_retransmit=0)
    server.file("long.bin").write_bytes(payload(100 * 512, seed=6))
    client = server.endpoint()
    client.send(rrq("long.bin") if side == "read" else wrq("long-copy.bin"), (server.address, 69))
    packet, transfer = client.expect()
    assert packet.opcode == (DATA if side == "read" else ACK)
    # The transfer is waiting for the client when the stop comes.
    before = server.events_path.read_bytes()
    assert server.stop() == 0
    assert server.udp_sockets() == set()
    added = server.events_path.read_bytes()[len(before):].splitlines()
    assert [line.split(b" ")[4] for line in added] == [b"0x00000002"], "a stop is no failure"
