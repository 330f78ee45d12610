#!/usr/bin/env python3
"""Side by side on a bad network: real clients (tftp-hpa, curl, busybox, atftp) download and
upload through a relay that applies netem's model to every datagram in both directions
(10 % loss, 5 % duplication, 25 % reordering, 5 ms delay; this kernel may have no netem,
so the relay does it in user space), all at once, against each server. Counts the transfers
that complete byte for byte.

    sudo python3 bench/lossy.py --quorld build/quorld \\
        --tftpd build-bench/peers/tftpd-hpa/usr/sbin/in.tftpd \\
        --atftpd build-bench/peers/atftpd/usr/sbin/atftpd

The servers are started as bench/runner.py starts them (bench/run.sh unpacks the peers); the
relay and the clients run in the server's namespace. Not a test: it reports figures.
"""

from __future__ import annotations

import argparse
import heapq
import itertools
import os
import random
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import runner  # noqa: E402

LOSS, DUPLICATE, REORDER, DELAY = 0.10, 0.05, 0.25, 0.005


def relay(port: int, seed: int) -> int:
    """Inside the namespace: forwards between clients on `port` and the server on port 69,
    a socket toward the server per client and one toward the client per server port, so that
    each side sees the peers it would see without the relay."""
    chance = random.Random(seed).random
    selector = selectors.DefaultSelector()
    later: list = []
    order = itertools.count()
    toward_server: dict = {}
    toward_client: dict = {}

    def send(sock, datagram, to):
        try:
            sock.sendto(datagram, to)
        except OSError:
            pass  # a peer that has gone

    def forward(sock, datagram, to):
        if chance() < LOSS:
            return
        for _ in range(2 if chance() < DUPLICATE else 1):
            if chance() < REORDER:
                send(sock, datagram, to)
            else:
                heapq.heappush(later, (time.monotonic() + DELAY, next(order), sock, datagram, to))

    def new_socket(handler):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        selector.register(sock, selectors.EVENT_READ, handler)
        return sock

    def from_server(client, datagram, transfer):
        key = (client, transfer)
        if key not in toward_client:
            toward_client[key] = new_socket(
                lambda d, sender, key=key: sender == key[0] and forward(
                    toward_server[key[0]], d, key[1]))
        forward(toward_client[key], datagram, client)

    def request(datagram, client):
        if client not in toward_server:
            toward_server[client] = new_socket(
                lambda d, transfer, client=client: from_server(client, d, transfer))
        forward(toward_server[client], datagram, ("127.0.0.1", 69))

    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("127.0.0.1", port))
    selector.register(listener, selectors.EVENT_READ, request)
    print("ready", flush=True)
    while True:
        wait = 0.1 if not later else min(0.1, max(later[0][0] - time.monotonic(), 0))
        for key, _ in selector.select(wait):
            try:
                datagram, sender = key.fileobj.recvfrom(65536)
            except OSError:
                continue
            key.data(datagram, sender)
        while later and later[0][0] <= time.monotonic():
            _, _, sock, datagram, to = heapq.heappop(later)
            send(sock, datagram, to)


def commands(client: str, port: int, remote: str, local: str, upload: bool) -> list[str]:
    host = "127.0.0.1"
    if client == "tftp-hpa":
        return ["tftp", "-m", "binary", host, str(port), "-c", *(
            ("put", local, remote) if upload else ("get", remote, local))]
    if client == "curl":
        url = f"tftp://{host}:{port}/{remote}"
        return ["curl", "-sS", "--max-time", "120", *(("-T", local) if upload else ("-o", local)),
                url]
    if client == "busybox":
        return ["busybox", "tftp", "-p" if upload else "-g", "-r", remote, "-l", local, host,
                str(port)]
    return ["atftp", "--put" if upload else "--get", "-r", remote, "-l", local, host, str(port)]


def measure(server: runner.Server, root: Path, work: Path, args, seed: int) -> tuple[int, int]:
    proxy = subprocess.Popen(
        server.ns.command([sys.executable, __file__, "--relay", "6969", "--seed", str(seed)]),
        stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        assert proxy.stdout.readline().strip() == "ready"
        jobs = []
        for client in args.clients.split(","):
            for k in range(args.each):
                for upload in [way == "up" for way in args.ways.split(",")
                               if server.kind.uploads or way == "down"]:
                    name = f"{client}-{k}-{'up' if upload else 'down'}-{seed}"
                    local = work / name
                    if upload:
                        local.write_bytes((root / "file.bin").read_bytes())
                    argv = commands(client, 6969, name if upload else "file.bin", str(local),
                                    upload)
                    jobs.append((name, upload, argv))
        done = []

        def run(job):
            name, upload, argv = job
            try:
                result = subprocess.run(server.ns.command(argv), cwd=work, timeout=150,
                                        stdin=subprocess.DEVNULL, capture_output=True)
            except subprocess.TimeoutExpired:
                return
            arrived = (root / name) if upload else (work / name)
            if result.returncode == 0 and arrived.exists() and \
                    arrived.read_bytes() == (root / "file.bin").read_bytes():
                done.append(name)
            elif args.verbose:
                print(f"  {name}: exit {result.returncode}: "
                      f"{(result.stdout + result.stderr)[-200:]!r}", flush=True)

        threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        failed = {}
        for name, _, _ in jobs:
            if name not in done:
                what = name.rsplit("-", 3)
                failed[f"{what[0]} {what[2]}"] = failed.get(f"{what[0]} {what[2]}", 0) + 1
        return len(done), len(jobs), failed
    finally:
        os.killpg(proxy.pid, 9)
        proxy.wait()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quorld")
    parser.add_argument("--quoril", action="append", help="NAME=PATH, as bench/runner.py")
    parser.add_argument("--tftpd")
    parser.add_argument("--atftpd")
    parser.add_argument("--servers", default="quoril,quoril-loop,tftpd-hpa,atftpd")
    parser.add_argument("--each", type=int, default=10, help="transfers per client and way")
    parser.add_argument("--clients", default="tftp-hpa,curl,busybox,atftp")
    parser.add_argument("--ways", default="down,up")
    parser.add_argument("--verbose", action="store_true", help="what each failed client said")
    parser.add_argument("--size", type=int, default=20 * 1024)
    parser.add_argument("--reps", type=int, default=1)
    parser.add_argument("--relay", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--seed", type=int, default=22)
    args = parser.parse_args()
    if args.relay:
        return relay(args.relay, args.seed)
    args.dnsmasq = shutil.which("dnsmasq") or "dnsmasq"
    args.quorld, args.tftpd, args.atftpd = (
        os.path.abspath(path) if path else path for path in (args.quorld, args.tftpd, args.atftpd))
    with tempfile.TemporaryDirectory(prefix="quoril-lossy-") as base:
        root, system_root, work = (Path(base) / d for d in ("root", "system", "work"))
        for directory in (root, system_root, work):
            directory.mkdir()
        (root / "file.bin").write_bytes(os.urandom(args.size))
        root.chmod(0o777)
        kinds = runner.server_kinds(args, root, system_root)
        for rep in range(args.reps):
            for name in args.servers.split(","):
                server = runner.Server(kinds[name], root, cpu=1)
                try:
                    done, total, failed = measure(server, root, work, args, args.seed + rep)
                finally:
                    server.stop()
                print(f"rep {rep + 1} {name:13}: {done} of {total} transfers complete "
                      f"byte for byte; failed: {failed}", flush=True)
                for stale in list(root.iterdir()):
                    if stale.name != "file.bin":
                        stale.unlink()
                for stale in work.iterdir():
                    stale.unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
