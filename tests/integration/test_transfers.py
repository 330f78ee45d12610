"""Whole octet transfers with real clients and the raw client, bytes compared."""

import pytest

import clients
from tftp_wire import ack, rrq
from conftest import payload

SIZES = [0, 1, 511, 512, 513, 1 << 20]
SIZE_IDS = ["0", "1", "511", "512", "513", "1MiB"]
ROLLOVER_SIZE = 40 << 20  # 81920 blocks: the block number wraps past 65535


@pytest.mark.parametrize("size", SIZES, ids=SIZE_IDS)
@pytest.mark.parametrize("client", clients.CLIENTS)
def test_real_client_reads(server, client, size):
    content = payload(size, seed=size)
    server.file("source.bin").write_bytes(content)
    result = clients.fetch(server, client, "source.bin", "copy.bin")
    assert result.returncode == 0, result.stderr
    assert (server.work / "copy.bin").read_bytes() == content


@pytest.mark.parametrize("size", SIZES, ids=SIZE_IDS)
@pytest.mark.parametrize("client", clients.CLIENTS)
def test_real_client_writes(server, client, size):
    content = payload(size, seed=size + 1)
    (server.work / "upload.bin").write_bytes(content)
    result = clients.store(server, client, "upload.bin", "stored.bin")
    assert result.returncode == 0, result.stderr
    assert server.file("stored.bin").read_bytes() == content


def test_rollover_read(server):
    content = payload(ROLLOVER_SIZE, seed=40)
    server.file("big.bin").write_bytes(content)
    result = clients.fetch(server, "tftp-hpa", "big.bin", "big.bin")
    assert result.returncode == 0, result.stderr
    assert (server.work / "big.bin").read_bytes() == content


def test_rollover_write(server):
    content = payload(ROLLOVER_SIZE, seed=41)
    (server.work / "big.bin").write_bytes(content)
    result = clients.store(server, "curl", "big.bin", "big.bin")
    assert result.returncode == 0, result.stderr
    assert server.file("big.bin").read_bytes() == content


def test_file_of_65535_blocks_ends_with_an_empty_block_zero(server):
    # 65535 full blocks: the empty block that ends the transfer is the 65536th, number 0.
    # The raw client checks every block number it receives and sends.
    content = payload(65535 * 512, seed=42)
    server.file("wrap.bin").write_bytes(content)
    assert server.get("wrap.bin") == content
    server.put("wrap-copy.bin", content)
    assert server.file("wrap-copy.bin").read_bytes() == content


@pytest.mark.parametrize("mode", ["octet", "OCTET", "Octet", "oCtEt"])
def test_octet_mode_in_any_case_moves_bytes_unchanged(server, mode):
    content = b"line\r\nbare cr\r bare lf\n nul\0 end\r" + payload(700, seed=7)
    server.file("text.bin").write_bytes(content)
    assert server.get("text.bin", mode=mode) == content
    server.put("back.bin", content, mode=mode)
    assert server.file("back.bin").read_bytes() == content


@pytest.mark.parametrize(
    "request_name, stored_name",
    [
        ("Boot/Image.BIN", "boot/image.bin"),
        ("Boot\\Image.BIN", "boot/image.bin"),
        ("BOOT\\\\image.bin", "boot/image.bin"),
        ("./boot/../boot/image.bin", "boot/image.bin"),
    ],
)
def test_names_are_resolved_and_lower_cased(server, request_name, stored_name):
    server.file("boot").mkdir()
    content = payload(1500, seed=3)
    server.file(stored_name).write_bytes(content)
    assert server.get(request_name) == content


def test_a_written_file_gets_the_lower_cased_name(server):
    server.file("up").mkdir()
    content = payload(900, seed=4)
    server.put("Up\\New.BIN", content)
    assert sorted(p.name for p in server.file("up").iterdir()) == ["new.bin"]
    assert server.file("up/new.bin").read_bytes() == content


def test_absolute_names_are_served_without_confinement(server):
    content = payload(600, seed=5)
    server.file("abs.bin").write_bytes(content)
    assert server.get(str(server.file("abs.bin"))) == content


def test_two_readers_share_a_file(server):
    content = payload(5 * 512 + 17, seed=6)
    server.file("shared.bin").write_bytes(content)
    # Interleave two read transfers block by block: each must see the whole file.
    readers = [server.endpoint() for _ in range(2)]
    tids = [None, None]
    received = [bytearray(), bytearray()]
    for index, reader in enumerate(readers):
        reader.send(rrq("shared.bin"), (server.address, 69))
    for block in range(1, 7):
        for index, reader in enumerate(readers):
            packet, peer = reader.expect()
            assert (packet.opcode, packet.block) == (3, block), packet
            tids[index] = peer
            received[index] += packet.payload
        for index, reader in enumerate(readers):
            reader.send(ack(block), tids[index])
    assert received == [content, content]


def test_a_file_can_be_read_back_and_replaced_right_after_its_transfer(server_factory):
    # The last ACK of a write and the last DATA of a read go out after the file is let go, so
    # that the client's next request for the same file never meets a sharing violation.
    server = server_factory(overwrite=2)
    for round_number in range(20):
        content = payload(700 + round_number, seed=round_number)
        server.put("again.bin", content)
        assert server.get("again.bin") == content
