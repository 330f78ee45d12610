"""The transfer port range: every transfer answers from a port of TransferPortLow..High, a
request waits while all of them are held, and a range that cannot be meant stops the start."""

import threading
import time

import pytest

from clients import fetch_argv
from conftest import payload
from tftp_wire import DATA, ack, error, rrq

LOW = 40000


def test_transfers_take_the_free_ports_of_the_range_in_turn(server_factory):
    server = server_factory(transfer_port_low=LOW, transfer_port_high=LOW + 9)
    server.file("a.bin").write_bytes(payload(100))
    held_elsewhere = server.endpoint(server.address, LOW + 3)  # the server passes it over
    client = server.endpoint()
    ports = []
    for _ in range(12):
        client.send(rrq("a.bin"), (server.address, 69))
        packet, transfer = client.expect()
        assert (packet.opcode, packet.block) == (DATA, 1)
        client.send(ack(1), transfer)
        server.wait_closed(transfer)  # its port is free before the cursor comes round
        ports.append(transfer[1])
    assert set(ports) <= set(range(LOW, LOW + 10)) - {LOW + 3}, ports
    # Round the range: each free port once before the first comes again.
    assert len(set(ports[:9])) == 9 and ports[9:] == ports[:3], ports
    held_elsewhere.close()


def test_two_ports_serve_five_downloads_at_once(server_factory):
    server = server_factory(transfer_port_low=LOW, transfer_port_high=LOW + 1)
    content = payload(2 << 20, seed=5)
    server.file("big.bin").write_bytes(content)
    clients = ["tftp-hpa", "curl", "tftp-hpa", "curl", "tftp-hpa"]
    results = [None] * len(clients)

    def fetch(index):
        argv = fetch_argv(server, clients[index], "big.bin", f"copy{index}.bin")
        results[index] = server.run(argv, timeout=120, capture_output=True)

    threads = [threading.Thread(target=fetch, args=(k,)) for k in range(len(clients))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for index, result in enumerate(results):
        assert result.returncode == 0, (clients[index], result.stderr)
        assert (server.work / f"copy{index}.bin").read_bytes() == content, clients[index]


def test_a_request_waits_for_a_port_until_one_frees_or_the_stop(server_factory):
    server = server_factory(transfer_port_low=LOW, transfer_port_high=LOW, timeout=10, logging=1)
    server.file("a.bin").write_bytes(payload(1000))
    first, second, third = (server.endpoint() for _ in range(3))
    first.send(rrq("a.bin"), (server.address, 69))
    _, holder = first.expect()
    second.send(rrq("a.bin"), (server.address, 69))
    second.expect_none(within=1.0)  # no port is free: no answer, and no refusal

    first.send(error(0, b"enough"), holder)  # ends the first transfer and frees its port
    freed = time.monotonic()
    packet, transfer = second.expect(timeout=2.0)
    assert time.monotonic() - freed < 1.0
    assert (packet.opcode, packet.block, transfer[1]) == (DATA, 1, LOW)

    # A wait that the stop ends leaves its line like any transfer (without the file, which a
    # transfer opens once it has its socket).
    third.send(rrq("a.bin"), (server.address, 69))
    third.expect_none(within=0.5)
    assert server.stop() == 0
    lines = [line for line in server.log_path.read_bytes().split(b"\r\n") if b"127.0.0.1" in line]
    assert len(lines) == 3, lines


INVALID_RANGES = {
    "below 1024": ((900, 2000), "TransferPortLow 900, TransferPortHigh 2000"),
    "low above high": ((5001, 5000), "TransferPortLow 5001, TransferPortHigh 5000"),
    "above 65535": ((5000, 65536), "TransferPortLow 5000, TransferPortHigh 65536"),
    "low alone": ((5000, None), "TransferPortLow 5000, TransferPortHigh absent"),
    "high alone": ((None, 5000), "TransferPortLow absent, TransferPortHigh 5000"),
}


@pytest.mark.parametrize("ports, shown", INVALID_RANGES.values(), ids=INVALID_RANGES.keys())
def test_an_invalid_range_fails_the_start(server_factory, ports, shown):
    low, high = ports
    server = server_factory(transfer_port_low=low, transfer_port_high=high, wait_ready=False)
    assert server.wait_exit(timeout=30) == 0
    events = server.events_path.read_text(encoding="latin-1")
    assert "0xC0000003 EVENT_INIT_FAILED" in events, events
    assert f"(invalid transfer port range: {shown} " in events, events
