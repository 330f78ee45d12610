"""The command line of quorld: every switch in any case, the exact bytes it prints, its exit
code, and console mode's orderly end on Ctrl-C and SIGTERM."""

import os
import signal
import subprocess

import pytest

from conftest import QUORLD
from service_manager import events

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
VERSION = b"Quoril TFTP service version 1.0\nCopyright (c) 2026 The Quoril developers\n"
USAGE = b"\nQuoril service command line switches:\n\n-install\n-remove\n-version\n"


@pytest.fixture
def quorld(tmp_path):
    """run(*arguments): quorld with a scratch system root and no service manager."""
    env = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
    env["QUORIL_ROOT"] = str(tmp_path)

    def run(*arguments):
        return subprocess.run(
            [QUORLD, *arguments], env=env, cwd=tmp_path, capture_output=True, timeout=60
        )

    run.root = tmp_path
    run.unit = tmp_path / "etc/systemd/system/quoril.service"
    return run


@pytest.mark.parametrize("install", ["-install", "-INSTALL", "-Install", "-iNsTaLl"])
@pytest.mark.parametrize("remove", ["-remove", "-REMOVE", "-Remove", "-rEmOvE"])
def test_install_and_remove_in_any_case(quorld, install, remove):
    result = quorld(install)
    assert (result.returncode, result.stdout, result.stderr) == (0, INSTALLED, b"")
    assert quorld.unit.exists()
    result = quorld(install)
    assert (result.returncode, result.stdout, result.stderr) == (1, INSTALL_FAILED, b"")
    result = quorld(remove)
    assert (result.returncode, result.stdout, result.stderr) == (0, REMOVED, b"")
    assert not quorld.unit.exists()
    result = quorld(remove)
    assert (result.returncode, result.stdout, result.stderr) == (1, REMOVE_FAILED, b"")


@pytest.mark.parametrize("switch", ["-version", "-VERSION", "-Version"])
def test_version(quorld, switch):
    result = quorld(switch)
    assert (result.returncode, result.stdout, result.stderr) == (0, VERSION, b"")


@pytest.mark.parametrize(
    "argument",
    ["/install", "install", "--install", "-install-", "-installs", "-instal", "/debug",
     "debug", "-", "", "-help", "-?", "-dEbUgX", "-r\u00e9move", " -install"],
)
def test_anything_else_prints_the_usage_text(quorld, argument):
    result = quorld(argument)
    assert (result.returncode, result.stdout, result.stderr) == (0, USAGE, b"")
    assert not quorld.unit.exists()


def test_only_the_first_argument_counts(quorld):
    result = quorld("-install", "-remove", "extra")
    assert (result.returncode, result.stdout) == (0, INSTALLED)
    assert quorld.unit.exists()
    result = quorld("-version", "-remove")
    assert (result.returncode, result.stdout) == (0, VERSION)
    assert quorld.unit.exists()
    result = quorld("nonsense", "-remove")
    assert (result.returncode, result.stdout) == (0, USAGE)
    assert quorld.unit.exists()
    result = quorld("-REMOVE", "-install")
    assert (result.returncode, result.stdout) == (0, REMOVED)
    assert not quorld.unit.exists()


def test_no_argument_outside_a_service_manager(quorld):
    result = quorld()
    assert (result.returncode, result.stdout, result.stderr) == (1, b"", b"")
    assert not (quorld.root / "var").exists()


def test_a_manager_that_cannot_be_opened(quorld):
    (quorld.root / "etc").mkdir()
    (quorld.root / "etc/systemd").write_text("in the way")
    result = quorld("-install")
    assert (result.returncode, result.stdout, result.stderr) == (1, INSTALL_FAILED, b"")
    result = quorld("-remove")
    assert (result.returncode, result.stdout, result.stderr) == (1, REMOVE_FAILED, b"")
    assert not (quorld.root / "etc/quoril").exists()


@pytest.mark.parametrize("switch", ["-debug", "-DEBUG", "-Debug"])
@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "term"])
def test_console_mode_stops_in_order(server_factory, switch, stop_signal):
    server = server_factory(args=(switch,), logging=1)
    (server.directory / "a.txt").write_bytes(b"console\n")
    assert server.get("a.txt") == b"console\n"
    os.kill(server.process.pid, stop_signal)
    assert server.wait_exit(30) == 0
    assert server.stdout == ""
    assert events(server) == [0x1, 0x2]
    log = server.log_path.read_bytes()
    assert log.count(b"a.txt") == 1
    # The stop banner is the last line, after the transfer's.
    assert log.index(b"--- Quoril service started ---") < log.index(b"a.txt")
    assert log.rindex(b"a.txt") < log.index(b"--- Quoril service stopped ---")
    assert log.endswith(b"   --- Quoril service stopped ---\r\n")


def test_console_mode_takes_a_second_signal_calmly(server_factory):
    server = server_factory()
    os.kill(server.process.pid, signal.SIGINT)
    os.kill(server.process.pid, signal.SIGTERM)
    assert server.wait_exit(30) == 0
    assert events(server) == [0x1, 0x2]
