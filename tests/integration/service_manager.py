"""A test service manager: runs the real quorld as systemd would, and reads its registry.

``ServiceManager(server)`` takes a prepared (not started) ``QuorilServer`` of conftest.py and
makes it a service: quorld is started without arguments, with ``NOTIFY_SOCKET`` naming a
Unix datagram socket of the test (a path, or with ``abstract=True`` a name in the abstract
namespace of the server's network namespace). Every datagram quorld sends there is one
status report; ``next_report()`` answers it as a ``Report``. Controls are the signals
systemd sends: ``stop()`` SIGTERM, ``pause()`` SIGUSR1, ``resume()`` SIGUSR2,
``interrogate()`` SIGHUP.

When the server's system root holds the unit that ``-install`` wrote
(etc/systemd/system/quoril.service), quorld is started as the unit says: its ``ExecStart``,
as its ``User=`` (looked up in the root's etc/passwd) through ``setpriv`` with the unit's
``AmbientCapabilities``, ``CapabilityBoundingSet`` and ``NoNewPrivileges``, and with its
``LogsDirectory`` made under the root's var/log for that user. The unit's other sandbox
settings need systemd itself; test_install.py has systemd-analyze check them.
``copy_account_database(root)`` gives a scratch root the host's accounts, so that the account
installation makes there has an id that no account of the host has.

``read_registry(path)`` parses the REGEDIT4 file of the registry into
{key: {value name: (type, bytes)}}, keys and values in the order of the file;
``write_registry(path, keys)`` writes such a mapping back.
"""

from __future__ import annotations

import dataclasses
import os
import re
import shutil
import signal
import socket
import time
from pathlib import Path

STOPPED, START_PENDING, STOP_PENDING, RUNNING, PAUSED = 1, 2, 3, 4, 7
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 1, 2, 3, 4

HKLM = "HKEY_LOCAL_MACHINE"
EVENT_SOURCE_KEY = HKLM + r"\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quoril"
PARAMETERS_KEY = HKLM + r"\SYSTEM\CurrentControlSet\Services\Quoril\Parameters"


@dataclasses.dataclass(frozen=True)
class Report:
    """One status report: the SERVICE_STATUS fields it carries and its whole text."""

    state: int
    accepted: int
    exit_code: int
    service_exit_code: int
    check_point: int
    wait_hint: int
    text: str

    @property
    def fields(self) -> dict[str, str]:
        return dict(line.split("=", 1) for line in self.text.splitlines() if "=" in line)

    def short(self) -> tuple[int, int, int]:
        """(state, check point, wait hint), as the reports of a service's life are written."""
        return (self.state, self.check_point, self.wait_hint)

    @classmethod
    def parse(cls, data: bytes) -> "Report":
        text = data.decode("ascii")
        fields = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        return cls(
            state=int(fields["X_STATE"]),
            accepted=int(fields["X_CONTROLS_ACCEPTED"]),
            exit_code=int(fields["X_EXIT_CODE"]),
            service_exit_code=int(fields["X_SERVICE_EXIT_CODE"]),
            check_point=int(fields["X_CHECK_POINT"]),
            wait_hint=int(fields["X_WAIT_HINT"]),
            text=text,
        )


class ServiceManager:
    """The service manager of one quorld service (see the module docstring)."""

    def __init__(self, server, abstract: bool = False):
        self.server = server
        self.reports: list[Report] = []
        self.failed = False  # the last start's, as systemd judges it (see start())
        if abstract:
            # Abstract names belong to a network namespace: the socket is made inside the
            # server's.
            name = f"@quoril-notify-{os.getpid()}-{id(self)}"
            self.socket = server.ns.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.socket.bind("\0" + name[1:])
        else:
            name = str(server.base / "notify")
            self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.socket.bind(name)
            os.chmod(name, 0o777)  # as systemd's own: any account may report
        self.notify_socket = name
        server.args = []
        server.env["NOTIFY_SOCKET"] = name
        self.account: tuple[int, int] | None = None  # (uid, gid) the unit runs quorld as
        unit = server.root / "etc/systemd/system/quoril.service"
        if unit.exists():
            self._run_as(read_unit(unit))

    def _run_as(self, unit: dict[str, list[str]]) -> None:
        """Starts quorld as `unit` says (see the module docstring)."""
        server = self.server
        server.executable = Path(_unquote(unit["ExecStart"][-1]))
        if "User" not in unit:
            return
        name = unit["User"][-1]
        accounts = _accounts(server.root / "etc/passwd")
        assert name in accounts, f"the unit's account {name} does not exist"
        uid, gid = self.account = accounts[name]
        ambient = _capabilities(unit.get("AmbientCapabilities", []))
        bounding = _capabilities(unit.get("CapabilityBoundingSet", []))
        server.launcher = ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups",
                           f"--inh-caps=-all{ambient}", f"--ambient-caps=-all{ambient}",
                           f"--bounding-set=-all{bounding}"]
        if unit.get("NoNewPrivileges", ["no"])[-1] == "yes":
            server.launcher.append("--no-new-privs")
        mode = int(unit.get("LogsDirectoryMode", ["0755"])[-1], 8)
        for directory in unit.get("LogsDirectory", []):
            path = server.root / "var/log" / directory
            path.mkdir(parents=True, exist_ok=True)
            # As systemd: the directory and everything in it become the account's.
            for entry in [path, *path.rglob("*")]:
                os.chown(entry, uid, gid, follow_symlinks=False)
            path.chmod(mode)

    @property
    def pid(self) -> int:
        return self.server.process.pid

    def start(self, wait_ready: bool = True) -> list[Report]:
        """Starts quorld; answers the reports up to running. With `wait_ready`, also waits
        until every port-69 socket is bound. A start that ends without running goes on to
        stopped and to the process's end, and `failed` says whether systemd would fail it:
        a notify service whose process ends before it is ready fails unless its exit status
        is 0."""
        self.server.start(wait_ready=False)
        self.failed = False
        start = self.reports_until(lambda report: report.state != START_PENDING)
        if start[-1].state != RUNNING:
            start += self.reports_until(lambda report: report.state == STOPPED)
            self.failed = self.server.wait_exit(30) != 0
        elif wait_ready:
            self.server.wait_ready()
        return start

    def next_report(self, timeout: float = 10.0) -> Report | None:
        """The next report, or None when none comes within `timeout` seconds."""
        self.socket.settimeout(timeout)
        try:
            data = self.socket.recv(4096)
        except TimeoutError:
            return None
        report = Report.parse(data)
        self.reports.append(report)
        return report

    def reports_until(self, last, timeout: float = 30.0) -> list[Report]:
        """Reports up to and including the first for which `last(report)` holds."""
        deadline = time.monotonic() + timeout
        taken = []
        while True:
            report = self.next_report(max(deadline - time.monotonic(), 0.01))
            if report is None:
                raise AssertionError(f"no further report within {timeout} s after {taken}")
            taken.append(report)
            if last(report):
                return taken

    def control(self, signal_number: int) -> None:
        os.kill(self.pid, signal_number)

    def pause(self) -> Report:
        self.control(signal.SIGUSR1)
        return self.next_report()

    def resume(self) -> Report:
        self.control(signal.SIGUSR2)
        return self.next_report()

    def interrogate(self) -> Report:
        self.control(signal.SIGHUP)
        return self.next_report()

    def stop(self) -> list[Report]:
        """Sends the stop; answers every report up to stopped. quorld then exits."""
        self.control(signal.SIGTERM)
        return self.reports_until(lambda report: report.state == STOPPED)

    def close(self) -> None:
        self.socket.close()
        if not self.notify_socket.startswith("@"):
            Path(self.notify_socket).unlink(missing_ok=True)


def read_unit(path: Path) -> dict[str, list[str]]:
    """The settings of a unit file's [Service] section: each name with its values in order
    (a setting may be given more than once)."""
    settings: dict[str, list[str]] = {}
    section = None
    for line in path.read_text().splitlines():
        if line.startswith("["):
            section = line
        elif section == "[Service]" and "=" in line and not line.startswith("#"):
            name, value = line.split("=", 1)
            settings.setdefault(name, []).append(value)
    return settings


def _unquote(word: str) -> str:
    if word.startswith('"'):
        word = re.sub(r"\\(.)", r"\1", word[1:-1])
    return word.replace("%%", "%").replace("$$", "$")


def _capabilities(values: list[str]) -> str:
    """setpriv's words for the capabilities of a unit setting: ",+net_bind_service"."""
    names = " ".join(values).split()
    return "".join(",+" + name.lower().removeprefix("cap_") for name in names)


def _accounts(passwd: Path) -> dict[str, tuple[int, int]]:
    accounts = {}
    if passwd.is_file():
        for line in passwd.read_text().splitlines():
            fields = line.split(":")
            if len(fields) >= 4:
                accounts[fields[0]] = (int(fields[2]), int(fields[3]))
    return accounts


def copy_account_database(root: Path) -> None:
    """The host's account files (passwd, group, login.defs) copied into `root`'s etc."""
    (root / "etc").mkdir(parents=True, exist_ok=True)
    for name in ("passwd", "group", "login.defs"):
        if Path("/etc", name).exists():
            shutil.copyfile(Path("/etc", name), root / "etc" / name)


def account_names(root: Path) -> tuple[set[str], set[str]]:
    """The user and the group names in `root`'s etc/passwd and etc/group."""
    groups = root / "etc/group"
    lines = groups.read_text().splitlines() if groups.is_file() else []
    return set(_accounts(root / "etc/passwd")), {line.split(":")[0] for line in lines}


ERROR_SERVICE_SPECIFIC_ERROR = 1066


def check_stop_sequence(reports: list[Report], from_handler: bool = True,
                        failure: int = 0) -> None:
    """The reports of a stop, as the stop control and the listener's shutdown make them:
    (stop pending, 1, 6000) and (stop pending, 0, 0) from the control handler, when it
    stopped the service; (stop pending, 2, 3000) from the listener's closed receive, when
    it was; (stop pending, 3 .. 99, 3000) from its shutdown, interleaved with the handler's;
    then (stopped, 0, 0), whose exit codes name the event `failure` that ended the listener,
    if one did."""
    assert reports, "no reports"
    assert reports[-1].short() == (STOPPED, 0, 0), reports[-1]
    expected_codes = (ERROR_SERVICE_SPECIFIC_ERROR, failure) if failure else (0, 0)
    last = reports[-1]
    assert (last.exit_code, last.service_exit_code) == expected_codes, last.text
    pending = reports[:-1]
    assert all(report.state == STOP_PENDING for report in pending), [r.short() for r in pending]
    assert all(report.accepted == 3 for report in reports)
    assert all(report.exit_code == 0 for report in pending)
    handler = [r.short() for r in pending if r.check_point in (0, 1)]
    listener = [r.short() for r in pending if r.check_point >= 2]
    if from_handler:
        assert handler == [(STOP_PENDING, 1, 6000), (STOP_PENDING, 0, 0)]
        assert pending[0].short() == (STOP_PENDING, 1, 6000)
        expected = [(STOP_PENDING, 2, 3000)]
    else:
        assert handler == []
        expected = []
    expected += [(STOP_PENDING, point, 3000) for point in range(3, 100)]
    assert listener == expected
    for report in pending:
        assert "STOPPING=1\n" in report.text
        assert "READY=1" not in report.text


def events(server) -> list[int]:
    """The event identifiers in the server's events file, in order."""
    if not server.events_path.exists():
        return []
    text = server.events_path.read_text(errors="replace")
    return [int(found, 16) for found in re.findall(r" Quoril \S+ (0x[0-9A-F]{8})\b", text)]


# -- the registry file -------------------------------------------------------------------------

_VALUE = re.compile(r'^"((?:[^"\\]|\\.)*)"=(.*)$')


def _unescape(text: str) -> str:
    return re.sub(r"\\(.)", r"\1", text)


def _hex_bytes(text: str) -> bytes:
    return bytes(int(part, 16) for part in text.split(",") if part.strip())


def parse_value(data: str) -> tuple[int, bytes]:
    if data.startswith("dword:"):
        return REG_DWORD, int(data[6:], 16).to_bytes(4, "little")
    if data.startswith("hex:"):
        return REG_BINARY, _hex_bytes(data[4:])
    match = re.match(r"hex\(([0-9a-fA-F]+)\):(.*)$", data)
    if match:
        return int(match.group(1), 16), _hex_bytes(match.group(2))
    if data.startswith('"') and data.endswith('"'):
        return REG_SZ, _unescape(data[1:-1]).encode("latin-1") + b"\0"
    raise ValueError(f"unknown registry value: {data}")


def read_registry(path: Path) -> dict[str, dict[str, tuple[int, bytes]]]:
    text = path.read_text(encoding="latin-1")
    # A value may continue on the next line after a backslash.
    text = re.sub(r"\\\n\s*", "", text)
    lines = text.splitlines()
    assert lines and lines[0] == "REGEDIT4", lines[:1]
    keys: dict[str, dict[str, tuple[int, bytes]]] = {}
    current = None
    for line in lines[1:]:
        if not line.strip():
            continue
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        match = _VALUE.match(line)
        assert match and current is not None, f"unexpected line: {line!r}"
        current[_unescape(match.group(1))] = parse_value(match.group(2))
    return keys


def write_registry(path: Path, keys: dict[str, dict[str, tuple[int, bytes]]]) -> None:
    lines = ["REGEDIT4", ""]
    for key, values in keys.items():
        lines.append(f"[{key}]")
        for name, (kind, data) in values.items():
            if kind == REG_DWORD and len(data) == 4:
                lines.append(f'"{name}"=dword:{int.from_bytes(data, "little"):08x}')
            else:
                lines.append(f'"{name}"=hex({kind:x}):' + ",".join(f"{b:02x}" for b in data))
        lines.append("")
    path.write_text("\n".join(lines), encoding="latin-1")


def text_value(text: str) -> tuple[int, bytes]:
    """A REG_EXPAND_SZ value as installation writes them: the text and its terminator."""
    return REG_EXPAND_SZ, text.encode("latin-1") + b"\0"


def dword_value(number: int) -> tuple[int, bytes]:
    return REG_DWORD, number.to_bytes(4, "little")
