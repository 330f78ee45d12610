"""The Debian package's life under a real systemd: a minimal Debian system (QUORIL_SYSTEM, made
by scripts/debian-system.sh) booted with systemd-nspawn over a throwaway overlay, in a network
namespace of its own. Run as root by scripts/package-test.sh, in a mount namespace of its own.

The tests run in order on one machine, as an administrator would go: install and start as
the README says; UEFI's first request; every command of the examples in the README (its
`sh` blocks), the manual pages (their blocks marked as commands) and `quoril-reg --help`,
run as printed; pause and continue; a start that fails; rotation; enabled at boot, a reboot
with an address that comes late; upgrade, removal, purge; and `quorld -install`'s way.

Environment: QUORIL_DEB, the package; QUORIL_SYSTEM, the Debian system's directory.
"""

import os
import re
import shlex
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "integration"))

from conftest import payload  # noqa: E402

DEB = Path(os.environ.get("QUORIL_DEB", "/tmp/quoril.deb"))
SYSTEM = Path(os.environ.get("QUORIL_SYSTEM", "/var/cache/quoril-ci/system"))
KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Quoril\Parameters"
BOOT_FILE = payload(70_000, seed=1)
LATE_ADDRESS = "198.51.100.1"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# An address that comes up 2 s into the boot, as a DHCP lease does, from a unit ordered as
# the system's networking is (ifupdown's networking.service): before network-online.target,
# which waits for it only when something wants that target.
LATE_ADDRESS_UNIT = f"""[Unit]
Description=An address that comes up late
DefaultDependencies=no
After=network-pre.target
Before=network.target network-online.target

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/bin/sh -c 'sleep 2; ip link add lan0 type veth peer name lan1; ip link set lan1 up; \\
ip link set lan0 up; ip address add {LATE_ADDRESS}/24 dev lan0'

[Install]
WantedBy=multi-user.target network-online.target
"""


# --- The documents' examples, found as the documents mark them -----------------------------

def readme_blocks() -> list[str]:
    return re.findall(r"^```sh\n(.*?)^```$", (REPO / "README.md").read_text(), re.M | re.S)


def manual_blocks() -> list[str]:
    """The blocks of the manual pages marked as commands, as man prints them."""
    blocks = []
    for page in sorted((REPO / "man").glob("*.8.in")):
        for block in re.findall(r'^\.\\" Commands:[^\n]*\n\.RS\n\.nf\n(.*?)^\.fi$', page.read_text(),
                                re.M | re.S):
            for escape, plain in (("\\-", "-"), ("\\(dq", '"'), ("\\&", ""), ("\\e", "\\")):
                block = block.replace(escape, plain)
            blocks.append(block)
    return blocks


def help_example(help_text: str) -> str:
    """The indented lines after "Example" in quoril-reg --help."""
    found = re.search(r"^Example.*\n((?:  .*\n)+)", help_text, re.M)
    assert found, help_text
    return "".join(line[2:] + "\n" for line in found.group(1).splitlines())


def readme_block(containing: str) -> str:
    [block] = [b for b in readme_blocks() if containing in b]
    return block


# The README's blocks that a step of the package's life takes; every other one sets things up.
README_STEPS = ("apt install", "systemctl status", "WantedBy=", "quorld -install",
                "quorld -remove")


def readme_controls() -> dict[str, str]:
    """The README's table of controls: {control's first word: command}."""
    return dict(re.findall(r"^\| (\w+)[^|]*\| `(systemctl [^`]*)` \|$",
                           (REPO / "README.md").read_text(), re.M))


# --- The machine --------------------------------------------------------------------------

class Machine:
    """SYSTEM booted with systemd-nspawn over an overlay whose changes stay in `upper`."""

    def __init__(self, work: Path):
        self.upper, self.root = work / "upper", work / "root"
        for directory in (self.upper, work / "work", self.root):
            directory.mkdir()
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        f"lowerdir={SYSTEM},upperdir={self.upper},workdir={work / 'work'}",
                        str(self.root)], check=True)
        self.console = work / "console.log"
        self.process: subprocess.Popen | None = None
        self.pid = 0

    def boot(self) -> None:
        with open(self.console, "ab") as console:
            self.process = subprocess.Popen(
                ["systemd-nspawn", "--quiet", "--register=no", "--keep-unit",
                 "--private-network", "--boot", "--directory", str(self.root)],
                stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        self.pid = 0
        while not self.pid:
            assert self.process.poll() is None and time.monotonic() < deadline, self.log()
            children = Path(f"/proc/{self.process.pid}/task/{self.process.pid}/children")
            for child in children.read_text().split():
                if Path(f"/proc/{child}/comm").read_text().strip() == "systemd":
                    self.pid = int(child)
            time.sleep(0.05)
        # Until its manager listens, systemctl finds nobody to ask.
        wait_for(lambda: Path(f"/proc/{self.pid}/root/run/systemd/private").exists(),
                 "systemd does not listen\n" + self.log(), 30)
        state = self.sh("timeout 60 systemctl is-system-running --wait", check=False)
        assert state.stdout.strip() in ("running", "degraded"), (
            state.stdout + state.stderr + self.log())

    def log(self) -> str:
        return self.console.read_text(errors="replace")[-3000:]

    def sh(self, script: str, check: bool = True, cwd: str = "/root",
           timeout: float = 120) -> subprocess.CompletedProcess:
        """A bash script inside, as root in a login's environment, on every namespace of it."""
        result = subprocess.run(
            ["nsenter", f"--target={self.pid}", "--all", "--root", f"--wd={self.root}{cwd}",
             "/usr/bin/env", "-i", f"PATH={PATH}", "HOME=/root", "LANG=C.UTF-8",
             "/bin/bash", "-e", "-c", script],
            capture_output=True, text=True, timeout=timeout)
        if check:
            assert result.returncode == 0, f"{script}\n{result.stdout}{result.stderr}"
        return result

    def net(self, argv: list[str], **options) -> subprocess.Popen:
        """A program of this machine's in the container's network namespace only."""
        return subprocess.Popen(["nsenter", f"--net=/proc/{self.pid}/ns/net", *argv], **options)

    def halt(self, command: str) -> None:
        self.sh(command, check=False)
        assert self.process.wait(timeout=60) in (0, 133), self.log()

    def read(self, path: str) -> bytes:
        return (self.root / path.lstrip("/")).read_bytes()

    def write(self, path: str, data: bytes) -> None:
        (self.root / path.lstrip("/")).parent.mkdir(parents=True, exist_ok=True)
        (self.root / path.lstrip("/")).write_bytes(data)

    def exists(self, path: str) -> bool:
        return os.path.lexists(self.root / path.lstrip("/"))


@pytest.fixture(scope="module")
def machine():
    assert (SYSTEM / "usr/lib/systemd/systemd").exists(), f"{SYSTEM}: see scripts/debian-system.sh"
    machine = None
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["mount", "-t", "tmpfs", "quoril-package-test", work], check=True)
        try:
            machine = Machine(Path(work))
            machine.write(f"/root/build-package/{DEB.name}", DEB.read_bytes())
            machine.boot()
            yield machine
            machine.halt("systemctl poweroff")
        finally:
            if machine and machine.process and machine.process.poll() is None:
                machine.process.kill()
                machine.process.wait()
            subprocess.run(["umount", "--recursive", "--lazy", work], check=False)


def fetch(machine: Machine, name: str, address: str = "127.0.0.1") -> bytes:
    machine.sh(f"rm -f fetched; tftp {address} -m binary -c get {name} fetched")
    return machine.read("/root/fetched")


def setting(machine: Machine, name: str) -> str:
    return machine.sh(f"quoril-reg query '{KEY}' /v {name}").stdout.split()[-1]


def transfer_lines(machine: Machine, path: str) -> list[str]:
    text = machine.read(path).decode("latin-1") if machine.exists(path) else ""
    return [line for line in text.splitlines() if re.match(r"^[ E] {7}\d\d/\d\d/\d\d", line)]


def wait_for(condition, what: str, seconds: float = 10) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


# --- The package's life --------------------------------------------------------------------

def test_installed_as_the_readme_says_configured_not_started(machine):
    output = machine.sh(readme_block("apt install")).stdout
    assert "the service is installed but not started" in output
    for path in ("/usr/sbin/quorld", "/usr/sbin/quoril-reg", "/lib/systemd/system/quoril.service",
                 "/usr/share/man/man8/quorld.8.gz", "/etc/logrotate.d/quoril"):
        assert machine.exists(path), path
    assert machine.sh("systemctl is-enabled quoril", check=False).stdout.strip() == "static"
    assert machine.sh("systemctl is-active quoril", check=False).stdout.strip() == "inactive"
    # Started at boot, it waits for the network's addresses.
    for ordering in ("Wants", "After"):
        assert "network-online.target" in machine.sh(f"systemctl show -P {ordering} quoril").stdout
    assert setting(machine, "DefaultDirectory") == "/srv/tftp"
    assert setting(machine, "LimitToDefaultDirectory") == "0x1"
    assert setting(machine, "RootRelativeNames") == "0x1"
    # What UEFI firmware needs to boot from it.
    assert setting(machine, "NegotiateOptions") == "0x1"
    assert setting(machine, "FollowAddresses") == "0x1"
    for name in ("RetransmitBackoff", "IgnoreBlocksAhead", "IgnoreRequestCopies", "DallyAfterWrite"):
        assert setting(machine, name) == "0x1"


def test_started_serves_as_its_account(machine):
    machine.write("/srv/tftp/pxelinux.0", BOOT_FILE)
    machine.sh(readme_block("systemctl status"))
    assert machine.read("/root/pxelinux.0") == BOOT_FILE
    assert machine.sh("ps -o user= -C quorld").stdout.split() == ["quoril"]


def test_serves_an_address_that_comes_up_after_the_start(machine):
    machine.sh("ip link add late0 type veth peer name late1; ip link set late1 up; "
               "ip link set late0 up; ip address add 192.0.2.9/24 dev late0")
    got = "tftp 192.0.2.9 -m binary -c get pxelinux.0 late && cmp late /srv/tftp/pxelinux.0"
    wait_for(lambda: machine.sh(got, check=False).returncode == 0, "192.0.2.9 not served", 30)
    machine.sh("ip link del late0")


def test_uefi_first_request_is_answered_with_its_options(machine):
    """The firmware's size probe: an OACK with the size, which it then declines."""
    probe = (
        "import socket, sys\n"
        "from tftp_wire import error, parse, rrq\n"
        "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
        "s.settimeout(5)\n"
        "s.sendto(rrq('pxelinux.0', 'octet', {'tsize': 0, 'blksize': 1468, 'windowsize': 4}),"
        " ('127.0.0.1', 69))\n"
        "answer, peer = s.recvfrom(70000)\n"
        "s.sendto(error(8, 'size only'), peer)\n"
        "answer = parse(answer)\n"
        "sys.stdout.write(repr(answer.options if answer.opcode == 6 else answer))\n")
    process = machine.net([sys.executable, "-c", probe], stdout=subprocess.PIPE, text=True,
                          env={"PYTHONPATH": str(REPO / "tests" / "integration")})
    answer, _ = process.communicate(timeout=20)
    assert answer == repr({"tsize": str(len(BOOT_FILE)), "blksize": "1468", "windowsize": "4"})


def test_examples_of_the_documents_run_as_printed(machine):
    settings = [b for b in readme_blocks() if not any(step in b for step in README_STEPS)]
    examples = settings + manual_blocks() + [help_example(machine.sh("quoril-reg --help").stdout)]
    assert len(settings) >= 2 and len(examples) >= 7, examples
    for example in examples:
        machine.sh(example)
    # The service starts with what they set, the transfer log where the README put it.
    machine.sh("systemctl restart quoril && systemctl is-active quoril")
    assert setting(machine, "Timeout") == "0x5"
    assert fetch(machine, "PXELINUX.0") == BOOT_FILE
    wait_for(lambda: transfer_lines(machine, "/var/log/quoril/transfers.log"), "no transfer line")


def test_paused_takes_requests_after_continue(machine):
    controls = readme_controls()
    machine.sh(controls["pause"])
    wait_for(lambda: "Paused" in machine.sh("systemctl show -P StatusText quoril").stdout,
             "not paused")
    machine.sh("rm -f fetched")
    client = machine.net(["tftp", "127.0.0.1", "-m", "binary", "-c", "get", "pxelinux.0",
                          str(machine.root / "root" / "fetched")])
    time.sleep(1)
    assert not machine.exists("/root/fetched") or not machine.read("/root/fetched")
    machine.sh(controls["continue"])
    assert client.wait(timeout=20) == 0
    assert machine.read("/root/fetched") == BOOT_FILE


def test_start_fails_while_another_program_holds_port_69(machine):
    machine.sh("systemctl stop quoril")
    holder = machine.net([sys.executable, "-c",
                          "import socket, sys\n"
                          "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                          "s.bind(('0.0.0.0', 69)); print('held', flush=True); sys.stdin.read()"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        start = machine.sh("systemctl start quoril", check=False)
        assert start.returncode != 0, start
        assert machine.sh("systemctl is-failed quoril", check=False).stdout.strip() == "failed"
        warnings = machine.sh("journalctl -t Quoril -p warning --no-pager").stdout
        assert "Address already in use" in warnings, warnings
    finally:
        holder.communicate(timeout=10)
    machine.sh("systemctl start quoril && systemctl is-active quoril")


def test_logs_rotated_while_it_serves(machine):
    machine.sh("truncate -s 0 /var/log/quoril/transfers.log")
    assert fetch(machine, "pxelinux.0") == BOOT_FILE
    wait_for(lambda: len(transfer_lines(machine, "/var/log/quoril/transfers.log")) == 1, "line")
    machine.sh("logrotate --force /etc/logrotate.d/quoril")
    assert fetch(machine, "pxelinux.0") == BOOT_FILE
    wait_for(lambda: len(transfer_lines(machine, "/var/log/quoril/transfers.log")) == 1, "line")
    assert len(transfer_lines(machine, "/var/log/quoril/transfers.log.1")) == 1
    assert b"\0" not in machine.read("/var/log/quoril/transfers.log")
    assert b"EVENT_SERVICE_STARTED" in machine.read("/var/log/quoril/events.log.1")
    machine.sh("systemctl restart quoril")  # its events go on in a new file
    assert b"EVENT_SERVICE_STOPPED" in machine.read("/var/log/quoril/events.log")


def test_enabled_at_boot_serves_an_address_that_comes_late(machine):
    machine.write("/etc/systemd/system/late-address.service", LATE_ADDRESS_UNIT.encode())
    machine.sh("systemctl enable late-address.service")
    machine.sh(readme_block("WantedBy="))
    assert machine.sh("systemctl is-enabled quoril").stdout.strip() == "enabled"
    machine.halt("systemctl reboot")
    machine.boot()
    assert machine.sh("systemctl is-active quoril").stdout.strip() == "active"
    assert fetch(machine, "pxelinux.0", LATE_ADDRESS) == BOOT_FILE


def test_upgrade_keeps_the_settings_and_restarts(machine):
    before = machine.sh("systemctl show -P MainPID quoril").stdout.strip()
    machine.sh(f"dpkg -i /root/build-package/{DEB.name}")
    assert machine.sh("systemctl show -P MainPID quoril").stdout.strip() not in ("0", before)
    assert setting(machine, "Timeout") == "0x5"
    assert fetch(machine, "pxelinux.0") == BOOT_FILE


def test_removal_stops_and_keeps_the_settings(machine):
    machine.sh("apt-get remove -y -q quoril")
    assert machine.sh("systemctl is-active quoril", check=False).stdout.strip() == "inactive"
    for path in ("/usr/sbin/quorld", "/usr/sbin/quoril-reg", "/lib/systemd/system/quoril.service"):
        assert not machine.exists(path), path
    assert b'"Timeout"=dword:00000005' in machine.read("/etc/quoril/registry.reg")


def test_purge_leaves_nothing_to_start_at_boot(machine):
    machine.sh("apt-get purge -y -q quoril")
    for path in ("/etc/quoril", "/var/log/quoril", "/etc/systemd/system/quoril.service.d",
                 "/etc/systemd/system/multi-user.target.wants/quoril.service"):
        assert not machine.exists(path), path
    assert machine.read("/srv/tftp/pxelinux.0") == BOOT_FILE
    # Nothing of it on the disk: the served files, the package itself and the journal aside.
    left = subprocess.run(
        ["find", ".", "(", "-iname", "*quoril*", "-o", "-iname", "*quorld*", ")",
         "!", "-path", "./tmp/*", "!", "-path", "./run/*", "!", "-path", "./root/build-package*",
         "!", "-path", "./var/log/journal/*"],
        cwd=machine.upper, capture_output=True, text=True, check=True).stdout
    assert left == "", left
    # Installed again, it is not started at boot.
    machine.sh(f"dpkg -i /root/build-package/{DEB.name}")
    assert machine.sh("systemctl is-enabled quoril", check=False).stdout.strip() == "static"
    machine.sh("apt-get purge -y -q quoril")


def test_installed_and_removed_by_quorld_as_the_readme_says(machine):
    # "Put quorld where it is to stay".
    machine.sh(f"dpkg-deb --fsys-tarfile /root/build-package/{DEB.name} | tar -xO ./usr/sbin/quorld"
               " >/usr/local/sbin/quorld && chmod 755 /usr/local/sbin/quorld")
    machine.sh(readme_block("quorld -install"))
    machine.sh("systemctl start quoril && systemctl is-active quoril")
    machine.sh(readme_block("quorld -remove"))
    assert not machine.exists("/etc/systemd/system/quoril.service")
    assert machine.sh("systemctl is-active quoril", check=False).stdout.strip() == "inactive"
