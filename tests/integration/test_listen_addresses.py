"""ListenAddresses: only the addresses that its entries stand for get a port-69 socket; an
entry without a local address is reported, a malformed one stops the start by name."""

import time

import pytest

from conftest import payload

# 127.0.0.1 and 127.0.0.2 on lo, 10.9.0.1 and 10.9.0.2 on dum0, one end of a veth pair.
DUMMY = ["10.9.0.1", "10.9.0.2"]


def add_dummy(server):
    for argv in (["ip", "link", "add", "dum0", "type", "veth", "peer", "name", "dum1"],
                 *(["ip", "addr", "add", f"{a}/24", "dev", "dum0"] for a in DUMMY),
                 ["ip", "link", "set", "dum0", "up"], ["ip", "link", "set", "dum1", "up"]):
        assert server.run(argv, timeout=10).returncode == 0, argv


def events(server, name):
    path = server.events_path
    return [line for line in path.read_text().splitlines() if name in line] if path.exists() else []


# Single-port mode and the transfer port range serve the addresses kept as any other.
@pytest.mark.parametrize("entries, served, absent, settings", [
    (["127.0.0.2"], {"127.0.0.2"}, [], {"single_port": 1}),
    (["dum0"], set(DUMMY), [], {"transfer_port_low": 40000, "transfer_port_high": 40009}),
    ([" 127.0.0.1", "DUM0", "eth9"], {"127.0.0.1", *DUMMY}, ["eth9"], {}),
], ids=["address", "interface", "no-such-interface"])
def test_only_the_listed_addresses_are_served(server_factory, entries, served, absent, settings):
    server = server_factory(addresses=("127.0.0.2",), listen_addresses=entries, start=False,
                            **settings)
    add_dummy(server)
    server.file("a.bin").write_bytes(payload(700))
    server.start(wait_ready=False)
    deadline = time.monotonic() + 10
    while server.listener_addresses() != served:
        assert time.monotonic() < deadline, server.listener_addresses()
        assert server.process.poll() is None, server.output()
        time.sleep(0.02)
    for address in served:
        assert server.get("a.bin", address=address) == payload(700)
    reports = events(server, "EVENT_LISTEN_ADDRESS_ABSENT")
    assert [r.split("(ListenAddresses: ")[1] for r in reports] == [
        f"{entry} matches no local address)" for entry in absent]


def test_a_malformed_entry_stops_the_start(server_factory):
    server = server_factory(listen_addresses=["127.0.0.1", "10.0.0.300"], start=False)
    server.start(wait_ready=False)
    assert server.wait_exit(timeout=20) == 0
    assert not server.listener_addresses()
    failed = events(server, "EVENT_INIT_FAILED")
    assert len(failed) == 1 and '(ListenAddresses: "10.0.0.300" is not an IP address)' in failed[0]
