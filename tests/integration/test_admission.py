"""At the bound on transfers (MaxTransfers), the slots go to clients that are still there: a
request older than the server's Timeout is let go unanswered, and a transfer whose client
has been silent past the server's own bound (Timeout x (MaxRetransmit + 1)) yields its slot
to waiting requests, whatever timeout its client asked for."""

import time

import pytest

from conftest import payload
from tftp_wire import DATA, OACK, ack, error, rrq

TIMEOUT, MAX_RETRANSMIT = 1, 1
SILENCE_BOUND = TIMEOUT * (MAX_RETRANSMIT + 1)
CONTENT = payload(2000, seed=4)


def first_data(endpoint, within):
    """The sender of the first DATA 1 that reaches `endpoint` within `within` seconds, or
    None."""
    end = time.monotonic() + within
    while (left := end - time.monotonic()) > 0:
        got = endpoint.recv(left)
        if got is None:
            return None
        if got[0][:4] == bytes([0, DATA, 0, 1]):
            return got[1]
    return None


def served_within(server, new_port_each_time, listen, most):
    """A client that asks again every `listen` seconds, from a new port each time or from one
    port; answers the seconds until its first DATA 1, or None when `most` passed first."""
    start = time.monotonic()
    endpoint = server.endpoint()
    while time.monotonic() - start < most:
        if new_port_each_time:
            endpoint.close()
            endpoint = server.endpoint()
        endpoint.send(rrq("wanted.bin"), (server.address, 69))
        transfer = first_data(endpoint, min(listen, most - (time.monotonic() - start)))
        if transfer is not None:
            endpoint.send(error(0), transfer)  # enough: the server stops sooner without it
            return time.monotonic() - start
    return None


@pytest.mark.parametrize("single_port", [None, 1], ids=["transfer-ports", "single-port"])
def test_a_client_asking_from_a_new_port_each_time_is_served_when_a_slot_frees(
    server_factory, single_port
):
    server = server_factory(timeout=TIMEOUT, max_retransmit=MAX_RETRANSMIT, max_transfers=1,
                            single_port=single_port)
    server.file("wanted.bin").write_bytes(CONTENT)
    # The one slot goes to a client that never answers: it frees after SILENCE_BOUND.
    server.endpoint().send(rrq("wanted.bin"), (server.address, 69))
    time.sleep(0.1)
    # Each of the client's ports listens longer than the server's Timeout, so that a request
    # not yet expired still finds its client; the abandoned ones must not take the slot.
    waited = served_within(server, True, listen=1.5 * TIMEOUT, most=SILENCE_BOUND + 3)
    assert waited is not None and waited <= SILENCE_BOUND + 1, waited


@pytest.mark.parametrize("single_port", [None, 1], ids=["transfer-ports", "single-port"])
def test_silent_clients_with_a_long_timeout_yield_their_slots(server_factory, single_port):
    server = server_factory(timeout=TIMEOUT, max_retransmit=MAX_RETRANSMIT, max_transfers=4,
                            negotiate=1, logging=1, single_port=single_port)
    server.file("wanted.bin").write_bytes(CONTENT)
    silent = []
    for _ in range(4):
        endpoint = server.endpoint()
        endpoint.send(rrq("wanted.bin", options={"timeout": 255}), (server.address, 69))
        packet, transfer = endpoint.expect(2)
        assert packet.opcode == OACK
        endpoint.send(ack(0), transfer)
        packet, _ = endpoint.expect(2)
        assert packet.opcode == DATA  # and then nothing more from this client
        silent.append((endpoint, transfer))
    heard = time.monotonic()
    waited = served_within(server, False, listen=TIMEOUT, most=SILENCE_BOUND + 4)
    assert waited is not None, "not served while the silent transfers held every slot"
    # The server's bound, one look per Timeout, and the client's next retry.
    assert time.monotonic() - heard <= SILENCE_BOUND + 2 * TIMEOUT + 0.5
    # The slot came from one that ended as a transfer whose client stopped answering does.
    assert b"Timeout; max. retransmits reached" in server.log_path.read_bytes()
    for endpoint, transfer in silent:  # so that the server need not wait for them to stop
        endpoint.send(error(0), transfer)
