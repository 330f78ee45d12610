"""IPv6 with EnableIPv6 1: every local IPv6 address is served, link-local ones with their scope,
each request answered from the address that received it; the log shows the full addresses.
Without the setting nothing listens on IPv6."""

from __future__ import annotations

import pytest

from conftest import payload
from tftp_wire import Client, rrq

# Long enough that the log's address columns overflow; "::1" fits as an IPv4 address does.
UNIQUE_LOCAL = "fd00:1111:2222:3333:4444:5555:6666:7777"
LINK_LOCAL = "fe80::1111:2222:3333:4444"
SERVED = (UNIQUE_LOCAL, LINK_LOCAL)

# (address as a client names it, the largest block the interface's MTU allows: 1500 of the
# veth pair or 65536 of the loopback, less 52 bytes of IPv6 and UDP headers)
CASES = {
    "loopback": ("::1", 65464),
    "unique-local": (UNIQUE_LOCAL, 1448),
    "link-local": (LINK_LOCAL + "%veth0", 1448),
}


def log_line(client: str, local: str, operation: str, path: str) -> str:
    """A successful octet transfer's line without its date and time: an address longer than
    its column is followed by one space, and the later columns move right."""
    return (
        " " * 30
        + client + " " * max(1, 18 - len(client))
        + local + " " * max(1, 17 - len(local))
        + "octet     " + operation.ljust(12) + "Transfer successful".ljust(35) + path + "\r\n"
    )


@pytest.mark.parametrize("case", CASES)
def test_transfers_over_ipv6(server_factory, case):
    address, largest_block = CASES[case]
    server = server_factory(ipv6=SERVED, enable_ipv6=1, logging=1, negotiate=1,
                            max_block_size=65464)
    content = payload(300_000, seed=6)
    server.file("down.bin").write_bytes(content)
    (server.work / "up.bin").write_bytes(content)
    url_host = "[" + address.replace("%", "%25") + "]"
    commands = [
        ["curl", "-sS", "--max-time", "60", "-o", "curl.bin", f"tftp://{url_host}/down.bin"],
        ["curl", "-sS", "--max-time", "60", "-T", "up.bin", f"tftp://{url_host}/curl-up.bin"],
        ["tftp", "-6", "-m", "binary", address, "-c", "get", "down.bin", "hpa.bin"],
        ["tftp", "-6", "-m", "binary", address, "-c", "put", "up.bin", "hpa-up.bin"],
    ]
    for argv in commands:
        result = server.run(argv, timeout=120)
        assert result.returncode == 0, (argv, result.stderr)
    for name in ("curl.bin", "hpa.bin"):
        assert (server.work / name).read_bytes() == content, name
    for name in ("curl-up.bin", "hpa-up.bin"):
        assert server.file(name).read_bytes() == content, name

    # Blocks as large as the receiving interface carries unfragmented, from that address. In
    # the namespace, where the scope's interface name means something.
    with server.ns.entered():
        client = server.client(address)
        assert client.get("down.bin", options={"blksize": "65464"}) == content
    # (address, scope) of the transfer's socket: the address the request went to.
    assert (client.peer[0], client.peer[3]) == (client.server[0], client.server[3])
    assert client.oack["blksize"] == str(largest_block)
    assert server.get("down.bin") == content  # over 127.0.0.1

    server.stop()
    lines = server.log_path.read_bytes().decode().split("\r\n")[3:-3]
    # The host talks to its own address: that is the client's address too.
    directory = str(server.directory)
    transfers = [("read", "down.bin"), ("write", "curl-up.bin"), ("read", "down.bin"),
                 ("write", "hpa-up.bin"), ("read", "down.bin")]
    expected = [log_line(address, address, operation, f"{directory}/{name}")
                for operation, name in transfers]
    expected.append(log_line("127.0.0.1", "127.0.0.1", "read", f"{directory}/down.bin"))
    assert [line[:8] + " " * 22 + line[30:] + "\r\n" for line in lines] == expected
    ipv4_line = expected[-1]
    assert ipv4_line.index("octet") == 65 and ipv4_line.index(directory) == 122


def test_addresses_still_in_duplicate_detection_are_served_once_usable(server_factory):
    server = server_factory(start=False, ipv6=(UNIQUE_LOCAL,), enable_ipv6=1)
    # About eight seconds of duplicate address detection for this address.
    for argv in (["sysctl", "-qw", "net.ipv6.conf.veth0.dad_transmits=8"],
                 ["ip", "-6", "addr", "add", "fd00::2/64", "dev", "veth0"]):
        assert server.run(argv).returncode == 0
    server.file("a.bin").write_bytes(payload(2000))
    server.start()
    state = server.run(["ip", "-6", "addr", "show", "to", "fd00::2"]).stdout.decode()
    assert "tentative" in state, state
    assert "fd00::2" in server.listener_addresses()
    # The requests that the address drops while it is tentative are sent again.
    client = Client(server.endpoint(UNIQUE_LOCAL), server.socket_address("fd00::2", 69),
                    timeout=1, retries=20)
    assert client.get("a.bin") == payload(2000)


def test_without_the_setting_nothing_listens_on_ipv6(server_factory):
    server = server_factory(ipv6=SERVED)
    server.file("a.bin").write_bytes(b"x")
    assert all(":" not in address for address in server.listener_addresses())
    client = server.endpoint("::1")
    client.send(rrq("a.bin"), ("::1", 69))
    client.expect_none(within=2)
    assert server.get("a.bin") == b"x"


def test_an_address_on_two_interfaces(server_factory):
    server = server_factory(start=False, ipv6=SERVED, enable_ipv6=1)
    for address in SERVED:
        argv = ["ip", "-6", "addr", "add", f"{address}/64", "dev", "veth1", "nodad"]
        assert server.run(argv).returncode == 0
    server.file("a.bin").write_bytes(b"x")
    server.start()
    # Served once, but a link-local address once per interface: its scope tells them apart.
    bound = [row["local"] for row in server.ns.udp_sockets() if row["local"][1] == 69]
    assert (bound.count((UNIQUE_LOCAL, 69)), bound.count((LINK_LOCAL, 69))) == (1, 2)
    with server.ns.entered():
        assert server.get("a.bin", address=LINK_LOCAL + "%veth1") == b"x"


# The transfer's port over IPv6: port 69 itself in single-port mode, or one of the range.
@pytest.mark.parametrize("settings, ports", [
    ({"single_port": 1}, range(69, 70)),
    ({"transfer_port_low": 40000, "transfer_port_high": 40001}, range(40000, 40002)),
])
def test_transfer_ports_over_ipv6(server_factory, settings, ports):
    server = server_factory(ipv6=SERVED, enable_ipv6=1, **settings)
    content = payload(20_000, seed=9)
    server.file("a.bin").write_bytes(content)
    for address in ("::1", UNIQUE_LOCAL):
        with server.ns.entered():
            client = server.client(address)
            assert client.get("a.bin") == content
        assert client.peer[0] == address and client.peer[1] in ports, client.peer
