"""Timeouts and retransmission: counts of packets sent again, repeated ACK and DATA."""

import threading
import time

import pytest

from conftest import payload
from tftp_wire import ACK, DATA, ack, data, rrq, wrq

SETTINGS = [
    pytest.param({}, id="defaults"),
    pytest.param({"timeout": 1, "max_retransmit": 0}, id="timeout1-max0"),
    pytest.param({"timeout": 1, "max_retransmit": 3}, id="timeout1-max3"),
]


def unanswered_read(server):
    client = server.endpoint()
    client.send(rrq("big.bin"), (server.address, 69))
    return client


def unanswered_write_request(server):
    client = server.endpoint()
    client.send(wrq("silent.bin"), (server.address, 69))
    return client


def unanswered_after_one_block(server):
    client = server.endpoint()
    client.send(wrq("oneblock.bin"), (server.address, 69))
    packet, transfer = client.expect()
    assert (packet.opcode, packet.block) == (ACK, 0)
    client.send(data(1, payload(512, seed=1)), transfer)
    return client


# (scenario, expected packet as (opcode, block)) -- the packet the server repeats.
SCENARIOS = [
    (unanswered_read, (DATA, 1)),
    (unanswered_write_request, (ACK, 0)),
    (unanswered_after_one_block, (ACK, 1)),
]


def unanswered_copies(server, quiet):
    """What each scenario's client receives until `quiet` seconds pass without a packet."""
    server.file("big.bin").write_bytes(payload(4096, seed=2))
    results = [None] * len(SCENARIOS)

    def run(index, scenario):
        results[index] = scenario(server).collect(quiet)

    # The scenarios wait side by side, so the run lasts one scenario's time.
    threads = [
        threading.Thread(target=run, args=(index, scenario))
        for index, (scenario, _) in enumerate(SCENARIOS)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


@pytest.mark.parametrize("settings", SETTINGS)
def test_unanswered_packet_is_sent_max_retransmit_plus_one_times(server_factory, settings):
    server = server_factory(**settings)
    quiet = server.timeout * 1.5 + 1.5  # clearly longer than one retransmission interval
    results = unanswered_copies(server, quiet)
    for (scenario, expected), packets in zip(SCENARIOS, results):
        name = scenario.__name__
        assert [(p.opcode, p.block) for p, _, _ in packets] == [expected] * (
            server.max_retransmit + 1
        ), name
        assert len({p.raw for p, _, _ in packets}) == 1, f"{name}: the copies differ"
        assert len({peer for _, peer, _ in packets}) == 1, f"{name}: sent from several ports"
        # Each copy follows a timeout, not a burst; no timing beyond that is asserted.
        arrivals = [when for _, _, when in packets]
        for earlier, later in zip(arrivals, arrivals[1:]):
            assert later - earlier >= server.timeout * 0.5, name
        server.wait_closed(packets[0][1])


# (settings, the gaps in seconds between the copies of an unanswered packet): with
# RetransmitBackoff each wait doubles, and the copies stop within the same Timeout x
# (MaxRetransmit + 1), here 4 s: at 0, 1 and 3 s instead of 0, 1, 2 and 3 s.
BACKOFF_SETTINGS = {"timeout": 1, "max_retransmit": 3, "retransmit_backoff": 1}
GAPS = [
    pytest.param({"timeout": 1, "max_retransmit": 3}, [1, 1, 1], id="fixed"),
    pytest.param(BACKOFF_SETTINGS, [1, 2], id="backoff"),
    pytest.param({**BACKOFF_SETTINGS, "single_port": 1}, [1, 2], id="backoff-single-port"),
]


@pytest.mark.parametrize("settings, gaps", GAPS)
def test_retransmissions_wait_longer_each_time_with_backoff(server_factory, settings, gaps):
    server = server_factory(**settings)
    results = unanswered_copies(server, quiet=3)
    for (scenario, expected), packets in zip(SCENARIOS, results):
        name = scenario.__name__
        assert [(p.opcode, p.block) for p, _, _ in packets] == [expected] * (len(gaps) + 1), name
        arrivals = [when for _, _, when in packets]
        for gap, earlier, later in zip(gaps, arrivals, arrivals[1:]):
            assert gap * 0.8 - 0.05 <= later - earlier <= gap + 0.5, name


def test_repeated_acks_neither_answer_nor_postpone_the_retransmission(server_factory):
    # A client repeating its ACK faster than our timeout (busybox starts at 50 ms) must still
    # see the block it lost: repeated ACKs send nothing, use up no retry, and the lost DATA
    # comes again one Timeout after it was first sent.
    server = server_factory(timeout=2, max_retransmit=2)
    content = payload(3 * 512 + 100, seed=3)
    server.file("three.bin").write_bytes(content)
    client = server.endpoint()
    client.send(rrq("three.bin"), (server.address, 69))
    first, transfer = client.expect()
    client.send(ack(1), transfer)
    second, _ = client.expect()
    assert (second.opcode, second.block) == (DATA, 2)
    sent_at = time.monotonic()
    # DATA 2 "lost": ACK 1 repeated every 0.2 s, ten times the retries there are.
    for _ in range(10):
        client.send(ack(1), transfer)
        time.sleep(0.2)
        if time.monotonic() - sent_at > server.timeout - 0.3:
            break
    again, _ = client.expect(server.timeout + 2)
    assert again.raw == second.raw
    assert time.monotonic() - sent_at < server.timeout + 1.5
    received = first.payload + again.payload
    for block in (3, 4):
        client.send(ack(block - 1), transfer)
        packet, _ = client.expect()
        assert (packet.opcode, packet.block) == (DATA, block)
        received += packet.payload
    client.send(ack(4), transfer)
    assert received == content
    server.wait_closed(transfer)


def test_repeated_data_is_acknowledged_again_and_stored_once(server):
    client = server.endpoint()
    client.send(wrq("twice.bin"), (server.address, 69))
    packet, transfer = client.expect()
    assert (packet.opcode, packet.block) == (ACK, 0)
    first = payload(512, seed=4)
    for _ in range(3):
        client.send(data(1, first), transfer)
        packet, _ = client.expect()
        assert (packet.opcode, packet.block) == (ACK, 1)
    client.send(data(2, b"end"), transfer)
    packet, _ = client.expect()
    assert (packet.opcode, packet.block) == (ACK, 2)
    # The last ACK is sent once and the transfer ends without waiting.
    server.wait_closed(transfer)
    assert server.file("twice.bin").read_bytes() == first + b"end"


def test_a_repeated_write_request_is_acknowledged_again(server):
    # DATA 0 is the "current block" right after the request: ACK 0 goes out again.
    client = server.endpoint()
    client.send(wrq("zero.bin"), (server.address, 69))
    packet, transfer = client.expect()
    client.send(data(0, b"ignored"), transfer)
    packet, _ = client.expect()
    assert (packet.opcode, packet.block) == (ACK, 0)
    client.send(data(1, b"kept"), transfer)
    packet, _ = client.expect()
    assert (packet.opcode, packet.block) == (ACK, 1)
    server.wait_closed(transfer)
    assert server.file("zero.bin").read_bytes() == b"kept"


def test_lost_packets_are_recovered_by_the_timeout(server):
    content = payload(2 * 512 + 10, seed=5)
    server.file("lossy.bin").write_bytes(content)
    reader, writer = server.endpoint(), server.endpoint()
    reader.send(rrq("lossy.bin"), (server.address, 69))
    writer.send(wrq("lossy-copy.bin"), (server.address, 69))
    first, read_transfer = reader.expect()
    packet, write_transfer = writer.expect()
    assert (packet.opcode, packet.block) == (ACK, 0)
    writer.send(data(1, content[:512]), write_transfer)
    first_ack, _ = writer.expect()
    assert (first_ack.opcode, first_ack.block) == (ACK, 1)
    # DATA 1 and ACK 1 are "lost"; the copies that follow the timeout carry on both sides.
    again, _ = reader.expect(server.timeout + 10)
    assert again.raw == first.raw
    packet, _ = writer.expect(server.timeout + 10)
    assert packet.raw == first_ack.raw
    received = bytearray(again.payload)
    for block in (2, 3):
        reader.send(ack(block - 1), read_transfer)
        packet, _ = reader.expect()
        assert (packet.opcode, packet.block) == (DATA, block)
        received += packet.payload
        writer.send(data(block, content[(block - 1) * 512 : block * 512]), write_transfer)
        packet, _ = writer.expect()
        assert (packet.opcode, packet.block) == (ACK, block)
    reader.send(ack(3), read_transfer)
    assert received == content
    server.wait_closed(read_transfer)
    server.wait_closed(write_transfer)
    assert server.file("lossy-copy.bin").read_bytes() == content
