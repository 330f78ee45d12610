"""Installation and removal in a scratch system root: the unit file, the registry file's keys
and values (types and exact bytes, in their order), and what each failure leaves behind."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import conftest
from conftest import QUORLD
from service_manager import (
    EVENT_SOURCE_KEY,
    PARAMETERS_KEY,
    REG_DWORD,
    REG_EXPAND_SZ,
    account_names,
    copy_account_database,
    dword_value,
    read_registry,
    text_value,
    write_registry,
)

INSTALL_FAILED = b"Error installing the Quoril service\n"
REMOVE_FAILED = b"Error removing the Quoril service\n"


class Machine:
    """A scratch system root and the quorld executable to install from it."""

    def __init__(self, root: Path, executable: Path):
        self.root = root
        self.executable = executable
        self.unit = root / "etc/systemd/system/quoril.service"
        self.registry_path = root / "etc/quoril/registry.reg"
        self.env = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        self.env["QUORIL_ROOT"] = str(root)

    def run(self, switch: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            [self.executable, switch], env=self.env, capture_output=True, timeout=60
        )

    def registry(self):
        return read_registry(self.registry_path)


@pytest.fixture
def machine(tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    return Machine(root, QUORLD.resolve())


def copy_executable(directory: Path) -> Path:
    """quorld copied to `directory`, which tells the installer where the service lives."""
    directory.mkdir(parents=True)
    target = directory / "quorld"
    shutil.copy2(QUORLD, target)
    return target


def test_installation_writes_the_unit_and_the_registry(machine):
    assert machine.run("-install").returncode == 0
    path = str(machine.executable)
    # The sandbox that follows is test_the_unit_passes_systemd_analyze's.
    assert machine.unit.read_bytes().startswith(
        b"[Unit]\nDescription=Quoril\nWants=network-online.target\nAfter=network-online.target\n"
        b"\n[Service]\nType=notify\nExecStart="
        + path.encode()
        + b"\nUser=quoril\n"
    )
    registry = machine.registry()
    assert registry[EVENT_SOURCE_KEY] == {
        "EventMessageFile": text_value(path),
        "TypesSupported": dword_value(7),
    }
    parameters = registry[PARAMETERS_KEY]
    assert list(parameters.items()) == [
        ("LogFile", (REG_EXPAND_SZ, b"quorld.log\0")),
        ("DefaultDirectory", text_value(str(machine.executable.parent).lower())),
        ("Timeout", (REG_DWORD, b"\x03\0\0\0")),
        ("MaxRetransmit", (REG_DWORD, b"\x05\0\0\0")),
        ("EnableLogging", (REG_DWORD, b"\0\0\0\0")),
        ("OverwriteExisting", (REG_DWORD, b"\x01\0\0\0")),
        ("LimitToDefaultDirectory", (REG_DWORD, b"\0\0\0\0")),
    ]
    assert len(parameters["LogFile"][1]) == 11


def test_paths_with_capitals_and_blanks(machine, tmp_path):
    """The unit runs the executable where it is, however its path is written; only the
    default directory is lower-cased."""
    machine.executable = copy_executable(tmp_path / "Quoril Service" / "100% $HOME")
    result = machine.run("-install")
    assert result.returncode == 0, result
    path = str(machine.executable)
    exec_word = '"' + path.replace("%", "%%").replace("$", "$$") + '"'
    assert f"ExecStart={exec_word}\n" in machine.unit.read_text()
    registry = machine.registry()
    assert registry[EVENT_SOURCE_KEY]["EventMessageFile"] == text_value(path)
    assert registry[PARAMETERS_KEY]["DefaultDirectory"] == text_value(
        str(machine.executable.parent).lower()
    )


def test_second_installation_touches_no_key(machine):
    assert machine.run("-install").returncode == 0
    unit = machine.unit.read_bytes()
    registry = machine.registry()
    registry[PARAMETERS_KEY]["Timeout"] = dword_value(9)
    del registry[EVENT_SOURCE_KEY]
    write_registry(machine.registry_path, registry)
    before = machine.registry_path.read_bytes()

    result = machine.run("-install")
    assert (result.returncode, result.stdout) == (1, INSTALL_FAILED)
    assert machine.unit.read_bytes() == unit
    assert machine.registry_path.read_bytes() == before


def test_removal_keeps_the_settings(machine):
    assert machine.run("-install").returncode == 0
    registry = machine.registry()
    registry[PARAMETERS_KEY]["Timeout"] = dword_value(9)
    write_registry(machine.registry_path, registry)

    assert machine.run("-remove").returncode == 0
    assert not machine.unit.exists()
    registry = machine.registry()
    assert EVENT_SOURCE_KEY not in registry
    assert registry[PARAMETERS_KEY]["Timeout"] == dword_value(9)
    assert len(registry[PARAMETERS_KEY]) == 7


def test_removal_of_a_missing_service_leaves_the_event_source(machine):
    assert machine.run("-install").returncode == 0
    machine.unit.unlink()
    before = machine.registry_path.read_bytes()
    result = machine.run("-remove")
    assert (result.returncode, result.stdout) == (1, REMOVE_FAILED)
    assert machine.registry_path.read_bytes() == before
    assert EVENT_SOURCE_KEY in machine.registry()


def test_removal_without_the_event_source_still_deletes_the_service(machine):
    assert machine.run("-install").returncode == 0
    registry = machine.registry()
    del registry[EVENT_SOURCE_KEY]
    write_registry(machine.registry_path, registry)
    result = machine.run("-remove")
    assert (result.returncode, result.stdout) == (1, REMOVE_FAILED)
    assert not machine.unit.exists()
    assert PARAMETERS_KEY in machine.registry()
    # With the service gone, installing again works.
    assert machine.run("-install").returncode == 0


def test_a_broken_registry_leaves_the_service_registered(machine):
    """Installation is not undone: the service stays, and the registry file is left as
    it was."""
    machine.registry_path.parent.mkdir(parents=True)
    machine.registry_path.write_text("not a registry file\n")
    result = machine.run("-install")
    assert (result.returncode, result.stdout) == (1, INSTALL_FAILED)
    assert machine.unit.exists()
    assert machine.registry_path.read_text() == "not a registry file\n"


def test_installed_service_runs_from_a_directory_with_capitals(server_factory, monkeypatch):
    """The default directory is lower-cased, as the settings are on every system; the
    service still finds the directory that holds it."""
    server = server_factory(start=False, registry=False)
    executable = copy_executable(server.base / "Bin Dir")
    result = subprocess.run([executable, "-install"], env=server.env, capture_output=True,
                            timeout=60)
    assert result.returncode == 0, result
    registry = read_registry(server.registry_path)
    assert registry[PARAMETERS_KEY]["DefaultDirectory"] == text_value(
        str(executable.parent).lower()
    )
    (executable.parent / "Hello.txt").write_bytes(b"from the service's own directory\n")
    monkeypatch.setattr(conftest, "QUORLD", executable)
    server.start()
    assert server.get("hello.txt") == b"from the service's own directory\n"


def test_the_unit_passes_systemd_analyze(machine):
    """The sandbox the test service manager cannot give is systemd's: the unit is valid and
    its exposure is "OK" or better (below 5.0)."""
    assert machine.run("-install").returncode == 0
    verify = subprocess.run(["systemd-analyze", "verify", machine.unit], capture_output=True,
                            text=True, timeout=120)
    assert verify.returncode == 0, verify
    security = subprocess.run(
        ["systemd-analyze", "security", "--offline=yes", "--threshold=49", machine.unit],
        capture_output=True, text=True, timeout=120)
    assert security.returncode == 0, security.stdout
    assert re.search(r"Overall exposure level for quoril.service: [0-4]\.\d (OK|SAFE|PERFECT)",
                     security.stdout), security.stdout


ACCOUNT_CASES = {
    # what the system root holds before: (-install succeeds, the account after it, after -remove)
    "missing": (True, True, False),
    "there before": (True, True, True),
    "no account database": (True, False, False),
    "unusable database": (False, False, False),
}


@pytest.mark.parametrize("before", ACCOUNT_CASES)
def test_the_service_account_goes_only_if_installation_made_it(machine, before):
    installed, after_install, after_remove = ACCOUNT_CASES[before]
    if before != "no account database":
        copy_account_database(machine.root)
    if before == "there before":
        subprocess.run(["useradd", "--system", "--prefix", machine.root, "quoril"], check=True)
    if before == "unusable database":
        (machine.root / "etc/passwd").unlink()
        (machine.root / "etc/passwd").mkdir()

    result = machine.run("-install")
    assert (result.returncode == 0) == installed, result
    assert machine.unit.exists() == installed
    assert ("quoril" in account_names(machine.root)[0]) == after_install
    if installed:
        assert machine.run("-remove").returncode == 0
    users, groups = account_names(machine.root)
    assert ("quoril" in users, "quoril" in groups) == (after_remove, after_remove)
