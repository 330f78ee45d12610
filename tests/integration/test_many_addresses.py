"""More local addresses than the table holds (50 IPv4, 256 in all): loopback and link-local
addresses are served first, then the others in the system's order, and each address left out
is reported once at the start."""

import json
import time

import pytest

IPV4 = [f"10.0.0.{n}" for n in range(1, 56)] + ["169.254.0.1"]
IPV6 = [f"fd00::{n:x}" for n in range(1, 211)] + ["fe80::1"]
MOST_IPV4, MOST = 50, 256


def system_order(server, family):
    """The addresses of `family` ("inet", "inet6") as the system lists them."""
    result = server.run(["ip", "-j", "addr", "show"], timeout=30)
    links = json.loads(result.stdout)
    return [a["local"] for link in links for a in link["addr_info"] if a["family"] == family]


@pytest.mark.parametrize("engine", ["threads"], indirect=True)
def test_addresses_beyond_the_table_are_chosen_in_order_and_reported(server_factory):
    server = server_factory(addresses=IPV4, ipv6=IPV6, enable_ipv6=1, start=False)
    server.start(wait_ready=False)
    deadline = time.monotonic() + 30
    while len(server.listener_addresses()) < MOST:
        assert time.monotonic() < deadline, len(server.listener_addresses())
        time.sleep(0.05)

    ipv4, ipv6 = system_order(server, "inet"), system_order(server, "inet6")
    assert len(ipv4) + len(ipv6) > MOST and len(ipv4) > MOST_IPV4
    # Loopback, link-local, then the rest, each group in the system's order; an IPv6 address
    # is listed without its scope by the server's socket table.
    rank = lambda a: 0 if a.startswith("127.") or a == "::1" else 1 if a.startswith(("169.254.", "fe80:")) else 2
    chosen = sorted(ipv4, key=rank)[:MOST_IPV4]
    chosen += sorted(ipv6, key=rank)[: MOST - len(chosen)]
    assert {"127.0.0.1", "169.254.0.1", "::1", "fe80::1"} <= set(chosen)
    assert server.listener_addresses() == set(chosen)

    left_out = [a for a in ipv4 + ipv6 if a not in chosen]
    events = server.events_path.read_text().splitlines()
    reports = [line for line in events if "EVENT_ADDRESS_NOT_SERVED" in line]
    assert len(reports) == len(left_out), reports
    for address in left_out:
        assert sum(f"not served: {address})" in line for line in reports) == 1, address
