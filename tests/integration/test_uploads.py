"""Uploads that fail leave the served directory as it was; one that succeeds replaces the
file whole. Whatever OverwriteExisting says, a cut-off upload neither leaves a partial file
(which would refuse the client's retry with "File exists") nor touches an existing one."""

import os

import pytest

from conftest import payload
from tftp_wire import ACK, data, error, error_bytes, rrq, wrq

OLD = payload(3000, seed=20)
HALF = payload(512, seed=21)
SHORT = payload(5, seed=22)
SHARING = error_bytes(0, "Sharing violation")
FILE_EXISTS = error_bytes(6, "File exists")
# (OverwriteExisting, the file exists) that the request itself refuses; tested elsewhere.
REFUSED = {(1, True), (3, False), (5, False)}


@pytest.mark.parametrize("cut", ["timeout", "client error"])
@pytest.mark.parametrize("overwrite", [1, 2, 3, 4, 5])
def test_a_cut_off_upload_changes_nothing_and_its_retry_succeeds(server_factory, overwrite, cut):
    server = server_factory(overwrite=overwrite, timeout=1, max_retransmit=0)
    old = server.file("old.bin")
    old.write_bytes(OLD)
    os.chown(old, 4321, 4322)
    os.chmod(old, 0o640)
    for name, before in (("new.bin", None), ("old.bin", OLD)):
        if (overwrite, before is not None) in REFUSED:
            continue
        listing = sorted(server.directory.iterdir())
        client = server.endpoint()
        client.send(wrq(name), (server.address, 69))
        packet, transfer = client.expect()
        assert (packet.opcode, packet.block) == (ACK, 0), name
        client.send(data(1, HALF), transfer)
        packet, _ = client.expect()
        assert (packet.opcode, packet.block) == (ACK, 1), name

        # Meanwhile the file is held, even one that does not exist yet.
        other = server.endpoint()
        for request, refusal in ((rrq(name), SHARING),
                                 (wrq(name), FILE_EXISTS if overwrite == 1 else SHARING)):
            other.send(request, (server.address, 69))
            assert other.expect()[0].raw == refusal, (name, request)

        if cut == "client error":
            client.send(error(0, "cancelled"), transfer)
        server.wait_closed(transfer)
        assert sorted(server.directory.iterdir()) == listing, name
        assert old.read_bytes() == OLD, name

        # The retry, 5 bytes over 3,000 where the file exists, leaves exactly what was sent.
        server.put(name, SHORT)
        assert server.file(name).read_bytes() == SHORT, name
    # The replaced file's owner and permissions carry over.
    info = old.stat()
    assert (info.st_uid, info.st_gid, info.st_mode & 0o7777) == (4321, 4322, 0o640)
