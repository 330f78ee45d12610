"""Datagrams that arrive within a running transfer: from a stranger (another port), an ERROR
from the client, oversized and undersized datagrams. None of them may break the transfer
except the client's own ERROR."""

import pytest

from conftest import payload
from tftp_wire import ACK, DATA, ack, data, error, error_bytes, rrq, wrq

UNKNOWN_TID = error_bytes(5, "Unknown transfer identifier")


def start_read(server, name="file.bin", size=3 * 512 + 5, seed=1):
    content = payload(size, seed=seed)
    server.file(name).write_bytes(content)
    client = server.endpoint()
    client.send(rrq(name), (server.address, 69))
    packet, transfer = client.expect()
    assert (packet.opcode, packet.block) == (DATA, 1)
    return client, transfer, content, bytearray(packet.payload)


def finish_read(client, transfer, received, content):
    """Acknowledges DATA 1 and reads on to the end; checks the whole content."""
    block = 1
    last = len(received) < 512
    while not last:
        client.send(ack(block), transfer)
        packet, peer = client.expect()
        assert peer == transfer
        assert (packet.opcode, packet.block) == (DATA, (block + 1) & 0xFFFF), packet
        received += packet.payload
        block += 1
        last = len(packet.payload) < 512
    client.send(ack(block), transfer)
    assert bytes(received) == content


def start_write(server, name="new.bin"):
    client = server.endpoint()
    client.send(wrq(name), (server.address, 69))
    packet, transfer = client.expect()
    assert (packet.opcode, packet.block) == (ACK, 0)
    return client, transfer


def send_blocks(client, transfer, content):
    """Writes `content` block by block, each acknowledged by the transfer."""
    blocks = [content[i : i + 512] for i in range(0, len(content) + 1, 512)]
    for number, block in enumerate(blocks, start=1):
        client.send(data(number, block), transfer)
        packet, peer = client.expect()
        assert peer == transfer
        assert (packet.opcode, packet.block) == (ACK, number), packet


STRANGER_SIZES = [0, 2, 4, 5, 100, 516]


@pytest.mark.parametrize("size", STRANGER_SIZES)
def test_stranger_gets_unknown_transfer_identifier_and_the_read_goes_on(server, size):
    client, transfer, content, received = start_read(server)
    stranger = server.endpoint()
    stranger.send((ack(1) + bytes(512))[:size], transfer)
    packet, peer = stranger.expect()
    assert peer == transfer
    assert packet.raw == UNKNOWN_TID and len(packet.raw) == 32
    client.expect_none(0.3)
    finish_read(client, transfer, received, content)
    server.wait_closed(transfer)


@pytest.mark.parametrize("size", STRANGER_SIZES)
def test_stranger_gets_unknown_transfer_identifier_and_the_write_goes_on(server, size):
    client, transfer = start_write(server)
    stranger = server.endpoint()
    stranger.send(data(1, b"S" * 512)[:size], transfer)
    packet, peer = stranger.expect()
    assert peer == transfer
    assert packet.raw == UNKNOWN_TID
    client.expect_none(0.3)
    content = payload(1000, seed=2)
    send_blocks(client, transfer, content)
    server.wait_closed(transfer)
    assert server.file("new.bin").read_bytes() == content


@pytest.mark.parametrize("side", ["read", "write"])
def test_a_strangers_error_is_never_answered(server, side):
    # Two transfers answering each other's ERROR 5 would never stop: a forged ERROR from one
    # transfer's port to another's must get no answer at all.
    if side == "read":
        client, transfer, content, received = start_read(server)
    else:
        client, transfer = start_write(server)
    stranger = server.endpoint()
    stranger.send(UNKNOWN_TID, transfer)
    stranger.send(error(0, "x"), transfer)
    stranger.expect_none(0.5)
    client.expect_none(0.1)
    if side == "read":
        finish_read(client, transfer, received, content)
    else:
        send_blocks(client, transfer, b"after")
        server.wait_closed(transfer)
        assert server.file("new.bin").read_bytes() == b"after"


@pytest.mark.parametrize("side", ["read", "write"])
def test_stranger_with_an_oversized_datagram_gets_no_answer_and_the_transfer_goes_on(server, side):
    if side == "read":
        client, transfer, content, received = start_read(server)
        oversized = ack(1) + b"\0" * 596
    else:
        client, transfer = start_write(server)
        oversized = data(1, b"S" * 596)
    stranger = server.endpoint()
    stranger.send(oversized, transfer)  # 600 bytes: no TFTP packet is that long
    stranger.expect_none(0.5)
    client.expect_none(0.1)
    if side == "read":
        finish_read(client, transfer, received, content)
    else:
        content = payload(700, seed=7)
        send_blocks(client, transfer, content)
        server.wait_closed(transfer)
        assert server.file("new.bin").read_bytes() == content


def test_after_a_stranger_the_timeout_resends_the_clients_packet(server):
    client, transfer, content, received = start_read(server)
    first = bytes(received)
    stranger = server.endpoint()
    stranger.send(ack(1), transfer)
    assert stranger.expect()[0].raw == UNKNOWN_TID
    packet, peer = client.expect(server.timeout + 10)
    assert peer == transfer
    assert (packet.opcode, packet.block, packet.payload) == (DATA, 1, first)
    stranger.expect_none(0.3)
    finish_read(client, transfer, received, content)


@pytest.mark.parametrize("side", ["read", "write"])
def test_client_error_ends_the_transfer_without_reply(server, side):
    if side == "read":
        client, transfer, _, _ = start_read(server)
    else:
        client, transfer = start_write(server)
        client.send(data(1, payload(512, seed=3)), transfer)
        packet, _ = client.expect()
        assert (packet.opcode, packet.block) == (ACK, 1)
    client.send(error(0, "client gives up"), transfer)
    server.wait_closed(transfer)
    client.expect_none(0.3)
    if side == "write":
        # A file that a failed upload would have created is not there.
        assert not server.file("new.bin").exists()


@pytest.mark.parametrize("side", ["read", "write"])
def test_oversized_datagram_from_the_client_is_dropped(server, side):
    oversized = data(1, payload(600, seed=4))  # 604 bytes
    if side == "read":
        client, transfer, content, received = start_read(server)
        client.send(oversized, transfer)
        client.expect_none(min(1.0, server.timeout / 2))
        finish_read(client, transfer, received, content)
    else:
        client, transfer = start_write(server)
        client.send(oversized, transfer)
        client.expect_none(min(1.0, server.timeout / 2))
        content = payload(700, seed=5)
        send_blocks(client, transfer, content)
        server.wait_closed(transfer)
        assert server.file("new.bin").read_bytes() == content


@pytest.mark.parametrize("short", [b"", b"\0", b"\0\4", b"\0\4\0", b"\0\3\0"])
@pytest.mark.parametrize("side", ["read", "write"])
def test_undersized_datagram_from_the_client_is_ignored(server, side, short):
    # Without a whole block number it is no packet: no answer, and the transfer goes on from
    # where it was, as if it had never come.
    if side == "read":
        client, transfer, content, received = start_read(server)
    else:
        client, transfer = start_write(server)
    client.send(short, transfer)
    client.expect_none(0.5)
    if side == "read":
        finish_read(client, transfer, received, content)
    else:
        content = payload(600, seed=6)
        send_blocks(client, transfer, content)
        server.wait_closed(transfer)
        assert server.file("new.bin").read_bytes() == content
