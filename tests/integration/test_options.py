"""Option negotiation on the wire (RFC 2347, 2348, 2349, 7440), with NegotiateOptions on:
the OACK for each option alone and together, every malformed request, the UEFI size probe,
RFC 7440's lost block, duplicated and reordered packets in a window, the rollover with
1468-byte blocks, tsize against the free space; and a server without the setting, which
answers a request with options as before."""

import time

import pytest

from conftest import payload
from tftp_wire import ACK, DATA, ERROR, OACK, ack, data, error, error_bytes, oack, rrq, wrq

SIZE = 10 * 1468 + 77  # several windows of every size below, and a short last block


def negotiating(server_factory, **settings):
    return server_factory(negotiate=1, **settings)


def first_answer(server, request):
    """Sends `request` to port 69; answers the first packet and the transfer's address."""
    client = server.endpoint()
    client.send(request, (server.address, 69))
    packet, transfer = client.expect()
    return client, packet, transfer


# (id, options asked, OACK of a read, OACK of a write); "SIZE" stands for the file's size.
OPTION_ROWS = [
    ("blksize", {"blksize": 1024}, {"blksize": "1024"}, {"blksize": "1024"}),
    ("blksize-8", {"blksize": 8}, {"blksize": "8"}, {"blksize": "8"}),
    ("blksize-above-max", {"blksize": 9000}, {"blksize": "1468"}, {"blksize": "1468"}),
    ("timeout", {"timeout": 7}, {"timeout": "7"}, {"timeout": "7"}),
    ("tsize", {"tsize": "SIZE"}, {"tsize": "SIZE"}, {"tsize": "SIZE"}),
    ("windowsize", {"windowsize": 4}, {"windowsize": "4"}, {"windowsize": "4"}),
    ("windowsize-above-max", {"windowsize": 500}, {"windowsize": "64"}, {"windowsize": "64"}),
    (
        "together-in-any-case",
        {"WindowSize": 8, "TSIZE": "SIZE", "BlkSize": 1400, "Timeout": 2},
        {"windowsize": "8", "tsize": "SIZE", "blksize": "1400", "timeout": "2"},
        {"windowsize": "8", "tsize": "SIZE", "blksize": "1400", "timeout": "2"},
    ),
]


def filled(options: dict, size: int) -> dict:
    return {k: (str(size) if v == "SIZE" else v) for k, v in options.items()}


@pytest.mark.parametrize("asked, read_oack, write_oack",
                         [pytest.param(*row[1:], id=row[0]) for row in OPTION_ROWS])
def test_each_option_alone_and_together(server_factory, asked, read_oack, write_oack):
    server = negotiating(server_factory)
    content = payload(SIZE, seed=1)
    server.file("file.bin").write_bytes(content)

    reader = server.client()
    # A read asks tsize 0 and learns the size; a write announces its size and has it echoed.
    assert reader.get("file.bin", options=filled(asked, 0)) == content
    assert reader.oack == filled(read_oack, SIZE)

    writer = server.client()
    writer.put("copy.bin", content, options=filled(asked, SIZE))
    assert writer.oack == filled(write_oack, SIZE)
    server.wait_closed(writer.peer)
    assert server.file("copy.bin").read_bytes() == content


def test_blocks_have_exactly_the_granted_size_and_tsize_is_left_out_in_netascii(server_factory):
    server = negotiating(server_factory)
    text = b"line\n" * 500  # 2500 bytes, 3000 on the wire
    server.file("text.txt").write_bytes(text)
    client, packet, transfer = first_answer(
        server, rrq("text.txt", "netascii", {"tsize": 0, "blksize": 1000})
    )
    assert packet.raw == oack({"blksize": "1000"})
    blocks = []
    for block in range(1, 5):
        client.send(ack(block - 1), transfer)
        packet, _ = client.expect()
        assert (packet.opcode, packet.block) == (DATA, block)
        blocks.append(packet.payload)
    client.send(ack(4), transfer)
    assert [len(b) for b in blocks] == [1000, 1000, 1000, 0]
    assert b"".join(blocks) == text.replace(b"\n", b"\r\n")
    server.wait_closed(transfer)


# (id, bytes after the mode, OACK expected or None for DATA 1 as without options)
MALFORMED_ROWS = [
    ("unknown-option", b"colour\0blue\0blksize\x001024\0", {"blksize": "1024"}),
    ("value-without-terminator", b"blksize\x001024", None),
    ("name-without-value", b"blksize\0", None),
    ("empty-value", b"blksize\0\0timeout\x002\0", {"timeout": "2"}),
    ("sign", b"blksize\0+1024\0", None),
    ("space", b"blksize\0 1024\0", None),
    ("suffix", b"blksize\x001k\0", None),
    ("negative", b"windowsize\0-4\0", None),
    ("blksize-7", b"blksize\x007\0", None),
    ("blksize-65465", b"blksize\x0065465\0", None),
    ("timeout-0", b"timeout\x000\0", None),
    ("timeout-256", b"timeout\x00256\0", None),
    ("windowsize-0", b"windowsize\x000\0", None),
    ("windowsize-65536", b"windowsize\x0065536\0", None),
    ("tsize-beyond-64-bits", b"tsize\x0018446744073709551616\0", None),
    ("first-occurrence-counts", b"blksize\x001024\0BLKSIZE\x00800\0", {"blksize": "1024"}),
    ("first-malformed-counts", b"blksize\0big\0blksize\x001024\0", None),
    ("garbage-then-option", b"\x01\x02\0\xff\0timeout\x002\0", {"timeout": "2"}),
    ("garbage-without-pairs", b"\xff\xfe\xfd", None),
    ("padding-zeros", b"\0" * 40, None),
    ("one-good-one-bad", b"blksize\x0099999\0windowsize\x002\0", {"windowsize": "2"}),
]


@pytest.mark.parametrize("tail, expected", [pytest.param(*row[1:], id=row[0]) for row in MALFORMED_ROWS])
def test_malformed_options_are_left_out_and_never_fail_the_request(server_factory, tail, expected):
    server = negotiating(server_factory)
    content = payload(600, seed=2)
    server.file("a.bin").write_bytes(content)
    client, packet, transfer = first_answer(server, rrq("a.bin", tail=tail))
    if expected is None:
        # Nothing accepted: the transfer runs exactly as without negotiation.
        assert (packet.opcode, packet.block, packet.payload) == (DATA, 1, content[:512])
        client.send(ack(1), transfer)
        packet, _ = client.expect()
        assert (packet.opcode, packet.block, packet.payload) == (DATA, 2, content[512:])
        client.send(ack(2), transfer)
    else:
        assert packet.raw == oack(expected)
        client.send(ack(0), transfer)
        block_size = int(expected.get("blksize", 512))
        received, block = b"", 0
        while len(received) == block * block_size:
            block += 1
            packet, _ = client.expect()
            assert (packet.opcode, packet.block) == (DATA, block)
            received += packet.payload
            client.send(ack(block), transfer)
        assert received == content
    server.wait_closed(transfer)


@pytest.mark.parametrize("negotiate", [None, 0], ids=["absent", "zero"])
def test_without_negotiate_options_a_request_with_options_gets_data_1(server_factory, negotiate):
    server = server_factory(negotiate=negotiate)
    content = payload(1000, seed=3)
    server.file("a.bin").write_bytes(content)
    request = rrq("a.bin", options={"blksize": 1468, "tsize": 0, "windowsize": 8})
    client, packet, transfer = first_answer(server, request)
    assert packet.raw == data(1, content[:512])
    client.send(ack(1), transfer)
    packet, _ = client.expect()
    assert packet.raw == data(2, content[512:])
    client.send(ack(2), transfer)
    server.wait_closed(transfer)
    # A write with options gets ACK 0, and its blocks are 512 bytes as ever.
    client, packet, transfer = first_answer(server, wrq("b.bin", options={"blksize": 1468}))
    assert packet.raw == ack(0)
    client.send(data(1, payload(600, seed=3)), transfer)  # larger than any packet: dropped
    client.expect_none(0.5)
    client.send(data(1, b"short"), transfer)
    assert client.expect()[0].raw == ack(1)
    server.wait_closed(transfer)
    assert server.file("b.bin").read_bytes() == b"short"


def test_uefi_size_probe_declined_then_served(server_factory):
    server = negotiating(server_factory, logging=1)
    content = payload(3 * 1468 + 5, seed=4)
    server.file("bootx64.efi").write_bytes(content)
    # The probe: tsize and blksize, answered by ERROR 8 once the size is known.
    client, packet, transfer = first_answer(
        server, rrq("bootx64.efi", options={"tsize": 0, "blksize": 1468})
    )
    assert packet.raw == oack({"tsize": str(len(content)), "blksize": "1468"})
    client.send(error(8, "User aborted the transfer"), transfer)
    client.expect_none(1.0)
    server.wait_closed(transfer)
    # The download proper, without tsize.
    getter = server.client()
    assert getter.get("bootx64.efi", options={"blksize": 1468}) == content
    assert getter.oack == {"blksize": "1468"}
    server.wait_closed(getter.peer)
    server.stop()
    lines = server.log_path.read_bytes().split(b"\r\n")
    declined = [line for line in lines if b"Options declined by the client" in line]
    assert len(declined) == 1 and declined[0].startswith(b"E")
    assert sum(b"Transfer successful" in line for line in lines) == 1
    # No event beyond the start and the stop.
    events = server.events_path.read_text()
    assert "0xC" not in events


def windowed_read(server, name, window, extra=None):
    """Starts a read with `window` (and `extra` options) and answers (client, transfer)
    once the OACK has been acknowledged."""
    client, packet, transfer = first_answer(
        server, rrq(name, options={"windowsize": window, **(extra or {})})
    )
    assert packet.opcode == OACK
    client.send(ack(0), transfer)
    return client, transfer


def expect_blocks(client, numbers, content, block_size=512):
    for number in numbers:
        packet, _ = client.expect()
        start = (number - 1) * block_size
        assert (packet.opcode, packet.block) == (DATA, number & 0xFFFF)
        assert packet.payload == content[start : start + block_size]


def test_rfc7440_example_with_a_lost_block(server_factory):
    server = negotiating(server_factory)
    content = payload(12 * 512 + 100, seed=5)  # 13 blocks
    server.file("w.bin").write_bytes(content)
    client, transfer = windowed_read(server, "w.bin", 4)
    expect_blocks(client, [1, 2, 3, 4], content)
    client.send(ack(4), transfer)
    expect_blocks(client, [5, 6, 7, 8], content)  # 6 "lost" on the way
    client.send(ack(5), transfer)
    expect_blocks(client, [6, 7, 8, 9], content)  # the window starts over after 5
    client.expect_none(0.5)
    client.send(ack(9), transfer)
    expect_blocks(client, [10, 11, 12, 13], content)
    client.send(ack(13), transfer)
    server.wait_closed(transfer)


def test_duplicated_and_reordered_acks_send_nothing(server_factory):
    server = negotiating(server_factory, timeout=2)
    content = payload(12 * 512 + 100, seed=6)
    server.file("w.bin").write_bytes(content)
    client, transfer = windowed_read(server, "w.bin", 4)
    expect_blocks(client, [1, 2, 3, 4], content)
    client.send(ack(4), transfer)
    expect_blocks(client, [5, 6, 7, 8], content)
    # The same ACK again, and ACKs of earlier windows arriving late: nothing is sent.
    for late in (4, 4, 2, 0, 3):
        client.send(ack(late), transfer)
    client.expect_none(1.0)
    client.send(ack(8), transfer)
    expect_blocks(client, [9, 10, 11, 12], content)
    # A timeout sends the window again from the first block not acknowledged.
    client.send(ack(10), transfer)
    expect_blocks(client, [11, 12, 13], content)
    expect_blocks(client, [11, 12, 13], content)
    client.send(ack(13), transfer)
    client.expect_none(0.5)
    server.wait_closed(transfer)


def test_write_window_out_of_order_and_duplicated_data(server_factory):
    server = negotiating(server_factory, timeout=2)
    content = payload(9 * 512 + 50, seed=7)  # 10 blocks
    block = lambda n: data(n, content[(n - 1) * 512 : n * 512])  # noqa: E731
    client, packet, transfer = first_answer(server, wrq("w.bin", options={"windowsize": 4}))
    assert packet.raw == oack({"windowsize": "4"})
    for n in (1, 2, 3, 4):
        client.send(block(n), transfer)
    packet, _ = client.expect()
    assert packet.raw == ack(4)  # one ACK per full window
    client.expect_none(0.3)
    # Block 6 lost: 7 is out of order, discarded and answered with the last block in order.
    client.send(block(5), transfer)
    client.send(block(7), transfer)
    packet, _ = client.expect()
    assert packet.raw == ack(5)
    # The window again from 6, with a repeated 6 among it, answered at once.
    for n in (6, 6, 7, 8, 9):
        client.send(block(n), transfer)
    assert client.expect()[0].raw == ack(6)
    client.expect_none(0.5)
    # The rest of the window is lost: a timeout acknowledges what came of it, the next one
    # sends that ACK again.
    for _ in range(2):
        assert client.expect(server.timeout + 2)[0].raw == ack(9)
    client.send(block(10), transfer)
    packet, _ = client.expect()
    assert packet.raw == ack(10)
    server.wait_closed(transfer)
    assert server.file("w.bin").read_bytes() == content


@pytest.mark.slow
def test_rollover_with_1468_byte_blocks_both_ways(server_factory):
    server = negotiating(server_factory)
    content = payload(65537 * 1468 + 11, seed=8)  # past block 65535, 0 and 1
    server.file("big.bin").write_bytes(content)
    for options in ({"blksize": 1468}, {"blksize": 1468, "windowsize": 7}):
        client = server.client()
        assert client.get("big.bin", options=options) == content
        assert client.oack == {k: str(v) for k, v in options.items()}
        server.wait_closed(client.peer)
        writer = server.client()
        writer.put("copy.bin", content, options={**options, "tsize": len(content)})
        server.wait_closed(writer.peer)
        assert server.file("copy.bin").read_bytes() == content
        server.file("copy.bin").unlink()


def test_timeout_option_replaces_the_setting(server_factory):
    server = negotiating(server_factory, timeout=5, max_retransmit=1)
    server.file("a.bin").write_bytes(payload(100, seed=9))
    client, packet, transfer = first_answer(server, rrq("a.bin", options={"timeout": 1}))
    assert packet.raw == oack({"timeout": "1"})
    started = time.monotonic()
    again, _ = client.expect(4)  # the OACK, sent again after one second
    assert again.raw == packet.raw
    assert 0.5 < time.monotonic() - started < 2.5
    server.wait_closed(transfer)


def test_tsize_beyond_the_free_space_refuses_a_write_before_any_data(server_factory):
    server = negotiating(server_factory, disk_size=1 << 20)
    client, packet, transfer = first_answer(server, wrq("huge.bin", options={"tsize": 4 << 20}))
    assert packet.raw == error_bytes(3, "Disk full or allocation exceeded")
    server.wait_closed(transfer)
    assert not server.file("huge.bin").exists()
    content = payload(100 << 10, seed=10)
    writer = server.client()
    writer.put("fits.bin", content, options={"tsize": len(content)})
    assert writer.oack == {"tsize": str(len(content))}
    server.wait_closed(writer.peer)
    assert server.file("fits.bin").read_bytes() == content


def test_blksize_within_the_interface_mtu_and_larger_datagrams_dropped(server_factory):
    server = negotiating(server_factory, max_block_size=65464)
    result = server.run(["ip", "link", "set", "lo", "mtu", "1200"])
    assert result.returncode == 0, result.stderr
    server.file("a.bin").write_bytes(payload(5000, seed=11))
    client, packet, transfer = first_answer(server, rrq("a.bin", options={"blksize": 65464}))
    assert packet.raw == oack({"blksize": str(1200 - 32)})
    client.send(error(0, "enough"), transfer)
    server.wait_closed(transfer)
    # On a write, a DATA larger than the granted block is dropped unanswered.
    client, packet, transfer = first_answer(server, wrq("b.bin", options={"blksize": 1000}))
    assert packet.raw == oack({"blksize": "1000"})
    client.send(data(1, b"x" * 1001), transfer)
    client.expect_none(0.5)
    client.send(data(1, b"y" * 1000), transfer)
    assert client.expect()[0].raw == ack(1)
    client.send(data(2, b"end"), transfer)
    assert client.expect()[0].raw == ack(2)
    server.wait_closed(transfer)
    assert server.file("b.bin").read_bytes() == b"y" * 1000 + b"end"


# A route whose MTU is below the interface's: blocks larger than it still arrive, fragmented,
# after the transfer's first small packets; so do 512-byte blocks over a route set below the
# smallest MTU a path learns (552).
@pytest.mark.parametrize("route_mtu, options", [(1000, {"blksize": 1468}), (500, {})])
def test_blocks_larger_than_the_path_mtu_are_fragmented(server_factory, route_mtu, options):
    server = negotiating(server_factory)
    argv = ["ip", "route", "replace", "local", "127.0.0.1", "dev", "lo", "table", "local",
            "mtu", "lock", str(route_mtu)]
    result = server.run(argv)
    assert result.returncode == 0, result.stderr
    content = payload(3 * 1468 + 7, seed=12)
    server.file("a.bin").write_bytes(content)
    client = server.client()
    assert client.get("a.bin", options=options) == content
