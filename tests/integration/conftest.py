"""Integration test harness: the real ``quorld -debug`` in a network namespace of its own.

Every server under test gets a private network namespace (see netns.py) with loopback up and,
on request, further loopback addresses; a temporary served directory (its DefaultDirectory and
current directory); and a temporary system root (``QUORIL_ROOT``) that holds its registry file
``etc/quoril/registry.reg`` and its event log. Nothing touches the real machine, and test
files may run side by side (ctest -j).

Fixtures
--------
``server``
    A started server with the installer defaults (Timeout 3, MaxRetransmit 5,
    OverwriteExisting 1, LimitToDefaultDirectory 0, EnableLogging 0) on 127.0.0.1.

``engine``
    Parametrizes every test that starts a server: ``threads`` (a thread per transfer, the
    ``EventLoops`` value absent) and ``loops`` (``EventLoops`` = 2). ``event_loops=N`` given to
    the factory overrides it.

``server_factory(**options)``
    Starts (or, with ``start=False``, only prepares) a server; every one made is stopped and
    checked at teardown. Options:

    - ``addresses=("127.0.0.2", ...)``: loopback addresses added besides 127.0.0.1.
    - ``ipv6=("fd00::1", "fe80::1", ...)``: IPv6 addresses on veth0 of a veth pair in the
      namespace (see netns.py); with ``enable_ipv6=1`` the server is ready once it listens on
      ::1 and on each of them too.
    - settings written into the registry file: ``timeout``, ``max_retransmit``, ``overwrite``,
      ``limit``, ``logging``, ``log_file``, ``default_directory``, and the optional
      ``negotiate``, ``max_block_size``, ``max_window_size``, ``max_transfers``,
      ``transfer_port_low``, ``transfer_port_high``, ``single_port``, ``enable_ipv6``,
      ``root_relative``, ``rewrite_rules``, ``client_directories``, ``listen_addresses``,
      ``metrics_address``, ``transfer_record_file``
      (numbers are written as dword, texts as REG_EXPAND_SZ with their terminator, lists of texts as REG_MULTI_SZ;
      bytes as given; ``OMIT`` leaves the value out). Settings may still be changed in ``server.settings``
      until ``start()``, which writes the registry file.
    - ``registry="text"`` writes that text as the registry file verbatim; ``registry=False``
      writes none.
    - ``args=("-debug",)`` and ``env={...}`` for the command line and extra environment.
    - ``nofile=N``: the server starts with a descriptor limit of N (soft and hard).
    - ``wait_ready=True``: wait until every port-69 socket is bound.
    - ``disk_size=bytes``: the served directory is a tmpfs of that size, mounted in a private
      mount namespace of the server's (for "Disk full"); ``directory`` then reaches it
      through /proc.

``QuorilServer`` (what the fixtures give)
    ``address``/``addresses``, ``directory`` (served files), ``root`` (system root),
    ``work`` (a scratch directory for client-side files), ``timeout``/``max_retransmit``
    (the settings in force), ``file(name)`` (a path in the served directory),
    ``endpoint(address, port)`` (a UDP socket inside the namespace, see tftp_wire.Endpoint),
    ``client(...)`` (a tftp_wire.Client), ``get``/``put`` (whole transfers with it, options
    as ``options={...}``), ``run(argv)`` (a command inside the namespace, e.g. a real client; see clients.py),
    ``listener_addresses()``, ``udp_sockets()``, ``wait_closed((address, port))`` (a
    transfer has ended once its socket is gone), ``stop()`` (SIGTERM, answers the exit code),
    ``wait_exit()`` (for a server that is expected to end by itself), ``stdout``/``stderr``;
    ``executable`` and ``launcher`` (a command that execs it, such as setpriv) may be set
    before ``start()``, as service_manager.py does for an installed unit.

At teardown every server is stopped with SIGTERM (exit code 0 expected, unless the test set
``expected_returncode``) and the test fails if the server ended unexpectedly, did not stop,
or wrote a sanitizer report; everything is killed and removed whatever happens. The
server's output is attached to the report of a failing test.

Example::

    from conftest import payload
    from tftp_wire import rrq, error_bytes

    def test_something(server_factory):
        server = server_factory(timeout=1, max_retransmit=0, addresses=("127.0.0.2",))
        server.file("a.bin").write_bytes(payload(1000))
        assert server.get("a.bin") == payload(1000)          # whole transfer, raw client
        client = server.endpoint()                            # raw datagrams
        client.send(rrq("missing.bin"), (server.address, 69))
        packet, transfer = client.expect()
        assert packet.raw == error_bytes(1, "File not found")
        server.wait_closed(transfer)
        result = server.run(["tftp", "-m", "binary", server.address, "-c", "get", "a.bin"])

Environment: ``QUORIL_REQUIRE_NAMESPACES=1`` turns "cannot create a network namespace" (not
root) from a skip into a failure; ``QUORLD`` is the executable (default: build/quorld of this checkout);
``QUORIL_SANITIZE`` names the sanitizer build; ``QUORIL_KEEP_TMP=1`` keeps the temporary
directories.
"""

from __future__ import annotations

import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

import tftp_wire
from netns import NetNamespace, socket_inodes, udp_sockets
# --shard I/N: ctest runs the parts of a long file side by side.
from shards import pytest_addoption, pytest_collection_modifyitems  # noqa: F401

REPO = Path(__file__).resolve().parents[2]
QUORLD = Path(os.environ.get("QUORLD", REPO / "build" / "quorld"))
SANITIZE = os.environ.get("QUORIL_SANITIZE", "")
if SANITIZE == "thread":
    # ThreadSanitizer sleeps 1 s in every exit by default, to let threads still running race
    # with the exit: a tenth of it keeps that window and saves most of a second per server.
    os.environ.setdefault("TSAN_OPTIONS", "atexit_sleep_ms=100")

PARAMETERS_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Quoril\Parameters"

DEFAULTS = {
    "log_file": "quorld.log",
    "default_directory": None,  # the served directory of the test
    "timeout": 3,
    "max_retransmit": 5,
    "logging": 0,
    "overwrite": 1,
    "limit": 0,
    "event_loops": None,  # the engine under test (see ENGINES)
    "negotiate": None,  # NegotiateOptions; absent: options are ignored
    "max_block_size": None,
    "max_window_size": None,
    "max_transfers": None,  # optional: absent takes the server's default
    "transfer_port_low": None,  # optional, both or neither: the system chooses each port
    "transfer_port_high": None,
    "single_port": None,  # SinglePort; absent: each transfer answers from a port of its own
    "enable_ipv6": None,  # optional: absent serves IPv4 only
    "root_relative": None,  # RootRelativeNames; absent: a leading separator names the root
    "rewrite_rules": None,  # RewriteRules, a list of texts (REG_MULTI_SZ); absent: none
    "client_directories": None,  # ClientDirectories; absent: no client's own directory
    "listen_addresses": None,  # ListenAddresses, a list of texts; absent: every address served
    "follow_addresses": None,  # FollowAddresses; absent: the addresses of the start only
    "retransmit_backoff": None,  # RetransmitBackoff; absent: every wait is one Timeout
    "ignore_blocks_ahead": None,  # IgnoreBlocksAhead; absent: a block ahead ends the transfer
    "ignore_request_copies": None,  # IgnoreRequestCopies; absent: each copy is a transfer
    "dally_after_write": None,  # DallyAfterWrite; absent: a write ends at its final ACK
    "metrics_address": None,  # MetricsAddress; absent: no HTTP endpoint
    "transfer_record_file": None,  # TransferRecordFile; absent: no JSON records
}

# (registry value, option) in the order installation writes them.
REGISTRY_VALUES = [
    ("LogFile", "log_file"),
    ("DefaultDirectory", "default_directory"),
    ("Timeout", "timeout"),
    ("MaxRetransmit", "max_retransmit"),
    ("EnableLogging", "logging"),
    ("OverwriteExisting", "overwrite"),
    ("LimitToDefaultDirectory", "limit"),
    ("EventLoops", "event_loops"),  # optional: absent serves a thread per transfer
    ("NegotiateOptions", "negotiate"),  # optional, as the two below
    ("MaxBlockSize", "max_block_size"),
    ("MaxWindowSize", "max_window_size"),
    ("MaxTransfers", "max_transfers"),  # optional
    ("TransferPortLow", "transfer_port_low"),  # optional, as the one below
    ("TransferPortHigh", "transfer_port_high"),
    ("SinglePort", "single_port"),  # optional
    ("EnableIPv6", "enable_ipv6"),  # optional
    ("RootRelativeNames", "root_relative"),  # optional, as the two below
    ("RewriteRules", "rewrite_rules"),
    ("ClientDirectories", "client_directories"),
    ("ListenAddresses", "listen_addresses"),  # optional
    ("FollowAddresses", "follow_addresses"),  # optional
    ("RetransmitBackoff", "retransmit_backoff"),  # optional, as the three below
    ("IgnoreBlocksAhead", "ignore_blocks_ahead"),
    ("IgnoreRequestCopies", "ignore_request_copies"),
    ("DallyAfterWrite", "dally_after_write"),
    ("MetricsAddress", "metrics_address"),  # optional
    ("TransferRecordFile", "transfer_record_file"),  # optional
]

# Every test that starts a server runs against both engines: a thread per transfer (the
# EventLoops value absent) and two event loops.
ENGINES = {"threads": None, "loops": 2}

SANITIZER_REPORT = re.compile(
    r"(ERROR|WARNING): (Address|Leak|Thread|Memory|UndefinedBehavior)Sanitizer"
    r"|runtime error:|SUMMARY: \w+Sanitizer"
)

READY_TIMEOUT = 30.0
STOP_TIMEOUT = 60.0


OMIT = object()  # a setting given as OMIT is left out of the registry file


def payload(size: int, seed: int = 0) -> bytes:
    """Reproducible random bytes (every byte value, CR and LF included)."""
    return random.Random(seed).randbytes(size)


def registry_text(values: dict) -> str:
    """A REGEDIT4 file with the Parameters key holding `values` ({name: int|str|bytes})."""
    lines = ["REGEDIT4", "", f"[{PARAMETERS_KEY}]"]
    for name, value in values.items():
        if value is OMIT or value is None:
            continue
        if isinstance(value, int):
            lines.append(f'"{name}"=dword:{value & 0xFFFFFFFF:08x}')
        elif isinstance(value, list):  # REG_MULTI_SZ: each text terminated, then one more
            raw = b"".join(text.encode("latin-1") + b"\0" for text in value) + b"\0"
            lines.append(f'"{name}"=hex(7):' + ",".join(f"{b:02x}" for b in raw))
        else:
            raw = value if isinstance(value, bytes) else value.encode("latin-1") + b"\0"
            lines.append(f'"{name}"=hex(2):' + ",".join(f"{b:02x}" for b in raw))
    return "\n".join(lines) + "\n"


class QuorilServer:
    """One quorld process in a network namespace of its own (see the module docstring)."""

    def __init__(
        self, addresses=(), registry=None, args=("-debug",), env=None, disk_size=None,
        nofile=None, ipv6=(), **settings
    ):
        unknown = set(settings) - set(DEFAULTS)
        if unknown:
            raise TypeError(f"unknown server settings: {sorted(unknown)}")
        self.base = Path(tempfile.mkdtemp(prefix="quoril-it-"))  # lower case only
        self.root = self.base / "root"
        self.work = self.base / "work"
        self.served = self.base / "served"
        for directory in (self.root, self.work, self.served):
            directory.mkdir()
        try:
            tmpfs = (self.served, disk_size) if disk_size else None
            self.ns = NetNamespace(addresses, tmpfs=tmpfs, ipv6=ipv6)
        except BaseException:
            shutil.rmtree(self.base, ignore_errors=True)
            raise
        self.addresses = self.ns.addresses
        self.address = self.addresses[0]
        self.ipv6_addresses = ["::1", *ipv6]
        # Settings, registry and arguments may still be changed until start().
        self.settings = {**DEFAULTS, **settings}
        if self.settings["default_directory"] is None:
            self.settings["default_directory"] = str(self.served)
        self.registry = registry
        # What runs: `launcher` (e.g. a change of user) before the executable and `args`.
        self.launcher: list[str] = []
        self.executable: Path | None = None  # None: QUORLD
        self.args = list(args)
        self.env = dict(os.environ, QUORIL_ROOT=str(self.root), **(env or {}))
        if SANITIZE:
            self.env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
            self.env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
        self.nofile = nofile
        self.process = None
        self.expected_returncode = 0
        self._ended_by_test = False
        self._endpoints = []

    @property
    def server_directory(self) -> Path:
        """The server's current directory: DefaultDirectory when it names an existing
        directory, otherwise the test's own served directory."""
        value = self.settings["default_directory"]
        if isinstance(value, (str, bytes)) and value:
            candidate = Path(os.fsdecode(value))
            if candidate.is_absolute() and candidate.is_dir():
                return candidate
        return self.served

    @property
    def directory(self) -> Path:
        """The served directory as the test process reaches it (through /proc/<pid>/root
        when it is the small disk of a private mount namespace)."""
        return Path(self.ns.outside(self.server_directory))

    # -- settings ----------------------------------------------------------------------------

    @property
    def timeout(self) -> int:
        """Timeout in force: the value as a signed 32-bit number, clamped to 1..255."""
        value = int(self.settings["timeout"]) & 0xFFFFFFFF
        if value >= 1 << 31:
            value -= 1 << 32
        return min(max(value, 1), 255)

    @property
    def max_retransmit(self) -> int:
        return min(int(self.settings["max_retransmit"]) & 0xFFFFFFFF, 50)

    @property
    def registry_path(self) -> Path:
        return self.root / "etc" / "quoril" / "registry.reg"

    @property
    def events_path(self) -> Path:
        return self.root / "var" / "log" / "quoril" / "events.log"

    @property
    def log_path(self) -> Path:
        return self.directory / os.fsdecode(self.settings["log_file"]).lower()

    def _write_registry(self) -> None:
        registry = self.registry
        if registry is False:
            return
        if registry is None:
            registry = registry_text(
                {name: self.settings[option] for name, option in REGISTRY_VALUES}
            )
        self.registry_path.parent.mkdir(parents=True, exist_ok=True)
        self.registry_path.write_text(registry, encoding="latin-1")

    # -- process -----------------------------------------------------------------------------

    def start(self, wait_ready: bool = True) -> "QuorilServer":
        self._write_registry()
        self._stdout = open(self.base / "quorld.stdout", "wb")
        self._stderr = open(self.base / "quorld.stderr", "wb")
        # nsenter (and a launcher such as setpriv) exec quorld in place, so the child's pid is
        # the server's.
        self.process = subprocess.Popen(
            self.ns.command([*self.launcher, self.executable or QUORLD, *self.args],
                            cwd=self.server_directory),
            cwd=self.server_directory if not self.ns.mounts else self.base,
            env=self.env,
            stdin=subprocess.DEVNULL,
            stdout=self._stdout,
            stderr=self._stderr,
            start_new_session=True,
            preexec_fn=self._limit_descriptors if self.nofile else None,
        )
        if wait_ready:
            self.wait_ready()
        return self

    def _limit_descriptors(self) -> None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (self.nofile, self.nofile))

    def listener_addresses(self) -> set[str]:
        """Addresses on which the server holds a socket bound to port 69."""
        return {address for address, port in self.udp_sockets() if port == 69}

    def udp_sockets(self) -> set[tuple[str, int]]:
        """(address, port) of every UDP socket the server holds: listeners and transfers."""
        try:
            own = socket_inodes(self.process.pid)
            table = udp_sockets(self.process.pid)
        except (FileNotFoundError, ProcessLookupError):
            return set()
        return {row["local"] for row in table if row["inode"] in own}

    def wait_closed(self, transfer, timeout: float = 10.0) -> None:
        """Waits until the server no longer holds the socket `transfer` = (address, port),
        that is, until that transfer has ended; fails the test otherwise."""
        deadline = time.monotonic() + timeout
        while tuple(transfer) in self.udp_sockets():
            if time.monotonic() > deadline:
                pytest.fail(f"transfer {transfer} still open after {timeout} s")
            time.sleep(0.02)

    def wait_ready(self, timeout: float = READY_TIMEOUT) -> None:
        """Waits until the server holds a port-69 socket on every address of its namespace."""
        deadline = time.monotonic() + timeout
        while True:
            bound = self.listener_addresses()
            expected = set(self.addresses)
            if self.settings["enable_ipv6"]:
                expected |= set(self.ipv6_addresses)
            if "0.0.0.0" in bound or bound >= expected:
                return
            if self.process.poll() is not None:
                self._ended_by_test = True
                self.expected_returncode = None  # reported here already
                pytest.fail(
                    f"quorld ended during start-up with code {self.process.returncode}\n"
                    + self.output()
                )
            if time.monotonic() > deadline:
                pytest.fail(f"quorld not listening on {self.addresses} after {timeout} s\n{self.output()}")
            time.sleep(0.02)

    def stop(self, timeout: float = STOP_TIMEOUT) -> int | None:
        """Orderly stop (SIGTERM); answers the exit code, or None if it had to be killed."""
        self._ended_by_test = True
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()
                return None
        return self.process.returncode

    def wait_exit(self, timeout: float = STOP_TIMEOUT) -> int:
        """For a server that is expected to end by itself: waits and answers its exit code."""
        self._ended_by_test = True
        return self.process.wait(timeout)

    def _read(self, name: str) -> str:
        path = self.base / name
        return path.read_bytes().decode("utf-8", "replace") if path.exists() else ""

    @property
    def stdout(self) -> str:
        return self._read("quorld.stdout")

    @property
    def stderr(self) -> str:
        return self._read("quorld.stderr")

    def output(self) -> str:
        # The events tell why a server ended on its own: a failure has its identifier there.
        events = self.root / "var/log/quoril/events.log"
        events_text = events.read_text(errors="replace") if events.exists() else "(none)"
        return (f"--- quorld stdout ---\n{self.stdout}\n--- quorld stderr ---\n{self.stderr}"
                f"\n--- events ---\n{events_text}")

    def close(self) -> list[str]:
        """Stops and removes everything; answers the problems found (empty when sound)."""
        problems = []
        try:
            if self.process is not None:
                if self.process.poll() is not None and not self._ended_by_test:
                    problems.append(f"quorld ended unexpectedly with code {self.process.returncode}")
                code = self.stop()
                if code is None:
                    problems.append(f"quorld did not stop within {STOP_TIMEOUT} s of SIGTERM")
                elif self.expected_returncode is not None and code != self.expected_returncode:
                    problems.append(f"quorld exited with code {code}, expected {self.expected_returncode}")
                self._stdout.close()
                self._stderr.close()
                if SANITIZER_REPORT.search(self.stderr):
                    problems.append("sanitizer report in quorld's stderr")
                if problems:
                    problems.append(self.output())
        finally:
            for endpoint in self._endpoints:
                endpoint.close()
            self.ns.close()
            if not os.environ.get("QUORIL_KEEP_TMP"):
                shutil.rmtree(self.base, ignore_errors=True)
        return problems

    # -- talking to it -----------------------------------------------------------------------

    def file(self, name: str) -> Path:
        return self.directory / name

    def endpoint(self, address: str | None = None, port: int = 0) -> tftp_wire.Endpoint:
        """A UDP socket inside the namespace bound to (address, port); closed at teardown. An
        IPv6 address may name its scope ("fe80::1%veth0")."""
        target = self.socket_address(address or self.address, port)
        sock = self.ns.socket(socket.AF_INET6 if len(target) == 4 else socket.AF_INET)
        sock.bind(target)
        endpoint = tftp_wire.Endpoint(sock)
        self._endpoints.append(endpoint)
        return endpoint

    def client(self, address: str | None = None, timeout: float = 5.0, retries: int = 5) -> tftp_wire.Client:
        """A lock-step client on a fresh socket, talking to port 69 of `address`."""
        target = address or self.address
        server = self.socket_address(target, tftp_wire.TFTP_PORT)
        return tftp_wire.Client(self.endpoint(target), server, timeout, retries)

    def socket_address(self, address: str, port: int) -> tuple:
        """(address, port) for a socket call; for IPv6 the 4-tuple with the scope's interface
        looked up in the namespace. Its address text names that interface only where the
        calling thread is in the namespace (ns.entered()), as peers' addresses do."""
        if ":" not in address:
            return (address, port)
        with self.ns.entered():
            return socket.getaddrinfo(address, port, socket.AF_INET6, socket.SOCK_DGRAM)[0][4]

    def get(self, name, mode="octet", options=(), **client) -> bytes:
        return self.client(**client).get(name, mode, options)

    def put(self, name, content: bytes, mode="octet", options=(), **client) -> None:
        self.client(**client).put(name, content, mode, options)

    def run(self, argv, timeout: float = 300, **kwargs) -> subprocess.CompletedProcess:
        """Runs a command inside the namespace, in the scratch directory by default."""
        kwargs.setdefault("cwd", self.work)
        return self.ns.run(argv, timeout=timeout, **kwargs)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        for index, server in enumerate(getattr(item, "quoril_servers", [])):
            if server.process is not None:
                report.sections.append((f"quorld {index} output", server.output()))


@pytest.fixture(params=list(ENGINES))
def engine(request) -> str:
    return request.param


@pytest.fixture
def server_factory(request, engine):
    servers = []
    request.node.quoril_servers = servers

    def make(start: bool = True, wait_ready: bool = True, **options) -> QuorilServer:
        options.setdefault("event_loops", ENGINES[engine])
        if not QUORLD.exists():
            pytest.fail(f"quorld not found at {QUORLD} (set QUORLD)")
        try:
            server = QuorilServer(**options)
        except (OSError, RuntimeError) as failure:
            # Network namespaces need root; CI sets QUORIL_REQUIRE_NAMESPACES so that a run
            # without them fails instead of passing with every integration test skipped.
            if os.environ.get("QUORIL_REQUIRE_NAMESPACES"):
                pytest.fail(f"cannot create a network namespace: {failure}")
            pytest.skip(f"network namespaces not available: {failure}")
        servers.append(server)
        if start:
            server.start(wait_ready=wait_ready)
        return server

    yield make
    problems = []
    for server in servers:
        problems += server.close()
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def server(server_factory) -> QuorilServer:
    return server_factory()


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a long transfer (tens of MiB) or a long timeout")
