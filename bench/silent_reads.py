#!/usr/bin/env python3
"""Memory of reads whose clients go silent: N clients each ask for a large file with blksize
and windowsize, accept the OACK with ACK 0 and never answer again, so that every transfer
holds its first window out until it times out. Prints the server's peak resident set.

    sudo python3 bench/silent_reads.py --quorld build/quorld --count 1000
    sudo python3 bench/silent_reads.py --quorld build/quorld --count 4096 \\
        --blksize 65464 --max-block-size 65464 --engine loop

Runs the server in a network namespace of its own (loopback only), as bench/runner.py does;
the clients run in the same namespace with small receive buffers, so that the kernel keeps
little of what the server sends them. Not a test: it reports figures, it judges nothing.
"""

from __future__ import annotations

import argparse
import os
import select
import socket
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from runner import MIB, REGISTRY, Namespace, peak_resident  # noqa: E402



def resident(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def clients(count: int, blksize: int, windowsize: int) -> int:
    """Inside the namespace: the silent clients. Prints how many had their first DATA."""
    request = (b"\x00\x01big.bin\x00octet\x00blksize\x00" + str(blksize).encode() +
               b"\x00windowsize\x00" + str(windowsize).encode() + b"\x00")
    socks = []
    for _ in range(count):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.bind(("127.0.0.1", 0))
        sock.setblocking(False)
        sock.sendto(request, ("127.0.0.1", 69))
        socks.append(sock)
    poller = select.epoll()
    waiting = {sock.fileno(): sock for sock in socks}
    for fd in waiting:
        poller.register(fd, select.EPOLLIN)
    served = 0
    deadline = time.monotonic() + 60
    while waiting and time.monotonic() < deadline:
        for fd, _ in poller.poll(1.0):
            sock = waiting.get(fd)
            if sock is None:
                continue
            try:
                packet, peer = sock.recvfrom(65536)
            except BlockingIOError:
                continue
            opcode = struct.unpack("!H", packet[:2])[0]
            if opcode == 6:  # OACK: accepted, then silence
                sock.sendto(b"\x00\x04\x00\x00", peer)
                continue
            served += opcode == 3  # the first DATA: the window is out
            poller.unregister(fd)
            del waiting[fd]
    print(served, flush=True)
    time.sleep(float(os.environ.get("SILENT_HOLD", "8")))  # the sockets stay open meanwhile
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quorld", required=True)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--blksize", type=int, default=1468)
    parser.add_argument("--windowsize", type=int, default=64)
    parser.add_argument("--max-block-size", type=int, default=1468)
    parser.add_argument("--engine", choices=["threads", "loop"], default="threads")
    parser.add_argument("--file-mib", type=int, default=8)
    parser.add_argument("--client", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.client:
        return clients(args.count, args.blksize, args.windowsize)

    with tempfile.TemporaryDirectory(prefix="quoril-silent-") as base:
        root, system_root = Path(base) / "root", Path(base) / "system"
        root.mkdir()
        (system_root / "etc/quoril").mkdir(parents=True)
        (root / "big.bin").write_bytes(os.urandom(args.file_mib * MIB))
        engine = '"EventLoops"=dword:00000001\r\n' if args.engine == "loop" else ""
        (system_root / "etc/quoril/registry.reg").write_text(
            REGISTRY.format(root=root, engine=f'"MaxBlockSize"=dword:{args.max_block_size:08x}\r\n' + engine), newline="")
        ns = Namespace()
        server = subprocess.Popen(ns.command([os.path.abspath(args.quorld), "-debug"]), cwd=root,
                                  env={**os.environ, "QUORIL_ROOT": str(system_root)},
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            while not ns.udp_port_bound(69):
                if server.poll() is not None:
                    raise SystemExit("the server did not start")
                time.sleep(0.05)
            idle = resident(server.pid)
            client = subprocess.Popen(
                ns.command([sys.executable, __file__, "--client", "--quorld", args.quorld,
                            "--count", str(args.count), "--blksize", str(args.blksize),
                            "--windowsize", str(args.windowsize)]),
                stdout=subprocess.PIPE, text=True)
            served = int(client.stdout.readline() or 0)
            time.sleep(4)  # one retransmission of every window (Timeout 3)
            peak, now = peak_resident(server.pid), resident(server.pid)
            client.kill()
            client.wait()
        finally:
            server.terminate()
            try:
                server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                server.kill()
            ns.close()
    print(f"engine {args.engine}, {served} of {args.count} reads silent after ACK 0 "
          f"(blksize {args.blksize}, windowsize {args.windowsize}, MaxBlockSize "
          f"{args.max_block_size}): peak RSS {peak / MIB:.1f} MiB, after a resend "
          f"{now / MIB:.1f} MiB, idle {idle / MIB:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
