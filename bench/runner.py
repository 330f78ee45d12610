#!/usr/bin/env python3
"""Side-by-side benchmark of Quoril and the TFTP servers people use, on loopback.

Every server runs in a network namespace of its own (loopback only), pinned to one core,
from the same directory of test files; the load generator (quoril-loadgen) runs in the
server's namespace, pinned to another core (to the server's own for a single transfer, see
client_cpu). Repetitions are interleaved: each scenario runs
against every server in turn, in an order that rotates from one repetition to the next, and
every figure is also given as a ratio to the best peer within the same repetition, since only
ratios taken side by side mean anything on a shared machine.

The server's processor time is read from /proc: its own threads, and forked children both
reaped (cutime/cstime) and still running (its process group). Its peak memory is the main
process's peak resident set (reset before each scenario) plus the largest private resident
memory its forked children held at once (sampled).

bench/run.sh installs the peers, builds, and calls this; see README.md, "Benchmark".
Quoril runs twice, as "quoril" (a thread per transfer) and "quoril-loop" (the same build with
one event loop, EventLoops = 1). --smoke runs a few tiny transfers of every kind against both
alone and fails when a byte is wrong: it never judges speed.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

PAGE = os.sysconf("SC_PAGE_SIZE")
TICK = os.sysconf("SC_CLK_TCK")
MIB = 1024 * 1024
SANITIZER_REPORT = re.compile(r"(ERROR|WARNING): \w+Sanitizer|runtime error:|SUMMARY: \w+Sanitizer")

REGISTRY = (
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters]\r\n"
    '"LogFile"="quorld.log"\r\n'
    '"DefaultDirectory"="{root}"\r\n'
    '"Timeout"=dword:00000003\r\n'
    '"MaxRetransmit"=dword:00000005\r\n'
    '"EnableLogging"=dword:00000000\r\n'
    '"OverwriteExisting"=dword:00000002\r\n'
    '"LimitToDefaultDirectory"=dword:00000000\r\n'
    '"NegotiateOptions"=dword:00000001\r\n'
    "{engine}"
)
# A build measured under a name that ends so runs the event-loop engine with one loop.
LOOP_SUFFIX = "-loop"
EVENT_LOOPS = '"EventLoops"=dword:00000001\r\n'
# And one whose name ends so (after -loop, if both) runs every transfer on port 69.
SINGLE_SUFFIX = "-single"
SINGLE_PORT = '"SinglePort"=dword:00000001\r\n'
# And one whose name holds this (quoril-backoff, quoril-backoff-loop) backs its retransmissions off.
BACKOFF_PART = "-backoff"
BACKOFF = '"RetransmitBackoff"=dword:00000001\r\n'
# And one whose name holds this ignores blocks numbered ahead.
AHEAD_PART = "-ahead"
AHEAD = '"IgnoreBlocksAhead"=dword:00000001\r\n'
# And one whose name holds this drops copies of a running transfer's request.
COPIES_PART = "-copies"
COPIES = '"IgnoreRequestCopies"=dword:00000001\r\n'
# And one whose name holds this keeps a write's port a while after its final ACK.
DALLY_PART = "-dally"
DALLY = '"DallyAfterWrite"=dword:00000001\r\n'
# A build named ...-scraped serves its metrics endpoint, which a scraper polls every 100 ms
# while each scenario runs: what the endpoint costs the transfers.
SCRAPED_SUFFIX = "-scraped"
METRICS_ADDRESS = "127.0.0.1:9469"
SCRAPED = f'"MetricsAddress"="{METRICS_ADDRESS}"\r\n'


# ---------------------------------------------------------------------------------------------
# Scenarios


@dataclass
class Scenario:
    name: str
    title: str
    op: str  # read | write
    mode: str  # octet | netascii
    file: str  # the test file read, or the source of uploads
    concurrency: int
    transfers: int = 0  # 0 with a duration
    duration: float = 0.0
    # Options the load generator asks for ({name: value}); a server that grants less is not
    # measured in the scenario.
    options: dict = field(default_factory=dict)


@dataclass
class Sizes:
    big: int  # a: past the block-number wrap at full size (65536 blocks and one more)
    medium: int  # c and e
    small: int  # b and d
    text: int  # n
    b_clients: int
    b_seconds: float
    c_clients: int
    d_burst: int
    e_clients: int
    reps: int


SIZES = {
    "full": Sizes(32 * MIB, MIB, 4096, 32 * MIB, 64, 10.0, 200, 1000, 64, 5),
    "quick": Sizes(32 * MIB, 128 * 1024, 4096, 4 * MIB, 64, 2.0, 200, 1000, 64, 3),
    "smoke": Sizes(MIB, 64 * 1024, 4096, 64 * 1024, 4, 0.5, 8, 50, 4, 1),
}


def make_scenarios(sizes: Sizes) -> list[Scenario]:
    return [
        Scenario("a", f"one download of {sizes.big // MIB} MiB", "read", "octet", "big.bin", 1, 1),
        Scenario("b", f"{sizes.b_clients} clients fetching 4 KiB for {sizes.b_seconds:g} s",
                 "read", "octet", "small.bin", sizes.b_clients, duration=sizes.b_seconds),
        Scenario("c", f"{sizes.c_clients} concurrent downloads of {sizes.medium // 1024} KiB",
                 "read", "octet", "medium.bin", sizes.c_clients, sizes.c_clients),
        Scenario("d", f"burst of {sizes.d_burst} downloads of 4 KiB", "read", "octet",
                 "small.bin", sizes.d_burst, sizes.d_burst),
        Scenario("e", f"{sizes.e_clients} concurrent uploads of {sizes.medium // 1024} KiB",
                 "write", "octet", "medium.bin", sizes.e_clients, sizes.e_clients),
        Scenario("n", f"netascii download of {sizes.text // 1024} KiB of text", "read",
                 "netascii", "text.txt", 1, 1),
        Scenario("f1", f"one download of {sizes.big // MIB} MiB, blksize 1468", "read", "octet",
                 "big.bin", 1, 1, options={"blksize": 1468}),
        Scenario("f2", f"one download of {sizes.big // MIB} MiB, blksize 1468, windowsize 8",
                 "read", "octet", "big.bin", 1, 1, options={"blksize": 1468, "windowsize": 8}),
    ]


def make_test_files(root: Path, sizes: Sizes) -> None:
    (root / "big.bin").write_bytes(os.urandom(sizes.big))
    (root / "medium.bin").write_bytes(os.urandom(sizes.medium))
    (root / "small.bin").write_bytes(os.urandom(sizes.small))
    # Text with LF line ends only: letters, spaces and lines of every length, empty ones too.
    # Without CRs in the file, every server's netascii form is the same (LF as CR LF).
    table = bytearray(256)
    for i in range(256):
        table[i] = 0x0A if i < 6 else 0x20 if i < 46 else ord("a") + i % 26
    (root / "text.txt").write_bytes(os.urandom(sizes.text).translate(bytes(table)))
    root.chmod(0o777)  # atftpd wants a world-writable directory for uploads


# ---------------------------------------------------------------------------------------------
# Namespaces and processes


class Namespace:
    """A network namespace with loopback up, held open by a sleeping process."""

    def __init__(self) -> None:
        self.holder = subprocess.Popen(
            ["unshare", "-n", "sh", "-c", "ip link set lo up && echo ready && exec sleep infinity"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, start_new_session=True)
        if self.holder.stdout.readline() != b"ready\n":
            self.close()
            raise RuntimeError("cannot create a network namespace (root and unshare -n needed)")
        self.path = f"/proc/{self.holder.pid}/ns/net"

    def command(self, argv: list[str]) -> list[str]:
        return ["nsenter", f"--net={self.path}", *argv]

    def udp_port_bound(self, port: int) -> bool:
        with open(f"/proc/{self.holder.pid}/net/udp") as table:
            return any(line.split()[1].endswith(f":{port:04X}") for line in list(table)[1:])

    def close(self) -> None:
        if self.holder.poll() is None:
            os.killpg(self.holder.pid, signal.SIGKILL)
        self.holder.wait()
        self.holder.stdout.close()


def read_stat(pid: int) -> list[str] | None:
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    return text[text.rindex(")") + 2:].split()  # fields from the state on (field 3)


def group_members(pgid: int) -> list[int]:
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            fields = read_stat(int(entry))
            if fields and int(fields[2]) == pgid:
                members.append(int(entry))
    return members


def proc_cpu_seconds(pid: int) -> float:
    """Processor time of the server from /proc: its threads, its reaped children, its live
    children. Children reaped without a wait (SIGCHLD ignored, as tftpd-hpa does) are lost
    here; the cgroup accounts below see them."""
    ticks = 0
    for member in group_members(pid):
        fields = read_stat(member)
        if fields:
            ticks += sum(int(fields[i]) for i in (11, 12))  # utime, stime
            if member == pid:
                ticks += sum(int(fields[i]) for i in (13, 14))  # cutime, cstime
    return ticks / TICK


def cgroup_mounts() -> tuple[str | None, str | None]:
    """Mount points of the cgroup v2 hierarchy and of the v1 cpuacct hierarchy, if any."""
    unified = cpuacct = None
    with open("/proc/self/mountinfo") as f:
        for line in f:
            mount, rest = line.split(" - ", 1)
            point = mount.split()[4]
            kind, _, options = rest.split()[:3]
            if kind == "cgroup2":
                unified = point
            elif kind == "cgroup" and "cpuacct" in options.split(","):
                cpuacct = point
    return unified, cpuacct


def own_cgroup(controller: str) -> str:
    """This process's cgroup in a hierarchy: '' for v2, else the v1 controller's name."""
    with open("/proc/self/cgroup") as f:
        for line in f:
            hierarchy, controllers, path = line.rstrip("\n").split(":", 2)
            if (hierarchy == "0" and not controller) or (
                    controller and controller in controllers.split(",")):
                return path
    return "/"


class CpuAccount:
    """The processor time of a server and every process it forks: a cgroup of its own,
    created below the runner's own cgroup (v2 cpu.stat, else v1 cpuacct), else /proc."""

    def __init__(self, name: str, pid: int) -> None:
        self.pid, self.path, self.kind = pid, None, "proc"
        unified, cpuacct = cgroup_mounts()
        tag = f"quoril-bench-{os.getpid()}-{name}"
        for kind, mount, controller, counter in (("cgroup2", unified, "", "cpu.stat"),
                                                  ("cpuacct", cpuacct, "cpuacct",
                                                   "cpuacct.usage")):
            if not mount:
                continue
            path = Path(mount + own_cgroup(controller)) / tag
            try:
                path.mkdir()
            except OSError:
                continue
            try:
                if (path / counter).exists():
                    (path / "cgroup.procs").write_text(str(pid))
                    self.path, self.kind, self.counter = path, kind, counter
                    return
            except OSError:
                pass
            path.rmdir()

    def seconds(self) -> float:
        if self.path is None:
            return proc_cpu_seconds(self.pid)
        text = (self.path / self.counter).read_text()
        if self.kind == "cgroup2":
            return int(text.split("usage_usec")[1].split()[0]) / 1e6
        return int(text) / 1e9

    def close(self) -> None:
        """After the server has ended: the cgroup goes once its last process has left."""
        if self.path is None:
            return
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                self.path.rmdir()
                return
            except OSError:
                time.sleep(0.1)


def peak_resident(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def children_private(pid: int) -> int:
    """Resident memory of the forked children that is theirs alone (not shared pages)."""
    total = 0
    for member in group_members(pid):
        if member == pid:
            continue
        try:
            with open(f"/proc/{member}/statm") as f:
                fields = f.read().split()
            total += (int(fields[1]) - int(fields[2])) * PAGE
        except (OSError, IndexError):
            pass
    return total


class MemorySampler:
    """Samples the children's memory while a scenario runs (forking servers only need it)."""

    def __init__(self, pid: int, interval: float = 0.2) -> None:
        self.pid, self.interval = pid, interval
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        try:
            Path(f"/proc/{pid}/clear_refs").write_text("5")  # resets the peak resident set
        except OSError:
            pass
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(self.interval):
            self.peak = max(self.peak, children_private(self.pid))

    def stop(self) -> int:
        self._stop.set()
        self._thread.join()
        return peak_resident(self.pid) + self.peak


@dataclass
class ServerKind:
    name: str
    uploads: bool
    argv: list[str]
    env: dict = field(default_factory=dict)


class Server:
    def __init__(self, kind: ServerKind, root: Path, cpu: int) -> None:
        self.kind = kind
        self.ns = Namespace()
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            self.ns.command(["taskset", "-c", str(cpu), *kind.argv]),
            cwd=root, env={**os.environ, **kind.env}, stdin=subprocess.DEVNULL,
            stdout=self.output, stderr=subprocess.STDOUT, start_new_session=True)
        # Before its first request, so that every process it forks is counted.
        self.cpu = CpuAccount(kind.name, self.process.pid)
        deadline = time.monotonic() + 20
        while not self.ns.udp_port_bound(69):
            if self.process.poll() is not None or time.monotonic() > deadline:
                log = self.log_tail()
                self.stop()
                raise RuntimeError(f"{kind.name} did not start: {log}")
            time.sleep(0.05)

    @property
    def pid(self) -> int:
        return self.process.pid

    def alive(self) -> bool:
        return self.process.poll() is None

    def log_tail(self) -> str:
        self.output.seek(0)
        return self.output.read()[-2000:].decode(errors="replace")

    def stop(self) -> str:
        """Ends the server and everything it forked; answers all it printed."""
        if self.alive():
            os.killpg(self.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(self.pid, signal.SIGKILL)
                self.process.wait()
        else:
            try:
                os.killpg(self.pid, signal.SIGKILL)  # children it may have left behind
            except ProcessLookupError:
                pass
        self.cpu.close()
        self.ns.close()
        self.output.seek(0)
        printed = self.output.read().decode(errors="replace")
        self.output.close()
        return printed


PEER_NAMES = ["tftpd-hpa", "atftpd", "dnsmasq"]


def quoril_builds(args) -> dict[str, str]:
    """Every Quoril build measured: --quorld as "quoril" (a thread per transfer) and
    "quoril-loop" (one event loop), and each --quoril NAME=PATH (a NAME ending in -loop runs
    the event-loop engine, one ending in -single SinglePort 1, -loop-single both, and one
    that holds -backoff RetransmitBackoff 1, -ahead IgnoreBlocksAhead 1, -dally DallyAfterWrite 1, -copies IgnoreRequestCopies 1)."""
    builds = {"quoril": args.quorld, "quoril" + LOOP_SUFFIX: args.quorld}
    for option in args.quoril or []:
        name, _, path = option.partition("=")
        if not name.startswith("quoril-") or not path:
            raise SystemExit(f"bench: --quoril wants NAME=PATH with NAME quoril-...: {option}")
        builds[name] = os.path.abspath(path)
    return builds


def make_system_root(system_root: Path, root: Path, name: str) -> None:
    (system_root / "etc/quoril").mkdir(parents=True)
    scraped = name.endswith(SCRAPED_SUFFIX)
    name = name.removesuffix(SCRAPED_SUFFIX)
    single = name.endswith(SINGLE_SUFFIX)
    loops = name.removesuffix(SINGLE_SUFFIX).endswith(LOOP_SUFFIX)
    engine = ((EVENT_LOOPS if loops else "") + (SINGLE_PORT if single else "") +
              (BACKOFF if BACKOFF_PART in name else "") + (AHEAD if AHEAD_PART in name else "") +
              (DALLY if DALLY_PART in name else "") + (COPIES if COPIES_PART in name else "") +
              (SCRAPED if scraped else ""))
    registry = REGISTRY.format(root=root, engine=engine)
    (system_root / "etc/quoril/registry.reg").write_text(registry, newline="")


def server_kinds(args, root: Path, system_root: Path) -> dict[str, ServerKind]:
    kinds = {}
    for name, path in quoril_builds(args).items():
        # Its registry serves the test root; the current directory is the same, so that a
        # build that does not read the registry yet serves it too. Each build has a system
        # root (registry, events file) of its own.
        own_root = system_root / name
        make_system_root(own_root, root, name)
        kinds[name] = ServerKind(name, True, [path, "-debug"], {"QUORIL_ROOT": str(own_root)})
    return kinds | {
        # Forks a process per request.
        "tftpd-hpa": ServerKind("tftpd-hpa", True,
                                [args.tftpd, "--foreground", "--user", "root", "--create",
                                 "--secure", str(root)]),
        # A thread per transfer; its default of 100 threads would refuse scenarios c and d.
        "atftpd": ServerKind("atftpd", True,
                             [args.atftpd, "--daemon", "--no-fork", "--user", "root",
                              "--group", "root", "--port", "69", "--bind-address", "127.0.0.1",
                              "--maxthread", "1100", "--tftpd-timeout", "0",
                              "--logfile", "/dev/null", "--verbose=1", str(root)]),
        # One event loop, read-only; its default of 50 transfers would refuse c and d.
        "dnsmasq": ServerKind("dnsmasq", False,
                              [args.dnsmasq, "--keep-in-foreground", "--conf-file=/dev/null",
                               "--port=0", "--enable-tftp", f"--tftp-root={root}",
                               "--tftp-max=1100", "--user=root", "--group=root", "--pid-file=",
                               "--listen-address=127.0.0.1", "--bind-interfaces",
                               "--log-facility=/dev/null"]),
    }


# ---------------------------------------------------------------------------------------------
# Measuring


def client_cpu(scenario: Scenario, args) -> int:
    """Where the load generator runs. A single lock-step transfer (a, n) runs beside the
    server on its core: across cores every packet costs a cross-core wake-up, which on a
    virtual machine outweighs the server's own work and hides it. Many transfers at once run
    on a core of their own, so that the client takes nothing from the server."""
    shared = args.pinning == "shared" or (
        args.pinning == "auto" and scenario.concurrency == 1 and not scenario.duration)
    return args.server_cpu if shared else args.client_cpu


def run_scenario(server: Server, scenario: Scenario, args, root: Path, rep: int) -> dict:
    remote = scenario.file
    if scenario.op == "write":
        remote = f"upload-{server.kind.name}-#.bin"
    argv = [args.loadgen, "--server", "127.0.0.1", "--op", scenario.op, "--mode", scenario.mode,
            "--file", remote, "--source", str(root / scenario.file),
            "--concurrency", str(scenario.concurrency), "--scenario", scenario.name,
            "--label", server.kind.name, "--limit-s", str(args.limit)]
    for option, value in scenario.options.items():
        argv += [f"--{option}", str(value)]
    if scenario.duration:
        argv += ["--duration", str(scenario.duration)]
    else:
        argv += ["--transfers", str(scenario.transfers)]
    time.sleep(args.settle)
    scraper = None
    if server.kind.name.endswith(SCRAPED_SUFFIX):
        loop = (f"while :; do curl -s -o /dev/null http://{METRICS_ADDRESS}/metrics; "
                "sleep 0.1; done")
        scraper = subprocess.Popen(server.ns.command(["sh", "-c", loop]),
                                   stdin=subprocess.DEVNULL, start_new_session=True)
    cpu_before = server.cpu.seconds()
    sampler = MemorySampler(server.pid)
    done = subprocess.run(server.ns.command(["taskset", "-c", str(client_cpu(scenario, args)),
                                             *argv]),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=args.limit + 60)
    time.sleep(0.2)  # children that sent the last packet exit and are reaped
    peak = sampler.stop()
    cpu = server.cpu.seconds() - cpu_before
    if scraper is not None:
        os.killpg(scraper.pid, signal.SIGKILL)
        scraper.wait()
    lines = done.stdout.strip().splitlines()
    if done.returncode not in (0, 3) or not lines or SANITIZER_REPORT.search(done.stderr):
        raise RuntimeError(f"load generator failed ({done.returncode}): {done.stderr.strip()}")
    result = json.loads(lines[-1])
    result.update(server=server.kind.name, rep=rep, server_cpu_s=cpu, server_peak_mib=peak / MIB)
    # A server that did not grant every option asked for moved the file some other way.
    result["granted"] = all(result.get(k) == v for k, v in scenario.options.items())
    if scenario.op == "write":
        check_uploads(result, root, server.kind.name, root / scenario.file, scenario.transfers)
    if not server.alive():
        raise RuntimeError(f"{server.kind.name} ended during scenario {scenario.name}: "
                           f"{server.log_tail()}")
    return result


def check_uploads(result: dict, root: Path, name: str, source: Path, count: int) -> None:
    """What the server stored must be the source, byte for byte: an upload that the client saw
    through but whose file is wrong or missing counts as failed."""
    expected = source.read_bytes()
    stored_right = 0
    for i in range(count):
        stored = root / f"upload-{name}-{i}.bin"
        if stored.exists() and stored.read_bytes() == expected:
            stored_right += 1
        stored.unlink(missing_ok=True)
    wrong = result["done"] - stored_right
    if wrong > 0:
        result["done"] -= wrong
        result["failed"] += wrong
        result["failures"]["stored_wrong"] = wrong
        result["bytes"] -= wrong * len(expected)
        wall = result["wall_s"] or 1
        result["transfers_per_s"] = result["done"] / wall
        result["mib_per_s"] = result["bytes"] / wall / MIB


# ---------------------------------------------------------------------------------------------
# Reporting

# (scenario, label, higher is better, value from one result)
METRICS = [
    ("a", "MiB/s", True, lambda r: r["mib_per_s"]),
    ("a", "server CPU µs/block", False, lambda r: cpu_per(r, "blocks")),
    ("b", "transfers/s", True, lambda r: r["transfers_per_s"]),
    ("b", "p99 latency ms", False, lambda r: r["p99_ms"]),
    ("b", "server CPU µs/transfer", False, lambda r: cpu_per(r, "done")),
    ("c", "MiB/s", True, lambda r: r["mib_per_s"]),
    ("c", "server CPU µs/block", False, lambda r: cpu_per(r, "blocks")),
    ("d", "served %", True, lambda r: 100.0 * r["done"] / max(r["started"], 1)),
    ("d", "time to finish s", False, lambda r: r["wall_s"]),
    ("d", "client retransmissions", False, lambda r: r["retransmissions"]),
    ("e", "MiB/s", True, lambda r: r["mib_per_s"]),
    ("e", "server CPU µs/block", False, lambda r: cpu_per(r, "blocks")),
    ("n", "MiB/s", True, lambda r: r["mib_per_s"]),
    ("n", "server CPU µs/block", False, lambda r: cpu_per(r, "blocks")),
    ("f1", "MiB/s", True, lambda r: r["mib_per_s"]),
    ("f1", "server CPU ms/MiB", False, lambda r: cpu_per_mib(r)),
    ("f2", "MiB/s", True, lambda r: r["mib_per_s"]),
    ("f2", "server CPU ms/MiB", False, lambda r: cpu_per_mib(r)),
]


def cpu_per(result: dict, key: str) -> float | None:
    return result["server_cpu_s"] * 1e6 / result[key] if result[key] else None


def cpu_per_mib(result: dict) -> float | None:
    return result["server_cpu_s"] * 1e3 / (result["bytes"] / MIB) if result["bytes"] else None


def netascii_cpu_ratio(by_scenario: dict) -> float | None:
    """Server CPU per file byte in netascii (n) over the same in octet (a)."""
    a, n = by_scenario.get("a"), by_scenario.get("n")
    if not a or not n or not a["bytes"] or not n["bytes"] or not a["server_cpu_s"]:
        return None
    return (n["server_cpu_s"] / n["bytes"]) / (a["server_cpu_s"] / a["bytes"])


def summarize(results: list[dict], servers: list[str], scenarios: list[str]) -> str:
    # results[rep][server][scenario]
    table: dict = {}
    for r in results:
        table.setdefault(r["rep"], {}).setdefault(r["server"], {})[r["scenario"]] = r
    peers = [s for s in servers if s in PEER_NAMES]
    rows = []
    metrics = [m for m in METRICS if m[0] in scenarios]
    metrics += [(s, "peak memory MiB", False, lambda r: r["server_peak_mib"]) for s in scenarios]
    if "a" in scenarios and "n" in scenarios:
        metrics.append(("n", "CPU/byte netascii ÷ octet", False, None))
    for scenario, label, higher, value_of in metrics:
        values = {s: [] for s in servers}
        ratios = {s: [] for s in servers}
        failed = {s: 0 for s in servers}
        for rep in sorted(table):
            row = {}
            for s in servers:
                found = table[rep].get(s, {})
                if value_of is None:
                    row[s] = netascii_cpu_ratio(found)
                elif scenario in found and found[scenario].get("granted", True):
                    failed[s] += found[scenario]["failed"]
                    row[s] = value_of(found[scenario])
            for s, v in row.items():
                if v is not None:
                    values[s].append(v)
            peer_values = [row[p] for p in peers if row.get(p) is not None]
            if peer_values:
                best = max(peer_values) if higher else min(peer_values)
                for s, v in row.items():
                    if v is not None and best:
                        ratios[s].append(v / best)
        cells = []
        for s in servers:
            if not values[s]:
                cells.append("–")
                continue
            cell = f"{statistics.median(values[s]):.4g}"
            if ratios[s]:
                cell += f" ({statistics.median(ratios[s]):.2f}×)"
            if failed[s]:
                cell += f" ✗{failed[s]}"
            cells.append(cell)
        better = "↑" if higher else "↓"
        rows.append(f"| {scenario} | {label} {better} | " + " | ".join(cells) + " |")
    header = "| scenario | figure | " + " | ".join(servers) + " |"
    rule = "|---|---|" + "---|" * len(servers)
    return "\n".join([header, rule, *rows])


# ---------------------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    size = parser.add_mutually_exclusive_group()
    size.add_argument("--quick", action="store_true", help="smaller files, about two minutes")
    size.add_argument("--smoke", action="store_true",
                      help="tiny transfers against Quoril alone; fails on any wrong byte")
    parser.add_argument("--reps", type=int, help="repetitions (full 5, quick 3)")
    parser.add_argument("--servers", help="default quoril,quoril-loop,tftpd-hpa,"
                        "atftpd,dnsmasq; the Quoril builds alone with --smoke")
    parser.add_argument("--scenarios", default="a,b,c,d,e,n,f1,f2")
    parser.add_argument("--quorld", required=True)
    parser.add_argument("--quoril", action="append", metavar="NAME=PATH",
                        help="a further Quoril build measured beside the others, under a name "
                        "that begins with quoril- (e.g. quoril-before=old/quorld); repeatable")
    parser.add_argument("--loadgen", required=True)
    parser.add_argument("--tftpd", default="/usr/sbin/in.tftpd")
    parser.add_argument("--atftpd", default="/usr/sbin/atftpd")
    parser.add_argument("--dnsmasq", default="/usr/sbin/dnsmasq")
    parser.add_argument("--out", help="directory for results.jsonl and results.md")
    parser.add_argument("--server-cpu", type=int, default=1)
    parser.add_argument("--client-cpu", type=int, default=0)
    parser.add_argument("--pinning", choices=("auto", "split", "shared"), default="auto",
                        help="client beside the server on its core for single transfers "
                        "(auto), never (split) or always (shared)")
    parser.add_argument("--settle", type=float, default=0.3, help="pause before each run, s")
    parser.add_argument("--limit", type=float, default=300, help="bound on one run, s")
    args = parser.parse_args()
    for program in ("quorld", "loadgen", "tftpd", "atftpd", "dnsmasq"):
        setattr(args, program, os.path.abspath(getattr(args, program)))

    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("nsenter"):
        print("bench: needs root, unshare and nsenter for network namespaces", file=sys.stderr)
        return 77 if args.smoke and not os.environ.get("QUORIL_REQUIRE_NAMESPACES") else 1
    if os.cpu_count() and max(args.server_cpu, args.client_cpu) >= os.cpu_count():
        args.server_cpu = args.client_cpu = 0
    mode = "smoke" if args.smoke else "quick" if args.quick else "full"
    sizes = SIZES[mode]
    reps = args.reps or sizes.reps
    builds = list(quoril_builds(args))
    default = builds if args.smoke else builds + PEER_NAMES
    servers = args.servers.split(",") if args.servers else default
    unknown = set(servers) - set(builds) - set(PEER_NAMES)
    if unknown:
        parser.error(f"unknown servers: {', '.join(sorted(unknown))}")
    wanted = args.scenarios.split(",")
    scenarios = [s for s in make_scenarios(sizes) if s.name in wanted]
    # The runner stays off the server's core, beside the load generator.
    os.sched_setaffinity(0, {args.client_cpu})

    work = Path(tempfile.mkdtemp(prefix="quoril-bench-"))
    out = Path(args.out) if args.out else work
    out.mkdir(parents=True, exist_ok=True)
    root, system_root = work / "root", work / "system"
    root.mkdir()
    system_root.mkdir()
    make_test_files(root, sizes)
    kinds = server_kinds(args, root, system_root)

    running: dict[str, Server] = {}
    results: list[dict] = []
    failures = 0
    try:
        for name in servers:
            running[name] = Server(kinds[name], root, args.server_cpu)
        accounts = ", ".join(sorted({s.cpu.kind for s in running.values()}))
        print(f"bench: {mode}, {reps} repetition(s), servers {', '.join(servers)}; "
              f"server on CPU {args.server_cpu}, client on CPU {args.client_cpu} "
              f"(pinning {args.pinning}); "
              f"server CPU time from {accounts}", file=sys.stderr)
        with open(out / "results.jsonl", "w") as jsonl:
            for rep in range(reps):
                for index, scenario in enumerate(scenarios):
                    turn = (rep + index) % len(servers)
                    for name in servers[turn:] + servers[:turn]:
                        server = running[name]
                        if scenario.op == "write" and not server.kind.uploads:
                            continue
                        result = run_scenario(server, scenario, args, root, rep)
                        results.append(result)
                        jsonl.write(json.dumps(result) + "\n")
                        jsonl.flush()
                        failures += result["failed"]
                        print(f"  rep {rep + 1} {scenario.name} {name:13}: {result['done']} done, "
                              f"{result['failed']} failed, {result['transfers_per_s']:.1f}/s, "
                              f"{result['mib_per_s']:.2f} MiB/s, p99 {result['p99_ms']:.1f} ms, "
                              f"server CPU {result['server_cpu_s']:.2f} s", file=sys.stderr)
    finally:
        for name, server in running.items():
            printed = server.stop()
            if SANITIZER_REPORT.search(printed):
                print(f"bench: {name} reported:\n{printed[-6000:]}", file=sys.stderr)
                failures += 1
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(system_root, ignore_errors=True)

    print("\nScenarios:", file=sys.stderr)
    for s in scenarios:
        print(f"  {s.name}. {s.title} ({s.mode})", file=sys.stderr)
    markdown = summarize(results, servers, [s.name for s in scenarios])
    (out / "results.md").write_text(markdown + "\n")
    print(markdown)
    print(f"\nEach cell: median over {reps} repetition(s) (median ratio to the best peer in the "
          f"same repetition); ↑ higher is better, ↓ lower; ✗N transfers failed. "
          f"Raw results: {out / 'results.jsonl'}", file=sys.stderr)
    if args.smoke and not args.out:
        shutil.rmtree(work, ignore_errors=True)
    elif not args.out:
        print(f"(kept in {work})", file=sys.stderr)
    return 1 if args.smoke and failures else 0


if __name__ == "__main__":
    sys.exit(main())
