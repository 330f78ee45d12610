#!/usr/bin/env python3
"""The whole life of quorld.exe as a Windows service under wine, with real Linux clients.

Run by scripts/windows-test.sh as root inside a network namespace of its own (unshare -n), so
that 127.0.0.1, 127.0.0.2 and ::1, all on the loopback adapter, are the only addresses:

    python3 tests/windows/service_life.py BUILD_DIR

BUILD_DIR holds quorld.exe, control_service.exe and quoril_windows_tests.exe. Everything
runs under one fresh WINEPREFIX: the backend's unit tests, then the command line, installation,
two starts with transfers, pause and continue, stops from running and from paused, and
removal. Every mismatch fails the run with exit code 1 and says what differed.

Wine keeps no event log, but with WINEDEBUG=+eventlog,fixme+advapi every ReportEventA call
appears on the standard error of services.exe, which it inherits from the first wine process
of the session: that process's standard error goes to a file, where the identifiers of the
starts and stops are read back.
"""

from __future__ import annotations

import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "integration"))
import tftp_wire  # noqa: E402  (the raw TFTP client of the Linux integration tests)

SERVICE = "Quoril"
PARAMETERS = rf"HKLM\SYSTEM\CurrentControlSet\Services\{SERVICE}\Parameters"
SERVICE_KEY = rf"HKLM\SYSTEM\CurrentControlSet\Services\{SERVICE}"
EVENT_SOURCE = rf"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\{SERVICE}"

# The texts of the command line, byte for byte: stdout is binary, so a lone "\n" stays one
# byte and "\r\n" stays two.
VERSION = b"Quoril TFTP service version 1.0\nCopyright (c) 2026 The Quoril developers\n"
USAGE = b"\nQuoril service command line switches:\n\n-install\n-remove\n-version\n"
INSTALLED = (
    b"Quoril service successfully installed\r\n\r\n"
    b"Remember to copy the QUORLD.CPL file into your system32 directory.\r\n"
)
INSTALL_FAILED = b"Error installing the Quoril service\n"
REMOVED = (
    b"Quoril service successfully removed\r\n\r\n"
    b"Remember to remove the QUORLD.CPL file from your system32 directory.\r\n"
)
REMOVE_FAILED = b"Error removing the Quoril service\n"

EVENT_SERVICE_STARTED = 0x00000001
EVENT_SERVICE_STOPPED = 0x00000002
EVENT_INIT_FAILED = 0xC0000003
EVENTLOG_INFORMATION_TYPE = 4

STATE_STOPPED, STATE_RUNNING, STATE_PAUSED = 1, 4, 7
ERROR_SERVICE_SPECIFIC_ERROR = 1066
TIMEOUT_SECONDS = 1
MAX_RETRANSMIT = 1
SERVER = ("127.0.0.1", tftp_wire.TFTP_PORT)
# The loopback adapter's second address, served as well.
SECOND_ADDRESS = "127.0.0.2"
# The transfer port range of the event loops' life: two ports, taken in turn.
TRANSFER_PORTS = (50000, 50001)


class Failure(Exception):
    """A check of the life failed."""


def check(condition: bool, what: str) -> None:
    if not condition:
        raise Failure(what)


def check_equal(actual, expected, what: str) -> None:
    if actual != expected:
        raise Failure(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def step(title: str) -> None:
    print(f"== {title}", flush=True)


def payload(size: int, seed: int) -> bytes:
    """Reproducible random bytes, every byte value (CR, LF and NUL) included."""
    return random.Random(seed).randbytes(size)


class Wine:
    """wine, wineserver and winepath in one prefix, each call bounded in time."""

    def __init__(self, prefix: Path, events: Path):
        self.prefix = prefix
        self.events = events
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=str(prefix),
            WINEDEBUG="-all,fixme+advapi,+eventlog",
            # No dialogs about Mono or Gecko: nothing here needs them.
            WINEDLLOVERRIDES="mscoree,mshtml=",
        )
        self.env.pop("DISPLAY", None)

    def run(self, *argv, timeout: float = 60, stderr_to=None) -> subprocess.CompletedProcess:
        stderr = subprocess.PIPE if stderr_to is None else stderr_to
        try:
            return subprocess.run(
                ["wine", *map(str, argv)], env=self.env, stdout=subprocess.PIPE, stderr=stderr,
                stdin=subprocess.DEVNULL, timeout=timeout,
            )
        except subprocess.TimeoutExpired as error:
            raise Failure(f"wine {' '.join(map(str, argv))}: no end within {timeout} s") from error

    def server(self, *options, timeout: float = 60) -> None:
        subprocess.run(["wineserver", *options], env=self.env, timeout=timeout, check=True)

    def path(self, path: Path) -> str:
        result = subprocess.run(
            ["winepath", "-w", str(path)], env=self.env, capture_output=True, timeout=60,
            check=True,
        )
        return result.stdout.decode().strip()

    def start_session(self) -> None:
        """A fresh prefix, then a wineserver that outlives every wine process (the service
        would otherwise go down with the last one)."""
        with open(self.prefix.parent / "wineboot.log", "wb") as log:
            subprocess.run(["wine", "wineboot", "--init"], env=self.env, stdout=log,
                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=180,
                           check=True)
        self.server("-w", timeout=120)
        self.server("-p")

    def end_session(self) -> None:
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)

    # The registry, through wine's reg.exe.

    def reg_query(self, key: str) -> dict[str, tuple[str, str]]:
        result = self.run("reg", "query", key)
        check(result.returncode == 0, f"reg query {key}: {result.stdout!r} {result.stderr!r}")
        values = {}
        for line in result.stdout.decode("latin-1").splitlines():
            match = re.match(r"^ {4}(\S+) {4}(REG_\w+) {4}(.*)$", line.rstrip("\r"))
            if match:
                values[match.group(1)] = (match.group(2), match.group(3))
        return values

    def reg_exists(self, key: str) -> bool:
        return self.run("reg", "query", key).returncode == 0

    def reg_add(self, key: str, name: str, kind: str, data) -> None:
        result = self.run("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")
        check(result.returncode == 0, f"reg add {key} {name}: {result.stdout!r}")

    def reg_delete(self, key: str, name: str) -> None:
        result = self.run("reg", "delete", key, "/v", name, "/f")
        check(result.returncode == 0, f"reg delete {key} {name}: {result.stdout!r}")


class Life:
    """The service's life under one prefix; each method is one part of it."""

    def __init__(self, build: Path, work: Path):
        self.build = build
        self.work = work
        self.wine = Wine(work / "prefix", work / "services-stderr.log")
        self.quorld = build / "quorld.exe"
        self.control = build / "control_service.exe"
        self.served = work / "Served"
        self.served.mkdir()
        self.clients = work / "clients"
        self.clients.mkdir()
        self.expected_lines: list[tuple[str, str, str, str, str]] = []
        self.started_at = time.monotonic()

    # -- helpers

    def quorld_run(self, *arguments) -> subprocess.CompletedProcess:
        return self.wine.run(self.quorld, *arguments)

    def control_service(self, verb: str, awaited: int | None = None) -> int:
        return self.control_service_status(verb, awaited)[0]

    def control_service_status(self, verb: str, awaited: int | None = None):
        """(state, Win32 exit code, service-specific exit code) after `verb`."""
        argv = [self.control, SERVICE, verb] + ([awaited, 30] if awaited else [])
        result = self.wine.run(*argv, timeout=60)
        text = result.stdout.decode("latin-1")
        check(result.returncode == 0, f"control_service {verb}: exit {result.returncode}: {text}")
        return tuple(map(int, re.findall(r"STATE (\d+) EXIT (\d+) (\d+)", text)[-1]))

    def port_69_bound(self) -> bool:
        for line in Path("/proc/net/udp").read_text().splitlines()[1:]:
            local = line.split()[1]
            if local.endswith(":0045"):
                return True
        return False

    def await_port_69(self, bound: bool) -> None:
        deadline = time.monotonic() + 20
        while self.port_69_bound() != bound:
            check(time.monotonic() < deadline, f"port 69 still {'un' if bound else ''}bound")
            time.sleep(0.1)

    def endpoint(self) -> tftp_wire.Endpoint:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        return tftp_wire.Endpoint(sock)

    def served_path(self, name: str) -> str:
        """The lower-cased full path that the transfer log shows for `name`."""
        return (self.wine.path(self.served) + "\\" + name).lower()

    def expect_line(self, status: str, mode: str, operation: str, description: str, name: str,
                    full_path: str | None = None, local: str = SERVER[0],
                    client: str = SERVER[0]):
        """`client` is the client's address, 127.0.0.1 unless it went over IPv6; `local` the
        address its request went to."""
        self.expected_lines.append((status, mode, operation, description,
                                    full_path or self.served_path(name), client, local))

    def client_run(self, argv: list[str]) -> subprocess.CompletedProcess:
        return subprocess.run(argv, cwd=self.clients, capture_output=True, timeout=60)

    # -- the parts of the life

    def command_line(self) -> None:
        step("the first wine process of the session: -version, its stderr taken for events")
        with open(self.wine.events, "wb") as events:
            result = self.wine.run(self.quorld, "-version", timeout=120, stderr_to=events)
        check_equal((result.returncode, result.stdout), (0, VERSION), "quorld.exe -version")
        result = self.quorld_run("-VERSION")
        check_equal((result.returncode, result.stdout), (0, VERSION), "quorld.exe -VERSION")

        step("the usage text for anything that is no switch")
        for argument in ("/install", "install", "-bogus"):
            result = self.quorld_run(argument)
            check_equal((result.returncode, result.stdout), (0, USAGE), f"quorld.exe {argument}")

    def install(self) -> None:
        step("-install: the service, the event-log source and the seven settings")
        result = self.quorld_run("-install", "ignored")
        check_equal((result.returncode, result.stdout), (0, INSTALLED), "quorld.exe -install")

        query = self.wine.run("sc", "query", SERVICE).stdout.decode("latin-1")
        check(re.search(r"TYPE\s+:\s+10\s+WIN32_OWN_PROCESS", query) is not None,
              f"sc query: not an own-process service:\n{query}")
        check(re.search(r"STATE\s+:\s+1\s+STOPPED", query) is not None,
              f"sc query: not stopped:\n{query}")

        exe = self.wine.path(self.quorld)
        service = self.wine.reg_query(SERVICE_KEY)
        for name, expected in {
            "ImagePath": ("REG_SZ", exe) if " " not in exe else ("REG_SZ", f'"{exe}"'),
            "DisplayName": ("REG_SZ", SERVICE),
            "Type": ("REG_DWORD", "0x10"),
            "Start": ("REG_DWORD", "0x3"),
            "ErrorControl": ("REG_DWORD", "0x1"),
        }.items():
            check_equal(service.get(name), expected, f"service value {name}")

        check_equal(
            self.wine.reg_query(EVENT_SOURCE),
            {"EventMessageFile": ("REG_EXPAND_SZ", exe), "TypesSupported": ("REG_DWORD", "0x7")},
            "event-log source",
        )
        # The directory of quorld.exe: the path less "\quorld.exe", lower-cased.
        directory = exe[: -len("\\quorld.exe")].lower()
        check_equal(
            self.wine.reg_query(PARAMETERS),
            {
                "LogFile": ("REG_EXPAND_SZ", "quorld.log"),
                "DefaultDirectory": ("REG_EXPAND_SZ", directory),
                "Timeout": ("REG_DWORD", "0x3"),
                "MaxRetransmit": ("REG_DWORD", "0x5"),
                "EnableLogging": ("REG_DWORD", "0x0"),
                "OverwriteExisting": ("REG_DWORD", "0x1"),
                "LimitToDefaultDirectory": ("REG_DWORD", "0x0"),
            },
            "settings after installation",
        )

        step("a second -install fails and leaves the settings alone")
        self.wine.reg_add(PARAMETERS, "Timeout", "REG_DWORD", 9)
        result = self.quorld_run("-install")
        check_equal((result.returncode, result.stdout), (1, INSTALL_FAILED), "second -install")
        check_equal(self.wine.reg_query(PARAMETERS)["Timeout"], ("REG_DWORD", "0x9"),
                    "Timeout after a second -install")

        step("settings for the test: a directory of its own, short timeouts, the log on")
        self.wine.reg_add(PARAMETERS, "DefaultDirectory", "REG_EXPAND_SZ",
                          self.wine.path(self.served))
        self.wine.reg_add(PARAMETERS, "Timeout", "REG_DWORD", TIMEOUT_SECONDS)
        self.wine.reg_add(PARAMETERS, "MaxRetransmit", "REG_DWORD", MAX_RETRANSMIT)
        self.wine.reg_add(PARAMETERS, "EnableLogging", "REG_DWORD", 1)

    def start(self) -> None:
        step("net start Quoril")
        result = self.wine.run("net", "start", SERVICE, timeout=90)
        check(result.returncode == 0, f"net start: {result.stdout!r} {result.stderr!r}")
        # Wine's net.exe returns at the first report; running comes once port 69 is bound.
        check_equal(self.control_service("query", STATE_RUNNING), STATE_RUNNING,
                    "state after net start")
        self.await_port_69(True)

    def stop(self) -> None:
        step("net stop Quoril")
        began = time.monotonic()
        result = self.wine.run("net", "stop", SERVICE, timeout=90)
        check(result.returncode == 0, f"net stop: {result.stdout!r} {result.stderr!r}")
        # Wine's net.exe may return while the service still reports stop pending.
        check_equal(self.control_service("query", STATE_STOPPED), STATE_STOPPED,
                    "state after net stop")
        check(not self.port_69_bound(), "port 69 still bound after the stop")
        print(f"   stopped in {time.monotonic() - began:.1f} s", flush=True)

    def transfers(self) -> None:
        step("octet reads with tftp-hpa and curl")
        for name, size in (("octet-0.bin", 0), ("octet-512.bin", 512), ("Octet-Big.BIN", 70000)):
            content = payload(size, seed=size)
            (self.served / name).write_bytes(content)
            local = self.clients / f"hpa-{name}"
            result = self.client_run(["tftp", "-m", "binary", SERVER[0], "-c", "get", name,
                                      str(local)])
            check(result.returncode == 0 and local.read_bytes() == content,
                  f"tftp-hpa get {name}: {result.stdout!r} {result.stderr!r}")
            self.expect_line("", "octet", "read", "Transfer successful", name)
        content = payload(3000, seed=7)
        (self.served / "curl.bin").write_bytes(content)
        local = self.clients / "curl.bin"
        result = self.client_run(["curl", "-sS", "--max-time", "60", "-o", str(local),
                                  "tftp://127.0.0.1/curl.bin"])
        check(result.returncode == 0 and local.read_bytes() == content,
              f"curl get: {result.stderr!r}")
        self.expect_line("", "octet", "read", "Transfer successful", "curl.bin")

        step(f"a read through the second address, {SECOND_ADDRESS}")
        local = self.clients / "second.bin"
        result = self.client_run(["tftp", "-m", "binary", SECOND_ADDRESS, "-c", "get", "curl.bin",
                                  str(local)])
        check(result.returncode == 0 and local.read_bytes() == content,
              f"tftp-hpa get through {SECOND_ADDRESS}: {result.stdout!r} {result.stderr!r}")
        self.expect_line("", "octet", "read", "Transfer successful", "curl.bin",
                         local=SECOND_ADDRESS)

        step("a netascii read: the wire form exactly, and tftp-hpa's local form")
        text = b"one\ntwo\r\nthree\rfour\r\n\nend\r"
        wire = b"one\r\ntwo\r\nthree\r\0four\r\n\r\nend\r"
        (self.served / "text.txt").write_bytes(text)
        with self.endpoint() as endpoint:
            got = tftp_wire.Client(endpoint, SERVER, timeout=5).get("text.txt", "netascii")
        check_equal(got, wire, "netascii on the wire")
        self.expect_line("", "netascii", "read", "Transfer successful", "text.txt")
        local = self.clients / "text.txt"
        result = self.client_run(["tftp", "-m", "ascii", SERVER[0], "-c", "get", "text.txt",
                                  str(local)])
        check(result.returncode == 0, f"tftp-hpa netascii get: {result.stderr!r}")
        check_equal(local.read_bytes(), b"one\ntwo\nthree\rfour\n\nend\r", "tftp-hpa netascii")
        self.expect_line("", "netascii", "read", "Transfer successful", "text.txt")

        step("octet writes with tftp-hpa and curl, a netascii write with tftp-hpa")
        for client, name, size in (("tftp-hpa", "put-hpa.bin", 1536), ("curl", "put-curl.bin", 999)):
            content = payload(size, seed=size)
            local = self.clients / name
            local.write_bytes(content)
            argv = (["tftp", "-m", "binary", SERVER[0], "-c", "put", str(local), name]
                    if client == "tftp-hpa"
                    else ["curl", "-sS", "--max-time", "60", "-T", str(local),
                          f"tftp://127.0.0.1/{name}"])
            result = self.client_run(argv)
            check(result.returncode == 0, f"{client} put: {result.stderr!r}")
            check_equal((self.served / name).read_bytes(), content, f"{client} put {name}")
            self.expect_line("", "octet", "write", "Transfer successful", name)
        local = self.clients / "put.txt"
        local.write_bytes(b"alpha\nbeta\n\ngamma")
        result = self.client_run(["tftp", "-m", "ascii", SERVER[0], "-c", "put", str(local),
                                  "put.txt"])
        check(result.returncode == 0, f"tftp-hpa netascii put: {result.stderr!r}")
        # Stored as the wire brings it: CR LF line ends, the Windows form.
        check_equal((self.served / "put.txt").read_bytes(), b"alpha\r\nbeta\r\n\r\ngamma",
                    "netascii write")
        self.expect_line("", "netascii", "write", "Transfer successful", "put.txt")

        step("refusals on the wire: a missing file, an existing file, a device name")
        for request, expected, name, operation, description in (
            (tftp_wire.rrq("missing.bin"), tftp_wire.error_bytes(1, "File not found"),
             "missing.bin", "read", "File not found"),
            (tftp_wire.wrq("put-hpa.bin"), tftp_wire.error_bytes(6, "File exists"),
             "put-hpa.bin", "write", "File exists"),
        ):
            with self.endpoint() as endpoint:
                endpoint.send(request, SERVER)
                got = endpoint.recv(10)
                check(got is not None, f"no answer to {request!r}")
                check_equal(got[0], expected, f"answer to {request!r}")
                check(got[1][1] != SERVER[1], "the answer came from port 69")
            self.expect_line("E", "octet", operation, description, name)
        with self.endpoint() as endpoint:
            endpoint.send(tftp_wire.rrq("nul"), SERVER)
            got = endpoint.recv(10)
            check(got is not None and got[0] == tftp_wire.error_bytes(2, "Access denied"),
                  f"a read of the device nul: {got!r}")
        # The full path of a device name is the device's: never opened as a file.
        self.expect_line("E", "octet", "read", "Access denied", "nul", full_path="\\\\.\\nul")

        step(f"a timeout: DATA 1 sent {1 + MAX_RETRANSMIT} times {TIMEOUT_SECONDS} s apart")
        (self.served / "unacked.bin").write_bytes(payload(600, seed=1))
        with self.endpoint() as endpoint:
            endpoint.send(tftp_wire.rrq("unacked.bin"), SERVER)
            packets = endpoint.collect(quiet=TIMEOUT_SECONDS * 3, limit=30)
        blocks = [(packet.opcode, packet.block) for packet, _, _ in packets]
        check_equal(blocks, [(tftp_wire.DATA, 1)] * (1 + MAX_RETRANSMIT), "packets without ACK")
        gap = packets[1][2] - packets[0][2]
        check(0.7 * TIMEOUT_SECONDS <= gap <= 3 * TIMEOUT_SECONDS, f"retransmission after {gap} s")
        self.expect_line("E", "octet", "read", "Timeout; max. retransmits reached", "unacked.bin")

    def pause_and_continue(self) -> None:
        step("pause: a running transfer goes on, a new request waits until continue")
        content = payload(100 * tftp_wire.BLOCK_SIZE + 100, seed=3)
        (self.served / "paused.bin").write_bytes(content)
        with self.endpoint() as running, self.endpoint() as waiting:
            progress: list[float] = []
            result: dict[str, object] = {}
            reader = threading.Thread(target=self.slow_read,
                                      args=(running, "paused.bin", progress, result))
            reader.start()
            try:
                deadline = time.monotonic() + 10
                while not progress:
                    check(time.monotonic() < deadline, "no first block")
                    time.sleep(0.05)
                check_equal(self.control_service("pause", STATE_PAUSED), STATE_PAUSED, "pause")
                paused_at = len(progress)
                waiting.send(tftp_wire.rrq("paused.bin"), SERVER)
                waiting.expect_none(2.0)
                check_equal(self.control_service("interrogate"), STATE_PAUSED, "interrogate")
                waiting.expect_none(0.5)
                check(len(progress) > paused_at + 5,
                      f"the running transfer stood still while paused ({paused_at} blocks, "
                      f"then {len(progress)})")

                check_equal(self.control_service("continue", STATE_RUNNING), STATE_RUNNING,
                            "continue")
                served, served_peer = waiting.expect(10)
                check_equal((served.opcode, served.block), (tftp_wire.DATA, 1),
                            "the request that waited")
                check_equal(self.finish_read(waiting, served_peer, served), content,
                            "the transfer that waited for continue")
            finally:
                reader.join(timeout=60)
            check_equal(result.get("content"), content, "the transfer that ran through the pause")
        self.expect_line("", "octet", "read", "Transfer successful", "paused.bin")
        self.expect_line("", "octet", "read", "Transfer successful", "paused.bin")

    @staticmethod
    def slow_read(endpoint: tftp_wire.Endpoint, name: str, progress: list, result: dict) -> None:
        """A read that acknowledges each block a tenth of a second late, well within the
        server's timeout; the time of each new block goes to `progress`."""
        try:
            endpoint.send(tftp_wire.rrq(name), SERVER)
            received = b""
            block = 1
            while True:
                packet, peer = endpoint.expect(10)
                if packet.opcode != tftp_wire.DATA:
                    raise Failure(f"slow read: {packet!r}")
                if packet.block != block:
                    continue  # a retransmission of the block before
                received += packet.payload
                progress.append(time.monotonic())
                time.sleep(0.1)
                endpoint.send(tftp_wire.ack(block), peer)
                if len(packet.payload) < tftp_wire.BLOCK_SIZE:
                    result["content"] = received
                    return
                block += 1
        except (Failure, AssertionError, OSError) as error:
            result["error"] = error

    def finish_read(self, endpoint: tftp_wire.Endpoint, peer, packet: tftp_wire.Packet) -> bytes:
        """Acknowledges `packet` and every block after it; answers the file's bytes."""
        received = packet.payload
        block = packet.block
        while len(packet.payload) == tftp_wire.BLOCK_SIZE:
            endpoint.send(tftp_wire.ack(block), peer)
            packet, _ = endpoint.expect(10)
            block += 1
            check_equal((packet.opcode, packet.block), (tftp_wire.DATA, block), "next block")
            received += packet.payload
        endpoint.send(tftp_wire.ack(block), peer)
        return received

    def ipv6(self) -> None:
        step("EnableIPv6 1: a read and a write with curl over ::1")
        content = payload(5000, seed=17)
        (self.served / "six.bin").write_bytes(content)
        (self.served / "six-put.bin").unlink(missing_ok=True)
        local = self.clients / "six.bin"
        result = self.client_run(["curl", "-sS", "--max-time", "60", "-o", str(local),
                                  "tftp://[::1]/six.bin"])
        check(result.returncode == 0 and local.read_bytes() == content,
              f"curl get over ::1: {result.stderr!r}")
        result = self.client_run(["curl", "-sS", "--max-time", "60", "-T", str(local),
                                  "tftp://[::1]/six-put.bin"])
        check(result.returncode == 0 and (self.served / "six-put.bin").read_bytes() == content,
              f"curl put over ::1: {result.stderr!r}")
        for operation, name in (("read", "six.bin"), ("write", "six-put.bin")):
            self.expect_line("", "octet", operation, "Transfer successful", name, local="::1",
                             client="::1")

    def observe(self) -> None:
        step("MetricsAddress and TransferRecordFile: the endpoint over loopback, one record "
             "per transfer")
        with urllib.request.urlopen("http://127.0.0.1:9469/metrics", timeout=10) as answer:
            exposition = answer.read().decode()
        ended = sum(float(line.rsplit(" ", 1)[1]) for line in exposition.splitlines()
                    if line.startswith("quoril_transfers_ended_total{"))
        records = [json.loads(line) for line in
                   (self.served / "records.jsonl").read_text().splitlines()]
        check(ended > 0 and ended == len(records),
              f"{ended} transfers in the metrics, {len(records)} records")
        with urllib.request.urlopen("http://127.0.0.1:9469/healthz", timeout=10) as answer:
            check_equal(answer.status, 200, "/healthz while running")
        try:
            urllib.request.urlopen("http://127.0.0.1:9469/other", timeout=10)
            check(False, "/other answered")
        except urllib.error.HTTPError as failure:
            check_equal(failure.code, 404, "/other")

    def single_port(self) -> None:
        step("SinglePort 1: a read answered from port 69 itself")
        content = payload(3000, seed=19)
        (self.served / "one.bin").write_bytes(content)
        with self.endpoint() as endpoint:
            client = tftp_wire.Client(endpoint, SERVER, timeout=5)
            got = client.get("one.bin")
        check_equal((got == content, client.peer), (True, SERVER), "a read in single-port mode")
        self.expect_line("", "octet", "read", "Transfer successful", "one.bin")

    def stop_while_paused(self) -> None:
        step("a stop while paused")
        check_equal(self.control_service("pause", STATE_PAUSED), STATE_PAUSED, "pause")
        self.stop()

    def transfer_log(self) -> None:
        step("the transfer log in the default directory")
        log = (self.served / "quorld.log").read_bytes()
        check(b"\n" not in log.replace(b"\r\n", b""), "a line of the log does not end in CR LF")
        lines = log.split(b"\r\n")
        started = rb"\d\d/\d\d/\d\d   \d\d:\d\d:\d\d   --- Quoril service started ---"
        stopped = rb"\d\d/\d\d/\d\d   \d\d:\d\d:\d\d   --- Quoril service stopped ---"
        header = (b"Status  Date       Time       Client Address    Local Address    Mode      "
                  b"Operation   Description                        File")
        check(re.fullmatch(started, lines[0]) is not None, f"start banner: {lines[0]!r}")
        check_equal(lines[1:3], [b"", header], "empty line and column header of a new log")
        check_equal(sum(1 for line in lines if re.fullmatch(started, line)), 2, "start banners")
        check_equal(sum(1 for line in lines if re.fullmatch(stopped, line)), 2, "stop banners")
        check(re.fullmatch(stopped, lines[-2]) is not None and lines[-1] == b"",
              "the log ends with the stop banner")
        transfers = []
        for line in lines:
            text = line.decode("latin-1")
            if len(text) < 122 or text == header.decode():
                continue
            check(re.fullmatch(r"\d\d/\d\d/\d\d", text[8:16]) is not None, f"date in {text!r}")
            check(re.fullmatch(r"\d\d:\d\d:\d\d", text[19:27]) is not None, f"time in {text!r}")
            transfers.append((text[0:8].strip(), text[65:75].strip(), text[75:87].strip(),
                              text[87:122].strip(), text[122:], text[30:48].strip(),
                              text[48:65].strip()))
        check_equal(sorted(transfers), sorted(self.expected_lines), "transfer lines")

    def event_loops(self) -> None:
        step("EventLoops 1, NegotiateOptions 1 and EnableIPv6 1: the same transfers, options, "
             "IPv6, pause and continue, and stop from one loop")
        self.wine.reg_add(PARAMETERS, "EventLoops", "REG_DWORD", "1")
        self.wine.reg_add(PARAMETERS, "NegotiateOptions", "REG_DWORD", "1")
        self.wine.reg_add(PARAMETERS, "TransferPortLow", "REG_DWORD", str(TRANSFER_PORTS[0]))
        self.wine.reg_add(PARAMETERS, "TransferPortHigh", "REG_DWORD", str(TRANSFER_PORTS[1]))
        for name in ("put-hpa.bin", "put-curl.bin", "put.txt"):
            (self.served / name).unlink(missing_ok=True)
        self.start()
        self.transfer_ports()
        self.transfers()
        self.options()
        self.ipv6()
        self.pause_and_continue()
        self.stop()
        for name in ("EventLoops", "NegotiateOptions", "TransferPortLow", "TransferPortHigh",
                     "EnableIPv6"):
            self.wine.reg_delete(PARAMETERS, name)

    def names(self) -> None:
        step("LimitToDefaultDirectory, RootRelativeNames, RewriteRules and ClientDirectories: "
             "names as boot loaders send them, and a client's own directory")
        settings = (("LimitToDefaultDirectory", "REG_DWORD", "1"),
                    ("RootRelativeNames", "REG_DWORD", "1"),
                    ("RewriteRules", "REG_MULTI_SZ", r"r ^/tftpboot/\0r ^alias.bin$ names.bin"),
                    ("ClientDirectories", "REG_DWORD", "1"))
        for name, kind, data in settings:
            self.wine.reg_add(PARAMETERS, name, kind, data)
        shared, own = payload(2000, seed=23), payload(3000, seed=29)
        (self.served / "names.bin").write_bytes(shared)
        (self.served / "127.0.0.2").mkdir(exist_ok=True)
        (self.served / "127.0.0.2" / "names.bin").write_bytes(own)
        self.start()
        for client, name, content in (("127.0.0.1", "/names.bin", shared),
                                      ("127.0.0.1", "\\names.bin", shared),
                                      ("127.0.0.1", "/tftpboot/alias.bin", shared),
                                      ("127.0.0.2", "/names.bin", own)):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind((client, 0))
            with tftp_wire.Endpoint(sock) as endpoint:
                got = tftp_wire.Client(endpoint, SERVER, timeout=5).get(name)
            check(got == content, f"{name} read from {client}")
        self.stop()
        for name, _, _ in settings:
            self.wine.reg_delete(PARAMETERS, name)
        self.wine.reg_add(PARAMETERS, "LimitToDefaultDirectory", "REG_DWORD", "0")

    def transfer_ports(self) -> None:
        step(f"TransferPortLow/High {TRANSFER_PORTS}: reads answered from each port in turn")
        (self.served / "ports.bin").write_bytes(payload(100, seed=17))
        ports = []
        for _ in range(3):
            with self.endpoint() as endpoint:
                endpoint.send(tftp_wire.rrq("ports.bin"), SERVER)
                packet, peer = endpoint.expect(10)
                endpoint.send(tftp_wire.ack(1), peer)
            ports.append(peer[1])
            self.expect_line("", "octet", "read", "Transfer successful", "ports.bin")
        check(set(ports) == set(TRANSFER_PORTS) and ports[0] != ports[1],
              f"transfer ports {ports}")

    def options(self) -> None:
        step("options: blksize with curl both ways, a window with tsize, tsize beyond the disk")
        content = payload(3 * 1468 + 5, seed=13)
        (self.served / "blk.bin").write_bytes(content)
        local = self.clients / "blk.bin"
        result = self.client_run(["curl", "-sS", "--max-time", "60", "--tftp-blksize", "1468",
                                  "-o", str(local), "tftp://127.0.0.1/blk.bin"])
        check(result.returncode == 0 and local.read_bytes() == content,
              f"curl get with blksize: {result.stderr!r}")
        result = self.client_run(["curl", "-sS", "--max-time", "60", "--tftp-blksize", "1468",
                                  "-T", str(local), "tftp://127.0.0.1/blk-put.bin"])
        check(result.returncode == 0 and (self.served / "blk-put.bin").read_bytes() == content,
              f"curl put with blksize: {result.stderr!r}")
        with self.endpoint() as endpoint:
            client = tftp_wire.Client(endpoint, SERVER, timeout=5)
            got = client.get("blk.bin", options={"tsize": 0, "blksize": 1468, "windowsize": 4})
        check_equal((got == content, client.oack),
                    (True, {"tsize": str(len(content)), "blksize": "1468", "windowsize": "4"}),
                    "a read with tsize, blksize and windowsize")
        with self.endpoint() as endpoint:
            endpoint.send(tftp_wire.wrq("huge.bin", options={"tsize": 1 << 62}), SERVER)
            packet, _ = endpoint.expect(10)
        check_equal(packet.raw, tftp_wire.error_bytes(3, "Disk full or allocation exceeded"),
                    "a write announcing more than the disk holds")
        check(not (self.served / "huge.bin").exists(), "huge.bin was created")

    def console_mode(self) -> None:
        step("-debug: the listener in the console, ended by Ctrl-C")
        content = payload(1000, seed=11)
        (self.served / "console.bin").write_bytes(content)
        log = self.served / "quorld.log"
        logged = len(log.read_bytes())
        stderr = self.work / "console-stderr.log"
        with open(stderr, "wb") as errors:
            console = subprocess.Popen(["wine", self.quorld, "-debug"], env=self.wine.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=errors)
        try:
            self.await_port_69(True)
            local = self.clients / "console.bin"
            result = self.client_run(["tftp", "-m", "binary", SERVER[0], "-c", "get",
                                      "console.bin", str(local)])
            check(result.returncode == 0 and local.read_bytes() == content,
                  f"tftp-hpa get in console mode: {result.stderr!r}")
            # Wine turns SIGINT into the console's Ctrl-C event.
            console.send_signal(signal.SIGINT)
            output, _ = console.communicate(timeout=30)
        finally:
            if console.poll() is None:
                console.kill()
                console.wait()
        check_equal((console.returncode, output), (0, b""), "quorld.exe -debug after Ctrl-C")
        check(not self.port_69_bound(), "port 69 still bound after Ctrl-C")
        appended = log.read_bytes()[logged:].split(b"\r\n")
        check(appended[0].endswith(b"   --- Quoril service started ---") and appended[1] == b"",
              f"console mode's start banner: {appended[:2]!r}")
        check(appended[2].endswith(self.served_path("console.bin").encode()) and
              b"Transfer successful" in appended[2], f"console mode's line: {appended[2]!r}")
        check(appended[3] == b"" and appended[4].endswith(b"   --- Quoril service stopped ---"),
              f"console mode's stop banner: {appended[3:]!r}")
        reports = re.findall(r"ReportEventA \([0-9A-Fa-f]+,0x0004,0x0000,0x([0-9A-Fa-f]+),",
                             stderr.read_text("latin-1"))
        check_equal([int(ident, 16) for ident in reports],
                    [EVENT_SERVICE_STARTED, EVENT_SERVICE_STOPPED], "console mode's events")

    def failed_start(self) -> None:
        step("a start whose settings name no directory: never running, stopped with the "
             "service-specific error 0xC0000003")
        self.wine.reg_add(PARAMETERS, "DefaultDirectory", "REG_EXPAND_SZ",
                          self.wine.path(self.work / "no-such-directory"))
        # Wine's net.exe returns at the first report, before the start has failed.
        result = self.wine.run("net", "start", SERVICE, timeout=90)
        check(result.returncode == 0, f"net start: {result.stdout!r} {result.stderr!r}")
        check_equal(self.control_service_status("query", STATE_STOPPED),
                    (STATE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, EVENT_INIT_FAILED),
                    "state and exit codes after a failed start")
        check(not self.port_69_bound(), "port 69 bound by a service that failed to start")

    def remove(self) -> None:
        step("-remove, then a second -remove that fails")
        result = self.quorld_run("-remove")
        check_equal((result.returncode, result.stdout), (0, REMOVED), "quorld.exe -remove")
        check(self.wine.run("sc", "query", SERVICE).returncode != 0, "the service is still there")
        check(not self.wine.reg_exists(EVENT_SOURCE), "the event-log source is still there")
        result = self.quorld_run("-remove")
        check_equal((result.returncode, result.stdout), (1, REMOVE_FAILED), "second -remove")

    def events(self) -> None:
        step("the event identifiers that reached ReportEventA")
        reports = re.findall(
            r"ReportEventA \([0-9A-Fa-f]+,0x([0-9A-Fa-f]+),0x([0-9A-Fa-f]+),0x([0-9A-Fa-f]+),",
            self.wine.events.read_text("latin-1"),
        )
        found = [(int(kind, 16), int(category, 16), int(ident, 16))
                 for kind, category, ident in reports]
        start = (EVENTLOG_INFORMATION_TYPE, 0, EVENT_SERVICE_STARTED)
        stop = (EVENTLOG_INFORMATION_TYPE, 0, EVENT_SERVICE_STOPPED)
        init_failed = (EVENTLOG_INFORMATION_TYPE, 0, EVENT_INIT_FAILED)
        # Four lives: the thread engine twice, event loops, the names; then a failed start.
        check_equal(found, [start, stop] * 4 + [init_failed, stop],
                    "events (type, category, identifier)")

    def unit_tests(self) -> None:
        step("the Win32 backend's unit tests")
        tree = self.work / "unit-tree"
        (tree / "inside").mkdir(parents=True)
        (tree / "outside").mkdir()
        (tree / "outside" / "secret.txt").write_bytes(b"secret")
        (tree / "inside" / "escape").symlink_to(tree / "outside")
        (tree / "inside" / "escape.txt").symlink_to(tree / "outside" / "secret.txt")
        env_tree = self.wine.path(tree)
        self.wine.env["QUORIL_TEST_TREE"] = env_tree
        result = self.wine.run(self.build / "quoril_windows_tests.exe", "--gtest_brief=1",
                               timeout=300)
        del self.wine.env["QUORIL_TEST_TREE"]
        sys.stdout.write(result.stdout.decode("latin-1"))
        check(result.returncode == 0, "the backend's unit tests failed")


def main() -> int:
    # A time limit from outside (timeout(1)) still ends the session below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    build = Path(sys.argv[1]).resolve()
    work = Path(tempfile.mkdtemp(prefix="quoril-wine-"))
    life = Life(build, work)
    ok = False
    try:
        step(f"a fresh prefix in {life.wine.prefix}")
        life.wine.start_session()
        life.command_line()
        life.unit_tests()
        life.install()
        life.wine.reg_add(PARAMETERS, "MetricsAddress", "REG_SZ", "127.0.0.1:9469")
        life.wine.reg_add(PARAMETERS, "TransferRecordFile", "REG_SZ", "records.jsonl")
        life.start()
        life.transfers()
        life.observe()
        life.pause_and_continue()
        life.stop()
        life.wine.reg_delete(PARAMETERS, "MetricsAddress")
        life.wine.reg_delete(PARAMETERS, "TransferRecordFile")
        life.wine.reg_add(PARAMETERS, "EnableIPv6", "REG_DWORD", "1")
        life.wine.reg_add(PARAMETERS, "SinglePort", "REG_DWORD", "1")
        life.start()
        life.ipv6()
        life.single_port()
        life.stop_while_paused()
        life.wine.reg_delete(PARAMETERS, "SinglePort")
        life.transfer_log()
        life.event_loops()
        life.names()
        life.console_mode()
        life.failed_start()
        life.remove()
        life.events()
        ok = True
    except (Failure, AssertionError, subprocess.SubprocessError, OSError, SystemExit) as error:
        print(f"FAILED: {error}", flush=True)
    finally:
        life.wine.end_session()
    print(f"{'passed' if ok else 'FAILED'} in {time.monotonic() - life.started_at:.0f} s")
    if ok:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print(f"the prefix, the served files and services' stderr stay in {work}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
