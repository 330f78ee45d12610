"""TFTP on the wire, as a test client speaks it (RFC 1350, and the options of RFC 2347).

Building blocks:

- ``rrq``/``wrq``/``data``/``ack``/``error`` build packets (requests with ``options`` as
  name/value pairs and any ``tail`` bytes after them); ``parse`` reads one, an OACK's options
  into ``Packet.options``.
- ``error_bytes(code, text)`` is the exact ERROR datagram the server must send.
- ``Endpoint`` wraps a UDP socket: ``send`` to any address, ``recv``/``expect``/``expect_none``
  with timeouts, ``collect`` to gather everything that arrives for a while.
- ``Client`` is a client (get/put) with its own timeout and retransmission, which follows
  the server's transfer identifier and refuses packets from any other port; given options it
  reads the OACK and moves blocks of the granted size in windows of the granted size.

Sockets are made by the caller (usually ``QuorilServer.socket()``, inside the server's network
namespace); nothing here knows about namespaces.
"""

from __future__ import annotations

import dataclasses
import socket
import struct
import time

RRQ, WRQ, DATA, ACK, ERROR, OACK = 1, 2, 3, 4, 5, 6
BLOCK_SIZE = 512
MAX_PACKET = 516
TFTP_PORT = 69


def _bytes(text: str | bytes) -> bytes:
    return text if isinstance(text, bytes) else text.encode("latin-1")


def request(opcode: int, name: str | bytes, mode: str | bytes = "octet", options=(),
            tail: bytes = b"") -> bytes:
    """A request; `options` as {name: value} or (name, value) pairs, `tail` appended raw."""
    pairs = options.items() if isinstance(options, dict) else options
    packed = b"".join(_bytes(k) + b"\0" + _bytes(str(v)) + b"\0" for k, v in pairs)
    return struct.pack("!H", opcode) + _bytes(name) + b"\0" + _bytes(mode) + b"\0" + packed + tail


def rrq(name: str | bytes, mode: str | bytes = "octet", options=(), tail: bytes = b"") -> bytes:
    return request(RRQ, name, mode, options, tail)


def wrq(name: str | bytes, mode: str | bytes = "octet", options=(), tail: bytes = b"") -> bytes:
    return request(WRQ, name, mode, options, tail)


def oack(options: dict) -> bytes:
    """The exact OACK datagram for `options` ({name: value}), in that order."""
    return struct.pack("!H", OACK) + b"".join(
        _bytes(k) + b"\0" + _bytes(str(v)) + b"\0" for k, v in options.items()
    )


def data(block: int, payload: bytes = b"") -> bytes:
    return struct.pack("!HH", DATA, block & 0xFFFF) + payload


def ack(block: int) -> bytes:
    return struct.pack("!HH", ACK, block & 0xFFFF)


def error(code: int, text: str | bytes = b"") -> bytes:
    return struct.pack("!HH", ERROR, code) + _bytes(text) + b"\0"


def error_bytes(code: int, text: str) -> bytes:
    """The exact ERROR datagram for `code` and `text`: header, text, one zero byte."""
    return error(code, text)


@dataclasses.dataclass
class Packet:
    raw: bytes
    opcode: int | None
    block: int | None = None  # DATA and ACK
    payload: bytes = b""  # DATA
    code: int | None = None  # ERROR
    message: bytes | None = None  # ERROR, without its terminator
    options: dict | None = None  # OACK: {name: value} as sent

    def __repr__(self) -> str:
        names = {RRQ: "RRQ", WRQ: "WRQ", DATA: "DATA", ACK: "ACK", ERROR: "ERROR", OACK: "OACK"}
        name = names.get(self.opcode, f"opcode {self.opcode}")
        if self.opcode == DATA:
            return f"<DATA {self.block} ({len(self.payload)} bytes)>"
        if self.opcode == ACK:
            return f"<ACK {self.block}>"
        if self.opcode == ERROR:
            return f"<ERROR {self.code} {self.message!r} ({len(self.raw)} bytes)>"
        if self.opcode == OACK:
            return f"<OACK {self.options}>"
        return f"<{name} {self.raw[:40]!r}>"


def parse(raw: bytes) -> Packet:
    if len(raw) < 2:
        return Packet(raw, None)
    (opcode,) = struct.unpack("!H", raw[:2])
    packet = Packet(raw, opcode)
    if opcode in (DATA, ACK) and len(raw) >= 4:
        packet.block = struct.unpack("!H", raw[2:4])[0]
        packet.payload = raw[4:]
    elif opcode == ERROR and len(raw) >= 4:
        packet.code = struct.unpack("!H", raw[2:4])[0]
        packet.message = raw[4:].split(b"\0", 1)[0]
    elif opcode == OACK:
        fields = raw[2:].split(b"\0")
        packet.options = {
            fields[k].decode("latin-1"): fields[k + 1].decode("latin-1")
            for k in range(0, len(fields) - 1, 2)
        }
    return packet


class TftpError(Exception):
    """The server answered with an ERROR packet."""

    def __init__(self, packet: Packet, peer):
        super().__init__(f"ERROR {packet.code} {packet.message!r} from {peer}")
        self.packet = packet
        self.code = packet.code
        self.message = packet.message
        self.peer = peer


class TftpTimeout(Exception):
    """No answer within the client's timeout and retries."""


class Endpoint:
    """One UDP socket of the test, with receive helpers that never block forever."""

    def __init__(self, sock: socket.socket):
        self.sock = sock

    @property
    def port(self) -> int:
        return self.sock.getsockname()[1]

    @property
    def address(self):
        return self.sock.getsockname()

    def send(self, datagram: bytes, to) -> None:
        self.sock.sendto(datagram, to)

    def recv(self, timeout: float):
        """Next datagram and its sender, or None when nothing arrives within `timeout`."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                raw, peer = self.sock.recvfrom(65536)
            except socket.timeout:
                return None
            except ConnectionRefusedError:
                # An ICMP error for an earlier send (a transfer port already closed): not a
                # datagram, keep waiting.
                continue
            return raw, peer

    def expect(self, timeout: float = 10.0):
        """Next datagram as (Packet, sender); fails the test when none arrives."""
        got = self.recv(timeout)
        assert got is not None, f"no datagram within {timeout} s"
        return parse(got[0]), got[1]

    def expect_none(self, within: float) -> None:
        """Fails the test when a datagram arrives within `within` seconds."""
        got = self.recv(within)
        assert got is None, f"unexpected datagram {parse(got[0])!r} from {got[1]}"

    def collect(self, quiet: float, limit: float = 120.0):
        """Every datagram until nothing arrived for `quiet` seconds (at most `limit` in all),
        as a list of (Packet, sender, monotonic arrival time)."""
        packets = []
        end = time.monotonic() + limit
        while time.monotonic() < end:
            got = self.recv(min(quiet, end - time.monotonic()))
            if got is None:
                break
            packets.append((parse(got[0]), got[1], time.monotonic()))
        return packets

    def close(self) -> None:
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Client:
    """A lock-step TFTP client over one socket.

    `server` is the (address, port) the request goes to. Each wait lasts `timeout` seconds; the
    last packet is sent again up to `retries` times. Block numbers roll over from 65535 to 0.
    Packets from ports other than the transfer's get ERROR 5 and are otherwise ignored, so a
    duplicated request never mixes two transfers.
    """

    def __init__(self, endpoint: Endpoint, server, timeout: float = 5.0, retries: int = 5):
        self.endpoint = endpoint
        self.server = server
        self.timeout = timeout
        self.retries = retries
        self.peer = None  # the server's transfer identifier once known

    def _exchange(self, packet: bytes, to, accept):
        """Send `packet` to `to` until `accept(Packet)` takes an answer from the transfer;
        answers with (Packet, peer). ERROR packets from the transfer raise TftpError."""
        for _ in range(self.retries + 1):
            self.endpoint.send(packet, to)
            deadline = time.monotonic() + self.timeout
            while True:
                got = self.endpoint.recv(deadline - time.monotonic())
                if got is None:
                    break
                raw, peer = got
                # The first answer names the transfer: a new port, or in single-port mode the
                # server's own.
                if self.peer is None and peer[0] == self.server[0]:
                    self.peer = peer
                if peer != self.peer:
                    if peer[0] == self.server[0] and peer[1] != self.server[1]:
                        self.endpoint.send(error(5, "Unknown transfer identifier"), peer)
                    continue
                answer = parse(raw)
                if answer.opcode == ERROR:
                    raise TftpError(answer, peer)
                if accept(answer):
                    return answer, peer
        raise TftpTimeout(f"no answer to {parse(packet)!r} from {self.peer or self.server}")

    def get(self, name: str | bytes, mode: str | bytes = "octet", options=()) -> bytes:
        """Reads `name`. With `options`, an OACK sets the block and window sizes (kept in
        ``self.oack``); without one the transfer is lock-step in blocks of 512 bytes."""
        self.oack = None
        answer, peer = self._exchange(
            rrq(name, mode, options),
            self.server,
            lambda p: p.opcode == OACK or (p.opcode == DATA and p.block == 1),
        )
        block_size, window = BLOCK_SIZE, 1
        received = bytearray()
        expected = 1  # the next block in order; blocks before it are stored
        if answer.opcode == OACK:
            self.oack = answer.options
            block_size = int(self.oack.get("blksize", BLOCK_SIZE))
            window = int(self.oack.get("windowsize", 1))
            pending = None
        else:
            pending = answer
        in_window = 0
        retries = self.retries
        if pending is None:
            self.endpoint.send(ack(0), peer)
        while True:
            if pending is None:
                got = self._receive_from(peer)
                if got is None:
                    if retries == 0:
                        raise TftpTimeout(f"no DATA {expected} from {peer}")
                    retries -= 1
                    in_window = 0
                    self.endpoint.send(ack(expected - 1), peer)
                    continue
                pending = got
            packet, pending = pending, None
            if packet.opcode != DATA:
                continue
            if packet.block != expected & 0xFFFF:
                # Out of order: tell the server where to go on from.
                in_window = 0
                self.endpoint.send(ack(expected - 1), peer)
                continue
            retries = self.retries
            received += packet.payload
            in_window += 1
            last = len(packet.payload) < block_size
            if last or in_window == window:
                # The final ACK is sent once; a lost one makes the server time out, harmlessly.
                self.endpoint.send(ack(expected), peer)
                in_window = 0
            if last:
                return bytes(received)
            expected += 1

    def _receive_from(self, peer):
        """The next packet from `peer` within the timeout, or None; strangers are told."""
        deadline = time.monotonic() + self.timeout
        while True:
            got = self.endpoint.recv(deadline - time.monotonic())
            if got is None:
                return None
            raw, sender = got
            if sender != peer:
                if sender[0] == self.server[0] and sender[1] != self.server[1]:
                    self.endpoint.send(error(5, "Unknown transfer identifier"), sender)
                continue
            packet = parse(raw)
            if packet.opcode == ERROR:
                raise TftpError(packet, sender)
            return packet

    def put(self, name: str | bytes, content: bytes, mode: str | bytes = "octet", options=()) -> None:
        """Writes `content` as `name`; with `options` as get() says."""
        self.oack = None
        answer, peer = self._exchange(
            wrq(name, mode, options),
            self.server,
            lambda p: p.opcode == OACK or (p.opcode == ACK and p.block == 0),
        )
        block_size, window = BLOCK_SIZE, 1
        if answer.opcode == OACK:
            self.oack = answer.options
            block_size = int(self.oack.get("blksize", BLOCK_SIZE))
            window = int(self.oack.get("windowsize", 1))
        blocks = len(content) // block_size + 1  # the last one short, 0 bytes included
        acked = 0  # blocks acknowledged
        retries = self.retries
        while acked < blocks:
            for number in range(acked + 1, min(acked + window, blocks) + 1):
                chunk = content[(number - 1) * block_size : number * block_size]
                self.endpoint.send(data(number, chunk), peer)
            sent_up_to = min(acked + window, blocks)
            while True:
                got = self._receive_from(peer)
                if got is None:
                    if retries == 0:
                        raise TftpTimeout(f"no ACK from {peer}")
                    retries -= 1
                    break
                if got.opcode != ACK:
                    continue
                # The ACK's block, as a count of blocks across the rollover.
                ahead = (got.block - acked) & 0xFFFF
                if 1 <= ahead <= sent_up_to - acked:
                    acked += ahead
                    retries = self.retries
                    break
