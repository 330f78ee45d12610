"""Metrics, health and transfer records: the HTTP endpoint of MetricsAddress scraped by a real
Prometheus, the JSON lines of TransferRecordFile against the transfer log, the endpoint under
abuse, and no socket but the TFTP ones without either value."""

from __future__ import annotations

import json
import resource
import socket
import subprocess
import time
import urllib.parse
import urllib.request

import pytest

from clients import fetch_argv, store_argv
from conftest import payload
from netns import socket_inodes, udp_sockets
from tftp_wire import ack, parse, rrq

METRICS = "127.0.0.1:9469"


def http(server, path: str, timeout: float = 5.0) -> tuple[int, str]:
    with server.ns.entered():
        try:
            with urllib.request.urlopen(f"http://{METRICS}{path}", timeout=timeout) as answer:
                return answer.status, answer.read().decode()
        except urllib.error.HTTPError as failure:
            return failure.code, failure.read().decode()


def samples(exposition: str) -> dict[str, float]:
    """{'name{labels}': value} of every sample line."""
    rows = {}
    for line in exposition.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            rows[name] = float(value)
    return rows


def run_load(server) -> dict[str, float]:
    """Reads, writes, failures and a client that loses one block; answers what the counters
    must say about them."""
    text = b"plain text without line ends " * 40
    server.file("a.bin").write_bytes(payload(3000))
    server.file("b.txt").write_bytes(text)
    (server.work / "up.bin").write_bytes(payload(2000, seed=1))
    runs = [
        fetch_argv(server, "tftp-hpa", "a.bin", "a.bin"),
        fetch_argv(server, "curl", "b.txt", "b.txt", mode="netascii"),
        store_argv(server, "tftp-hpa", "up.bin", "up.bin"),
        store_argv(server, "busybox", "up.bin", "up2.bin"),
    ]
    for argv in runs:
        assert server.run(argv).returncode == 0
    for name in ("missing.bin", "missing2.bin"):
        server.run(fetch_argv(server, "tftp-hpa", name, "x"))
    server.run(fetch_argv(server, "tftp-hpa", "../outside.bin", "x"))  # beyond the directory
    # A client that loses block 1 once: the server's timeout sends it again.
    client = server.endpoint()
    client.send(rrq("b.txt"), (server.address, 69))
    _, transfer = client.expect()
    again, _ = client.expect(timeout=server.timeout + 2)
    assert parse(again.raw).block == 1
    client.send(ack(1), transfer)
    blocks = (len(text) + 512) // 512
    for block in range(2, blocks + 1):
        client.expect()
        client.send(ack(block), transfer)
    server.wait_closed(transfer)
    return {
        'quoril_transfers_ended_total{operation="read",mode="octet",outcome="success"}': 2,
        'quoril_transfers_ended_total{operation="read",mode="netascii",outcome="success"}': 1,
        'quoril_transfers_ended_total{operation="write",mode="octet",outcome="success"}': 2,
        'quoril_transfers_ended_total{operation="read",mode="octet",outcome="access_denied"}': 1,
        'quoril_requests_refused_total{reason="missing_file"}': 2,
        'quoril_requests_refused_total{reason="access"}': 1,
        "quoril_sent_bytes_total": 3000 + 2 * len(text),
        "quoril_received_bytes_total": 4000,
        "quoril_retransmissions_total": 1,
        "quoril_timeouts_total": 1,
        "quoril_transfers_running": 0,
    }


def test_prometheus_scrapes_what_the_clients_did(server_factory):
    server = server_factory(metrics_address=METRICS, limit=1, timeout=1, logging=1,
                            transfer_record_file="records.jsonl")
    config = server.work / "prometheus.yml"
    config.write_text("global: {scrape_interval: 1s}\nscrape_configs:\n"
                      f"  - job_name: quoril\n    static_configs: [{{targets: ['{METRICS}']}}]\n")
    prometheus = subprocess.Popen(
        server.ns.command(["prometheus", f"--config.file={config}",
                           f"--storage.tsdb.path={server.work / 'tsdb'}",
                           "--web.listen-address=127.0.0.1:9090"]),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        expected = run_load(server)
        status, exposition = http(server, "/metrics")
        assert status == 200
        scraped = samples(exposition)
        assert {name: scraped.get(name) for name in expected} == expected
        check = subprocess.run(["promtool", "check", "metrics"], input=exposition.encode(),
                               capture_output=True)
        assert check.returncode == 0, check.stdout + check.stderr
        assert http(server, "/healthz")[0] == 200
        assert http(server, "/other")[0] == 404

        # Prometheus' own view, once a scrape after the load is in.
        def query(expression: str):
            url = "http://127.0.0.1:9090/api/v1/query?query=" + urllib.parse.quote(expression)
            with server.ns.entered():
                with urllib.request.urlopen(url, timeout=5) as answer:
                    result = json.load(answer)["data"]["result"]
            return float(result[0]["value"][1]) if result else None

        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                if query("quoril_sent_bytes_total") == expected["quoril_sent_bytes_total"]:
                    break
            except OSError:
                pass
            time.sleep(0.5)
        assert {name: query(name) for name in expected} == expected
    finally:
        prometheus.terminate()
        prometheus.wait(timeout=20)

    # One record per log line, in the same order, saying the same.
    records = [json.loads(line) for line in server.file("records.jsonl").read_text().splitlines()]
    lines = [line for line in server.log_path.read_text(encoding="latin-1").splitlines()
             if line[8:9].isdigit()]
    assert len(records) == len(lines) == 8
    for record, line in zip(records, lines):
        assert (line[0] == "E") == (record["outcome"] != "success")
        assert line[8:16] == record["date"] and line[19:27] == record["time"]
        assert line[30:48].strip() == record["client_address"]
        assert line[65:75].strip() == record["mode"]
        assert line[75:87].strip() == record["operation"]
        assert line[87:122].strip() == record["description"][:35].strip()
        assert line[122:] == record["file"]
    assert [r["retransmissions"] for r in records].count(1) == 1


def test_abuse_leaves_transfers_and_the_endpoint_answering(server_factory):
    server = server_factory(metrics_address=METRICS)
    server.file("big.bin").write_bytes(payload(1 << 20))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    crowd = []
    try:
        for _ in range(1000):
            peer = server.ns.socket(socket.AF_INET, socket.SOCK_STREAM)
            peer.setblocking(False)
            peer.connect_ex(("127.0.0.1", 9469))
            crowd.append(peer)
        slow, huge = (server.ns.socket(socket.AF_INET, socket.SOCK_STREAM) for _ in range(2))
        crowd += [slow, huge]
        for peer in (slow, huge):
            peer.settimeout(5)
            peer.connect(("127.0.0.1", 9469))
        slow.sendall(b"GET /metr")  # and never the rest
        huge.sendall(b"GET /" + b"a" * 100_000 + b" HTTP/1.1\r\n\r\n")
        assert server.get("big.bin") == payload(1 << 20)
        for peer in (slow, huge):  # dropped unanswered: closed, or reset with bytes unread
            try:
                assert peer.recv(100) == b""
            except ConnectionResetError:
                pass
    finally:
        for peer in crowd:
            peer.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert http(server, "/healthz") == (200, "serving 1 address(es)\n")


@pytest.mark.parametrize(
    "address, listening, event",
    [
        (None, set(), False),
        (METRICS, {("127.0.0.1", 9469)}, False),
        ("192.0.2.1:9469", set(), True),  # not an address of the host: the bind fails
    ],
    ids=["neither", "metrics", "bind-fails"],
)
def test_sockets_held(server_factory, address, listening, event):
    server = server_factory(metrics_address=address)
    server.file("a.bin").write_bytes(b"x")
    client = server.endpoint()
    client.send(rrq("a.bin"), (server.address, 69))
    block, transfer = client.expect()
    assert parse(block.raw).payload == b"x"
    client.send(ack(1), transfer)
    server.wait_closed(transfer)
    own = socket_inodes(server.process.pid)
    tcp = {row["local"] for row in udp_sockets(server.process.pid, "tcp") if row["inode"] in own}
    udp = {row["local"][1] for row in udp_sockets(server.process.pid) if row["inode"] in own}
    assert tcp == listening
    assert udp <= {69}  # the transfer's own socket is gone once it ended
    assert ("EVENT_METRICS_ADDRESS" in server.events_path.read_text(errors="replace")) == event
