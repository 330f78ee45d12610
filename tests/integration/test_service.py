"""quorld as a service under a test service manager: the exact status reports of start,
pause, continue, interrogate and stop; what a paused service does with requests; stops at
awkward moments; refused reports; and a whole life from installation to removal."""

import os
import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import QUORLD, payload, registry_text
from service_manager import (
    EVENT_SOURCE_KEY,
    PARAMETERS_KEY,
    PAUSED,
    RUNNING,
    START_PENDING,
    STOPPED,
    ServiceManager,
    account_names,
    check_stop_sequence,
    copy_account_database,
    events,
    dword_value,
    read_registry,
    text_value,
    write_registry,
)
from tftp_wire import DATA, TftpError, ack, rrq

EVENT_SERVICE_STARTED = 0x1
EVENT_SERVICE_STOPPED = 0x2
EVENT_INIT_FAILED = 0xC0000003
EVENT_SOCKET_ALLOCATE = 0xC0000006

START = [(START_PENDING, 1, 3000), (START_PENDING, 2, 3000), (RUNNING, 0, 0)]


@pytest.fixture
def service(server_factory):
    """make(abstract=False, **server options): a prepared quorld service under a test
    service manager."""
    managers = []

    def make(abstract=False, **options):
        manager = ServiceManager(server_factory(start=False, **options), abstract)
        managers.append(manager)
        return manager

    yield make
    for manager in managers:
        manager.close()


def wait_exit(manager, timeout: float = 30.0) -> int:
    return manager.server.wait_exit(timeout)


@pytest.mark.parametrize("abstract", [False, True], ids=["path", "abstract"])
def test_start_and_stop_report_exactly(service, abstract):
    manager = service(abstract=abstract)
    start = manager.start()
    assert [report.short() for report in start] == START
    assert [report.accepted for report in start] == [0, 0, 3]
    assert all(report.exit_code == 0 for report in start)
    assert start[0].text == (
        "EXTEND_TIMEOUT_USEC=3000000\nSTATUS=Starting (check point 1)\nX_STATE=2\n"
        "X_CONTROLS_ACCEPTED=0\nX_EXIT_CODE=0\nX_SERVICE_EXIT_CODE=0\nX_CHECK_POINT=1\n"
        "X_WAIT_HINT=3000\n"
    )
    assert start[2].text.startswith("READY=1\nSTATUS=Running\n")

    check_stop_sequence(manager.stop())
    assert wait_exit(manager) == 0
    assert manager.next_report(0.5) is None
    assert events(manager.server) == [EVENT_SERVICE_STARTED, EVENT_SERVICE_STOPPED]


def test_pause_continue_and_interrogate_in_each_state(service):
    manager = service()
    manager.start()
    steps = [
        (manager.pause, PAUSED),
        (manager.pause, PAUSED),
        (manager.interrogate, PAUSED),
        (manager.resume, RUNNING),
        (manager.resume, RUNNING),
        (manager.interrogate, RUNNING),
        (manager.pause, PAUSED),
        (manager.resume, RUNNING),
    ]
    for number, (control, state) in enumerate(steps):
        report = control()
        assert report is not None, f"step {number}: no report"
        assert report.short() == (state, 0, 0), f"step {number}"
        assert report.accepted == 3 and report.exit_code == 0
        assert ("READY=1\n" in report.text) == (state == RUNNING)
    check_stop_sequence(manager.stop())
    assert wait_exit(manager) == 0


def test_paused_service_answers_requests_only_after_continue(service):
    manager = service()
    manager.server.file("hello.txt").write_bytes(b"hello, paused world\n")
    manager.start()
    assert manager.pause().state == PAUSED
    client = manager.server.endpoint()
    client.send(rrq("hello.txt"), (manager.server.address, 69))
    client.expect_none(within=2.0)
    # An interrogation does not let it go on either.
    assert manager.interrogate().state == PAUSED
    client.expect_none(within=1.0)

    assert manager.resume().state == RUNNING
    packet, peer = client.expect(timeout=10)
    assert (packet.opcode, packet.block, packet.payload) == (DATA, 1, b"hello, paused world\n")
    client.send(ack(1), peer)
    manager.server.wait_closed((manager.server.address, peer[1]))
    check_stop_sequence(manager.stop())
    assert wait_exit(manager) == 0


# In single-port mode the listener goes on reading port 69 while paused, for the transfers.
@pytest.mark.parametrize("single_port", [None, 1], ids=["default", "single-port"])
def test_running_transfer_goes_on_while_paused(service, single_port):
    manager = service(single_port=single_port)
    content = payload(3 * 512 + 100, seed=6)
    manager.server.file("three.bin").write_bytes(content)
    manager.start()
    client = manager.server.endpoint()
    client.send(rrq("three.bin"), (manager.server.address, 69))
    packet, peer = client.expect()
    assert (packet.opcode, packet.block) == (DATA, 1)
    received = packet.payload

    assert manager.pause().state == PAUSED
    for block in range(2, 5):
        client.send(ack(block - 1), peer)
        packet, sender = client.expect()
        assert (packet.opcode, packet.block, sender) == (DATA, block, peer)
        received += packet.payload
    client.send(ack(4), peer)
    assert received == content
    if single_port is None:
        manager.server.wait_closed((manager.server.address, peer[1]))

    # A new request still waits for continue.
    other = manager.server.endpoint()
    other.send(rrq("three.bin"), (manager.server.address, 69))
    other.expect_none(within=1.5)
    assert manager.resume().state == RUNNING
    packet, _ = other.expect()
    assert (packet.opcode, packet.block) == (DATA, 1)
    check_stop_sequence(manager.stop())
    assert wait_exit(manager) == 0


def test_stop_while_paused(service):
    manager = service()
    manager.start()
    assert manager.pause().state == PAUSED
    check_stop_sequence(manager.stop())
    assert wait_exit(manager) == 0
    assert events(manager.server) == [EVENT_SERVICE_STARTED, EVENT_SERVICE_STOPPED]


def test_stop_while_starting_waits_for_running(service):
    """A stop sent before the service accepts controls is handed over once it runs."""
    manager = service()
    manager.server.start(wait_ready=False)
    first = manager.next_report()
    assert first.short() == START[0]
    manager.control(signal.SIGTERM)
    reports = manager.reports_until(lambda report: report.state == STOPPED)
    assert [report.short() for report in reports[:2]] == START[1:]
    check_stop_sequence(reports[2:])
    assert wait_exit(manager) == 0


@pytest.mark.parametrize("delay", [0.0, 0.005, 0.05])
def test_stop_right_after_running(service, delay):
    """Running is reported once the port-69 sockets are bound; a stop at once ends the
    listener wherever it is."""
    manager = service()
    start = manager.start(wait_ready=False)
    assert [report.short() for report in start] == START
    assert manager.server.listener_addresses()
    time.sleep(delay)
    check_stop_sequence(manager.stop())
    assert wait_exit(manager) == 0
    assert events(manager.server)[-1:] == [EVENT_SERVICE_STOPPED]


def hold_port_69(manager):
    """Another program holds UDP port 69 of the server's address."""
    holder = manager.server.ns.socket()
    holder.bind((manager.server.address, 69))
    return holder


# A start that cannot serve is never reported running (so systemd's start of the notify
# unit fails instead of succeeding), ends the process with a failure, and names its event
# in the stopped report's exit codes.
@pytest.mark.parametrize(
    "prepare, options, expected_events",
    [
        (None, {"registry": False}, [EVENT_INIT_FAILED, EVENT_SERVICE_STOPPED]),
        (hold_port_69, {},
         [EVENT_SERVICE_STARTED, EVENT_SOCKET_ALLOCATE, EVENT_SERVICE_STOPPED]),
    ],
    ids=["settings missing", "port 69 held"],
)
def test_failed_start_is_reported_as_failed(service, prepare, options, expected_events):
    manager = service(**options)
    manager.server.expected_returncode = 1
    holder = prepare(manager) if prepare else None
    try:
        reports = manager.start()
    finally:
        if holder is not None:
            holder.close()
    assert [report.short() for report in reports[:2]] == START[:2]
    check_stop_sequence(reports[2:], from_handler=False, failure=expected_events[-2])
    assert not any("READY=1" in report.text for report in reports)
    assert f"service-specific 0x{expected_events[-2]:08X}" in reports[-1].fields["STATUS"]
    assert manager.failed
    assert events(manager.server) == expected_events


HIDDEN = f"quoril-hidden-{os.getpid()}"
# Starts that fail for a reason the events name: the settings changed (a value, or the whole
# line of the registry file) and the texts that follow the events' names in the events file.
# "{served}" is the served directory.
REASONS = {
    "number written as text": (
        {"Timeout": '"Timeout"="100"'},
        {"EVENT_INIT_FAILED": "Timeout: REG_SZ where REG_DWORD is needed"}),
    "text written as a number": (
        {"DefaultDirectory": '"DefaultDirectory"=dword:00000005'},
        {"EVENT_INIT_FAILED":
         "DefaultDirectory: REG_DWORD where REG_SZ or REG_EXPAND_SZ is needed"}),
    "type shown by name": (
        {"Timeout": '"Timeout"=hex(b):03,00,00,00,00,00,00,00'},
        {"EVENT_INIT_FAILED": "Timeout: REG_QWORD where REG_DWORD is needed"}),
    "rare type shown by number": (
        {"Timeout": '"Timeout"=hex(8):03,00,00,00'},
        {"EVENT_INIT_FAILED": "Timeout: type 8 where REG_DWORD is needed"}),
    "log file that cannot be opened": (
        {"EnableLogging": 1, "LogFile": "missing/quorld.log"},
        {name: "cannot open the log file {served}/missing/quorld.log: no such directory"
         for name in ("EVENT_LOG_FILE_ACCESS", "EVENT_INIT_FAILED")}),
    "directory under /tmp": (
        {"DefaultDirectory": f"/tmp/{HIDDEN}"},
        {"EVENT_INIT_FAILED": f"cannot serve the directory /tmp/{HIDDEN}: no such file; "
         "the unit's PrivateTmp=yes gives the service a /tmp of its own"}),
    "directory under /home": (
        {"DefaultDirectory": f"/home/{HIDDEN}"},
        {"EVENT_INIT_FAILED": f"cannot serve the directory /home/{HIDDEN}: no such file; "
         "the unit's ProtectHome=yes hides /home, /root and /run/user from the service"}),
}


@pytest.mark.parametrize("changes, reasons", REASONS.values(), ids=REASONS.keys())
def test_failed_start_names_its_reason(service, changes, reasons):
    manager = service()
    server = manager.server
    values = {"DefaultDirectory": str(server.served), "LogFile": "quorld.log",
              "EnableLogging": 0, "Timeout": 3, "MaxRetransmit": 5, "OverwriteExisting": 1,
              "LimitToDefaultDirectory": 0}
    values.update(changes)
    lines = [value for value in values.values() if isinstance(value, str) and value[0] == '"']
    values = {name: value for name, value in values.items() if value not in lines}
    server.registry = registry_text(values) + "".join(line + "\n" for line in lines)
    server.expected_returncode = 1
    reports = manager.start()
    assert manager.failed
    check_stop_sequence(reports[2:], from_handler=False, failure=EVENT_INIT_FAILED)
    text = server.events_path.read_text(errors="replace")
    for name, reason in reasons.items():
        line = next((line for line in text.splitlines() if f" {name} " in line), "")
        assert line.endswith(f" ({reason.format(served=server.served)})"), text


def test_unreachable_service_manager_ends_the_service_at_once(server_factory):
    """Every report is refused: the service stops without running its listener."""
    server = server_factory(start=False)
    server.args = []
    server.env["NOTIFY_SOCKET"] = str(server.base / "nobody-listens")
    server.start(wait_ready=False)
    assert server.wait_exit(30) == 0
    assert events(server) == []
    assert server.stdout == ""


def test_service_manager_gone_while_running_ends_the_service(service):
    """Once reports are refused, the stop handling runs from the refusal and the service
    ends in order: the bound on the refusals' repetition holds in service mode too."""
    manager = service()
    manager.start()
    manager.close()
    manager.control(signal.SIGUSR1)  # its report is refused
    assert wait_exit(manager) == 0
    assert events(manager.server) == [EVENT_SERVICE_STARTED, EVENT_SERVICE_STOPPED]


def test_whole_life(server_factory, tmp_path):
    """Install, serve a directory, transfer with a real client, pause, continue, stop and
    remove, in a scratch system root, as a user would; the service runs as the account that
    installation made for it, and can reach nothing that account cannot."""
    server = server_factory(start=False, registry=False)
    root = server.root
    copy_account_database(root)
    env = dict(server.env)
    install = subprocess.run([QUORLD, "-install"], env=env, capture_output=True, timeout=60)
    assert install.returncode == 0, install
    unit = root / "etc/systemd/system/quoril.service"
    assert f"ExecStart={QUORLD.resolve()}\nUser=quoril\n" in unit.read_text()
    assert account_names(root) >= ({"quoril"}, {"quoril"})

    # The administrator serves a directory of the service's own and switches logging on.
    registry = read_registry(server.registry_path)
    registry[PARAMETERS_KEY]["DefaultDirectory"] = text_value(str(server.served))
    registry[PARAMETERS_KEY]["EnableLogging"] = dword_value(1)
    write_registry(server.registry_path, registry)
    content = payload(5000, seed=61)
    (server.served / "boot.img").write_bytes(content)

    manager = ServiceManager(server)
    uid, gid = manager.account
    server.base.chmod(0o755)
    os.chown(server.served, uid, gid)
    try:
        assert [report.short() for report in manager.start()] == START
        status = Path(f"/proc/{manager.pid}/status").read_text()
        assert re.search(rf"^Uid:\s+{uid}\s+{uid}\s+{uid}\s+{uid}$", status, re.M), status
        assert re.search(r"^CapEff:\s+0*400$", status, re.M), status  # CAP_NET_BIND_SERVICE
        fetched = server.run(["tftp", "-m", "binary", server.address, "-c", "get", "boot.img",
                              str(server.work / "boot.img")])
        assert fetched.returncode == 0, fetched
        assert (server.work / "boot.img").read_bytes() == content

        # LimitToDefaultDirectory is 0, as installed: the account's rights are the bound.
        with pytest.raises(TftpError) as refused:
            server.get("/etc/shadow")
        assert refused.value.code == 2  # Access violation
        for name in ("/etc/cron.d/x", f"/etc/quoril-{os.getpid()}"):
            with pytest.raises(TftpError):
                server.put(name, b"* * * * * root sh\n")
            assert not Path(name).exists()
        server.put("uploaded.img", content)
        stored = server.served / "uploaded.img"
        assert stored.read_bytes() == content and stored.stat().st_uid == uid

        assert manager.pause().state == PAUSED
        assert manager.resume().state == RUNNING
        fetched = server.run(["tftp", "-m", "binary", server.address, "-c", "get", "boot.img",
                              str(server.work / "again.img")])
        assert fetched.returncode == 0, fetched
        check_stop_sequence(manager.stop())
        assert server.wait_exit(30) == 0
    finally:
        manager.close()

    remove = subprocess.run([QUORLD, "-remove"], env=env, capture_output=True, timeout=60)
    assert remove.returncode == 0, remove
    assert not unit.exists()
    assert "quoril" not in account_names(root)[0]
    registry = read_registry(server.registry_path)
    assert EVENT_SOURCE_KEY not in registry
    assert registry[PARAMETERS_KEY]["EnableLogging"] == dword_value(1)

    assert events(server) == [EVENT_SERVICE_STARTED, EVENT_SERVICE_STOPPED]
    log = (server.served / "quorld.log").read_bytes()
    assert log.count(b"boot.img") == 2, log
    assert log.count(b"--- Quoril service started ---") == 1
    assert log.endswith(b"   --- Quoril service stopped ---\r\n")
