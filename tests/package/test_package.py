"""The Debian package's life, run as root inside a throwaway root (scripts/package-test.sh
makes one: an overlay of the machine's root in a mount namespace of its own).

Installed, the package leaves a service that is configured but not started; the installed
quorld, started as its unit says under the test service manager in a network namespace,
serves /srv/tftp to tftp-hpa and has its logs rotated while it serves; an upgrade keeps the
settings; removal stops the service and takes the programs, the unit and the event-log
source; purging takes the settings and the logs, never the served files.

systemd is not the init here: a stand-in for systemctl and deb-systemd-invoke notes what
the package asks of systemd and stops the service as systemd would.

Environment: QUORIL_DEB, the package to install.
"""

import os
import re
import shlex
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "integration"))

import conftest  # noqa: E402
from conftest import QuorilServer, payload  # noqa: E402
from service_manager import (EVENT_SOURCE_KEY, PARAMETERS_KEY, REG_DWORD, REG_EXPAND_SZ,  # noqa: E402
                             RUNNING, STOPPED, ServiceManager, check_stop_sequence, read_registry)

DEB = Path(os.environ.get("QUORIL_DEB", "/tmp/quoril.deb"))
UNIT = Path("/lib/systemd/system/quoril.service")
REGISTRY = Path("/etc/quoril/registry.reg")
SERVED = Path("/srv/tftp")
LOGS = Path("/var/log/quoril")
STAND_IN_LOG = Path("/run/systemd-stand-in.log")
SERVICE_PID = Path("/run/quoril-service.pid")
KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Quoril\Parameters"

# What systemd's tools do for the package here: note the request; stop the service that the
# test runs when asked to, and wait until it has ended, as systemctl stop does.
STAND_IN = f"""#!/bin/sh
echo "$(basename "$0") $*" >> {STAND_IN_LOG}
case " $* " in
  *" stop quoril.service "*)
    pid=$(cat {SERVICE_PID} 2>/dev/null) || exit 0
    kill -TERM "$pid" 2>/dev/null || exit 0
    while [ -d /proc/$pid ] && ! grep -q '^[0-9]* ([^)]*) Z' /proc/$pid/stat; do sleep 0.1; done
    ;;
esac
exit 0
"""


def run(*argv: str, check: bool = True) -> subprocess.CompletedProcess:
    result = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    if check:
        assert result.returncode == 0, f"{shlex.join(argv)}:\n{result.stdout}{result.stderr}"
    return result


def requests_to_systemd() -> list[str]:
    return STAND_IN_LOG.read_text().splitlines() if STAND_IN_LOG.exists() else []


def unit_settings() -> dict[str, str]:
    return dict(line.split("=", 1) for line in UNIT.read_text().splitlines() if "=" in line)


def as_the_unit_says(command: list[str]) -> Path:
    """What starts `command` as the unit's User= with its capabilities, as systemd would;
    its LogsDirectory= made the account's. The command itself without User=."""
    unit = unit_settings()
    if "User" not in unit:
        return Path(command[0])
    entry = run("getent", "passwd", unit["User"]).stdout.split(":")
    uid, gid = int(entry[2]), int(entry[3])
    capabilities = "".join(",+" + c.lower().removeprefix("cap_")
                           for c in unit.get("AmbientCapabilities", "").split())
    for directory in unit.get("LogsDirectory", "").split():
        for path in [LOGS.parent / directory, *(LOGS.parent / directory).rglob("*")]:
            os.chown(path, uid, gid)
    launcher = Path("/run/quorld-as-unit")
    launcher.write_text(
        "#!/bin/sh\n"
        f"exec setpriv --reuid={uid} --regid={gid} --clear-groups --inh-caps=-all{capabilities}"
        f" --ambient-caps=-all{capabilities} --bounding-set=-all{capabilities}"
        f"{' --no-new-privs' if unit.get('NoNewPrivileges') == 'yes' else ''}"
        f" {shlex.join(command)} \"$@\"\n")
    launcher.chmod(0o755)
    return launcher


def start_service() -> tuple[QuorilServer, ServiceManager]:
    """The installed quorld as the unit starts it: its ExecStart, as its User=, no system
    root of a test, the machine's registry."""
    command = shlex.split(unit_settings()["ExecStart"])
    assert command == ["/usr/sbin/quorld"], command
    conftest.QUORLD = as_the_unit_says(command)
    server = QuorilServer(registry=False)
    server.env.pop("QUORIL_ROOT")
    manager = ServiceManager(server, abstract=True)
    reports = manager.start()
    assert reports[-1].state == RUNNING, reports
    if "User" in unit_settings():
        status = Path(f"/proc/{manager.pid}/status").read_text()
        uid = run("id", "-u", unit_settings()["User"]).stdout.strip()
        assert re.search(rf"^Uid:\s+{uid}\s", status, re.M), status
    SERVICE_PID.write_text(str(manager.pid))
    return server, manager


def fetch(server: QuorilServer, name: str) -> bytes:
    local = server.work / name
    local.unlink(missing_ok=True)
    result = server.run(["tftp", "-m", "binary", server.address, "-c", "get", name, str(local)])
    assert result.returncode == 0 and local.exists(), result
    return local.read_bytes()


def transfer_lines(path: Path) -> list[str]:
    return [line for line in path.read_text(encoding="latin-1").splitlines()
            if re.match(r"^[ E] {7}\d\d/\d\d/\d\d", line)]


def wait_for_lines(path: Path, count: int) -> None:
    """A transfer's line is written as it ends, just after the client's last ACK."""
    deadline = time.monotonic() + 10
    while len(transfer_lines(path)) < count:
        assert time.monotonic() < deadline, path.read_text(encoding="latin-1")
        time.sleep(0.05)


def test_install_serve_rotate_upgrade_remove_purge():
    assert not SERVED.exists() and not REGISTRY.exists(), "not a fresh root"
    for tool in ("systemctl", "deb-systemd-invoke"):
        Path("/usr/local/sbin", tool).write_text(STAND_IN)
        Path("/usr/local/sbin", tool).chmod(0o755)
    Path("/run/systemd/system").mkdir(parents=True, exist_ok=True)

    # Installed: the commands, their pages, the unit, the served directory and the settings;
    # nothing started.
    run("dpkg", "-i", str(DEB))
    for path in ("/usr/sbin/quorld", "/usr/sbin/quoril-reg", "/usr/share/man/man8/quorld.8.gz",
                 "/usr/share/man/man8/quoril-reg.8.gz", "/usr/share/doc/quoril/README.md.gz",
                 "/etc/logrotate.d/quoril", str(UNIT)):
        assert Path(path).exists(), path
    assert "[Install]" not in UNIT.read_text()
    assert SERVED.is_dir()
    registry = read_registry(REGISTRY)
    assert registry[PARAMETERS_KEY]["DefaultDirectory"] == (REG_EXPAND_SZ, b"/srv/tftp\0")
    assert registry[PARAMETERS_KEY]["LimitToDefaultDirectory"] == (REG_DWORD, b"\1\0\0\0")
    assert registry[PARAMETERS_KEY]["RootRelativeNames"] == (REG_DWORD, b"\1\0\0\0")
    assert registry[EVENT_SOURCE_KEY]["EventMessageFile"] == (REG_EXPAND_SZ, b"/usr/sbin/quorld\0")
    user = unit_settings().get("User")
    if user:
        assert run("getent", "passwd", user).stdout
    assert not [r for r in requests_to_systemd() if "start" in r], requests_to_systemd()

    # Served, with the transfer log on, and both logs rotated while it serves.
    run("quoril-reg", "add", KEY, "/v", "EnableLogging", "/t", "REG_DWORD", "/d", "1", "/f")
    (SERVED / "boot.bin").write_bytes(payload(70_000, seed=1))
    server, manager = start_service()
    try:
        assert fetch(server, "boot.bin") == payload(70_000, seed=1)
        wait_for_lines(LOGS / "transfers.log", 1)
        run("logrotate", "--force", "--state", "/run/logrotate.state", "/etc/logrotate.d/quoril")
        assert fetch(server, "BOOT.BIN") == payload(70_000, seed=1)
        wait_for_lines(LOGS / "transfers.log", 1)
        assert manager.stop()[-1].state == STOPPED
        assert server.wait_exit() == 0
    finally:
        manager.close()
        server.close()
    rotated, current = LOGS / "transfers.log.1", LOGS / "transfers.log"
    assert len(transfer_lines(rotated)) == 1 and "/srv/tftp/boot.bin" in rotated.read_text()
    # Copied, then emptied: the second line lands at the start of the emptied file.
    assert current.read_bytes().startswith(b"  ") and b"\0" not in current.read_bytes()
    assert len(transfer_lines(current)) == 1
    assert "EVENT_SERVICE_STARTED" in (LOGS / "events.log.1").read_text()
    assert "EVENT_SERVICE_STOPPED" in (LOGS / "events.log").read_text()

    # Upgraded: the administrator's settings stay, a running service is restarted.
    run("quoril-reg", "add", KEY, "/v", "Timeout", "/t", "REG_DWORD", "/d", "7", "/f")
    run("dpkg", "-i", str(DEB))
    registry = read_registry(REGISTRY)
    assert registry[PARAMETERS_KEY]["Timeout"] == (REG_DWORD, b"\7\0\0\0")
    assert registry[PARAMETERS_KEY]["EnableLogging"] == (REG_DWORD, b"\1\0\0\0")
    assert "deb-systemd-invoke try-restart quoril.service" in requests_to_systemd()

    # Removed while it serves: stopped first; the programs, the unit and the event-log source
    # go, the settings and the served files stay.
    server, manager = start_service()
    try:
        # The stop's reports are taken while dpkg waits for the stop, as systemd takes them.
        removal = subprocess.Popen(["dpkg", "--remove", "quoril"], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True)
        check_stop_sequence(manager.reports_until(lambda report: report.state == STOPPED))
        output, _ = removal.communicate(timeout=120)
        assert removal.returncode == 0, output
        assert "deb-systemd-invoke stop quoril.service" in requests_to_systemd()
        assert server.wait_exit() == 0
    finally:
        manager.close()
        server.close()
    for path in ("/usr/sbin/quorld", "/usr/sbin/quoril-reg", str(UNIT)):
        assert not Path(path).exists(), path
    registry = read_registry(REGISTRY)
    assert EVENT_SOURCE_KEY not in registry
    assert registry[PARAMETERS_KEY]["Timeout"] == (REG_DWORD, b"\7\0\0\0")
    assert (SERVED / "boot.bin").exists()

    # Purged: the settings and the logs go, the served files stay.
    run("dpkg", "--purge", "quoril")
    assert run("dpkg", "-s", "quoril", check=False).returncode != 0
    for path in ("/etc/quoril", str(LOGS), "/etc/logrotate.d/quoril"):
        assert not Path(path).exists(), path
    assert (SERVED / "boot.bin").read_bytes() == payload(70_000, seed=1)
