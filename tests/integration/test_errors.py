"""Requests that fail: the one ERROR packet on the wire (code, text, exact bytes), sent from
the transfer's own port on the address that received the request, and then the end of the
transfer."""

import os
import socket

import pytest

from conftest import payload
from tftp_wire import ERROR, ack, data, error, error_bytes, rrq, wrq


def make_tree(directory):
    (directory / "exists.bin").write_bytes(b"old content")
    (directory / "adir").mkdir()
    os.mkfifo(directory / "afifo")
    unix = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    unix.bind(str(directory / "asock"))
    unix.close()


# (name, datagram sent to port 69, code, text)
REQUEST_ERRORS = [
    ("missing file", rrq("nosuch.bin"), 1, "File not found"),
    ("missing directory, read", rrq("nodir/x.bin"), 0, "Invalid directory"),
    ("missing directory, write", wrq("nodir/x.bin"), 0, "Invalid directory"),
    ("existing file, write", wrq("exists.bin"), 6, "File exists"),
    ("existing file in other case, write", wrq("EXISTS.BIN"), 6, "File exists"),
    ("directory", rrq("adir"), 2, "Access denied"),
    ("fifo", rrq("afifo"), 2, "Access denied"),
    ("unix socket", rrq("asock"), 2, "Access denied"),
    ("character device", rrq("/dev/zero"), 2, "Access denied"),
    ("opcode DATA", data(1, b"hello"), 4, "Illegal opcode"),
    ("opcode ACK", ack(1), 4, "Illegal opcode"),
    ("opcode ERROR", error(0, "nothing"), 4, "Illegal opcode"),
    ("opcode 0", b"\0\0name\0octet\0", 4, "Illegal opcode"),
    ("opcode 6", b"\0\6name\0octet\0", 4, "Illegal opcode"),
    ("opcode 0xffff", b"\xff\xffname\0octet\0", 4, "Illegal opcode"),
]


@pytest.mark.parametrize(
    "datagram, code, text", [row[1:] for row in REQUEST_ERRORS], ids=[row[0] for row in REQUEST_ERRORS]
)
def test_request_error_on_the_wire(server, datagram, code, text):
    make_tree(server.directory)
    client = server.endpoint()
    client.send(datagram, (server.address, 69))
    packet, peer = client.expect()
    assert packet.raw == error_bytes(code, text)
    assert len(packet.raw) == 4 + len(text) + 1
    assert peer[0] == server.address and peer[1] != 69
    # One ERROR and the transfer is over: its socket is closed, nothing follows.
    server.wait_closed(peer)
    client.expect_none(0.3)
    assert server.file("exists.bin").read_bytes() == b"old content"


def test_read_during_a_write_is_a_sharing_violation(server):
    writer = server.endpoint()
    writer.send(wrq("growing.bin"), (server.address, 69))
    packet, transfer = writer.expect()
    assert (packet.opcode, packet.block) == (4, 0)
    writer.send(data(1, payload(512, seed=1)), transfer)
    packet, _ = writer.expect()
    assert (packet.opcode, packet.block) == (4, 1)

    reader = server.endpoint()
    reader.send(rrq("growing.bin"), (server.address, 69))
    packet, peer = reader.expect()
    assert packet.raw == error_bytes(0, "Sharing violation")
    server.wait_closed(peer)

    # The write goes on undisturbed and the file is whole afterwards.
    writer.send(data(2, b"tail"), transfer)
    packet, _ = writer.expect()
    assert (packet.opcode, packet.block) == (4, 2)
    server.wait_closed(transfer)
    assert server.file("growing.bin").read_bytes() == payload(512, seed=1) + b"tail"
    assert server.get("growing.bin") == payload(512, seed=1) + b"tail"


def test_write_of_a_file_being_read_is_refused_and_the_read_goes_on(server_factory):
    server = server_factory(overwrite=2)  # CREATE_ALWAYS: the refusal is the sharing rule
    content = payload(3 * 512, seed=2)
    server.file("busy.bin").write_bytes(content)
    reader = server.endpoint()
    reader.send(rrq("busy.bin"), (server.address, 69))
    first, transfer = reader.expect()
    assert (first.opcode, first.block) == (3, 1)

    writer = server.endpoint()
    writer.send(wrq("busy.bin"), (server.address, 69))
    packet, peer = writer.expect()
    assert packet.raw == error_bytes(0, "Sharing violation")
    server.wait_closed(peer)

    received = bytearray(first.payload)
    for block in range(1, 5):
        reader.send(ack(block), transfer)
        if block < 4:
            packet, _ = reader.expect()
            assert (packet.opcode, packet.block) == (3, block + 1)
            received += packet.payload
    assert bytes(received) == content
    assert server.file("busy.bin").read_bytes() == content


def test_name_of_261_characters_gets_no_answer(server):
    # Resolves to a short path, so only the length of the name itself can refuse it.
    name = "./" * 127 + "abcdefg"
    assert len(name) == 261
    server.file("abcdefg").write_bytes(b"unreachable")
    client = server.endpoint()
    client.send(rrq(name), (server.address, 69))
    client.expect_none(1.5)
    client.send(wrq(name), (server.address, 69))
    client.expect_none(1.5)
    assert server.get("abcdefg") == b"unreachable"


def test_name_of_260_characters_is_served(server):
    name = "./" * 127 + "abcdef"
    assert len(name) == 260
    content = payload(700, seed=3)
    server.file("abcdef").write_bytes(content)
    assert server.get(name) == content
    server.put(name.replace("abcdef", "uvwxyz"), content)
    assert server.file("uvwxyz").read_bytes() == content


def test_full_path_too_long_for_the_buffer_gets_no_answer(server):
    # A short enough name whose full path exceeds 259 characters.
    name = "x" * (259 - len(str(server.directory)))
    client = server.endpoint()
    client.send(rrq(name), (server.address, 69))
    client.expect_none(1.5)
    server.file("short.bin").write_bytes(b"still serving")
    assert server.get("short.bin") == b"still serving"


@pytest.mark.parametrize(
    "side, wrong, code, text",
    [
        ("read", ack(7), 0, "Bad block number"),
        ("read", ack(2), 0, "Bad block number"),
        ("read", data(1, b"x"), 4, "Illegal opcode"),
        ("read", rrq("file.bin"), 4, "Illegal opcode"),
        ("write", data(2, b"x"), 0, "Bad block number"),
        ("write", data(0x8000, b"x"), 0, "Bad block number"),
        ("write", ack(0), 4, "Illegal opcode"),
        ("write", wrq("other.bin"), 4, "Illegal opcode"),
    ],
)
def test_wrong_packet_within_a_transfer(server, side, wrong, code, text):
    server.file("file.bin").write_bytes(payload(2000, seed=4))
    client = server.endpoint()
    if side == "read":
        client.send(rrq("file.bin"), (server.address, 69))
        expected_first = (3, 1)
    else:
        client.send(wrq("new.bin"), (server.address, 69))
        expected_first = (4, 0)
    packet, transfer = client.expect()
    assert (packet.opcode, packet.block) == expected_first
    client.send(wrong, transfer)
    packet, peer = client.expect()
    assert peer == transfer
    assert packet.opcode == ERROR
    assert packet.raw == error_bytes(code, text)
    server.wait_closed(transfer)
    if side == "write":
        assert not server.file("new.bin").exists()


@pytest.mark.parametrize("side", ["read", "write"])
def test_packet_from_behind_is_ignored_and_the_transfer_goes_on(server, side):
    # Block 65535 comes before block 0 and 1: a late copy, as networks deliver, not an error.
    content = payload(700, seed=6)
    client = server.endpoint()
    if side == "read":
        server.file("file.bin").write_bytes(content)
        client.send(rrq("file.bin"), (server.address, 69))
        packet, transfer = client.expect()
        client.send(ack(0xFFFF), transfer)
        client.expect_none(0.5)
        client.send(ack(1), transfer)
        packet, _ = client.expect()
        assert (packet.opcode, packet.block, packet.payload) == (3, 2, content[512:])
        client.send(ack(2), transfer)
    else:
        client.send(wrq("new.bin"), (server.address, 69))
        packet, transfer = client.expect()
        client.send(data(0xFFFF, b"x"), transfer)
        client.expect_none(0.5)
        client.send(data(1, content[:100]), transfer)
        packet, _ = client.expect()
        assert (packet.opcode, packet.block) == (4, 1)
    server.wait_closed(transfer)
    if side == "write":
        assert server.file("new.bin").read_bytes() == content[:100]


@pytest.mark.parametrize("side, ahead", [("read", ack(7)), ("write", data(3, b"x"))])
def test_with_ignore_blocks_ahead_a_block_ahead_is_ignored(server_factory, side, ahead):
    server = server_factory(ignore_blocks_ahead=1)
    content = payload(700, seed=6)
    client = server.endpoint()
    if side == "read":
        server.file("file.bin").write_bytes(content)
        client.send(rrq("file.bin"), (server.address, 69))
    else:
        client.send(wrq("new.bin"), (server.address, 69))
    packet, transfer = client.expect()
    client.send(ahead, transfer)
    client.expect_none(0.5)
    if side == "read":
        client.send(ack(1), transfer)
        assert client.expect()[0].block == 2
        client.send(ack(2), transfer)
    else:
        client.send(data(1, content[:100]), transfer)
        assert client.expect()[0].raw == ack(1)
    server.wait_closed(transfer)
    if side == "write":
        assert server.file("new.bin").read_bytes() == content[:100]


@pytest.mark.parametrize("side", ["read", "write"])
def test_with_ignore_request_copies_a_copy_of_the_request_is_dropped(server_factory, side):
    # A network that duplicates the request starts no second transfer, which for a write would
    # meet the first one's file and send the client "Sharing violation".
    server = server_factory(ignore_request_copies=1)
    content = payload(600, seed=7)
    server.file("file.bin").write_bytes(content)
    request = rrq("file.bin") if side == "read" else wrq("new.bin")
    client = server.endpoint()
    client.send(request, (server.address, 69))
    client.send(request, (server.address, 69))
    packet, transfer = client.expect()
    client.expect_none(0.5)
    if side == "read":
        client.send(ack(1), transfer)
        assert client.expect()[0].payload == content[512:]
        client.send(ack(2), transfer)
    else:
        client.send(data(1, b"kept"), transfer)
        assert client.expect()[0].raw == ack(1)
    server.wait_closed(transfer)
    if side == "write":
        assert server.file("new.bin").read_bytes() == b"kept"


def test_with_dally_after_write_a_repeated_last_data_draws_the_final_ack_again(server_factory):
    server = server_factory(dally_after_write=1, timeout=2)
    client = server.endpoint()
    client.send(wrq("new.bin"), (server.address, 69))
    transfer = client.expect()[1]
    client.send(data(1, b"last"), transfer)
    assert client.expect()[0].raw == ack(1)
    assert server.file("new.bin").read_bytes() == b"last"  # stored before the wait
    client.send(data(1, b"last"), transfer)
    assert client.expect()[0].raw == ack(1)
    client.send(ack(1), transfer)  # anything else draws nothing
    client.expect_none(0.5)
    server.wait_closed(transfer)


def test_disk_full_on_a_write(server_factory):
    server = server_factory(disk_size=64 * 1024)
    content = payload(256 * 1024, seed=5)
    client = server.endpoint()
    client.send(wrq("huge.bin"), (server.address, 69))
    block = 0
    while True:
        packet, transfer = client.expect()
        if packet.opcode == ERROR:
            break
        assert (packet.opcode, packet.block) == (4, block)
        block += 1
        assert block * 512 <= len(content), "the whole file fit on the small disk"
        client.send(data(block, content[(block - 1) * 512 : block * 512]), transfer)
    assert packet.raw == error_bytes(3, "Disk full")
    server.wait_closed(transfer)
    # A failed upload leaves nothing behind, and its room is free again.
    assert list(server.directory.iterdir()) == []
    server.put("small.bin", content[:1000])
    assert server.file("small.bin").read_bytes() == content[:1000]
