"""Names as boot loaders send them, through the running server: names from the root of the
served tree (RootRelativeNames), rewrite rules (RewriteRules) and each client's own directory
(ClientDirectories), with the package's confinement on. Without the values, the names keep
the meaning they always had."""

from __future__ import annotations

import re
import time

import pytest

from conftest import payload
from tftp_wire import TftpError, TftpTimeout

# A served tree as a boot server holds it (file -> seed of its content); the UEFI loader's
# directory in upper case, as the EFI system partition has it.
LAYOUT = {
    "pxelinux.0": 1,
    "ldlinux.c32": 2,
    "pxelinux.cfg/default": 3,
    "pxelinux.cfg/01-52-54-00-12-34-56": 4,
    "pxelinux.cfg/C0A80164": 5,
    "boot/grub/grub.cfg": 6,
    "boot/grub/x86_64-efi/normal.mod": 7,
    "EFI/BOOT/BOOTX64.EFI": 8,
    "undionly.kpxe": 9,
    "boot.ipxe": 10,
    "zImage": 11,
    "boot.scr.uimg": 12,
    "vmlinuz": 13,
    "tftpboot.txt": 14,
}
DENIED, NOT_FOUND, NO_PATH = 2, 1, 0  # ERROR codes; a missing directory is code 0


def content(name: str) -> bytes:
    return payload(700 + LAYOUT[name], LAYOUT[name])


def build_tree(server) -> None:
    for name in LAYOUT:
        path = server.file(name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content(name))
    (server.base / "outside").mkdir()
    (server.base / "outside/secret.bin").write_bytes(b"secret")
    server.file("link-out").symlink_to(server.base / "outside/secret.bin")


def fetch(server, name, address=None, mode="octet", options=()):
    """The bytes read, or the ERROR code, or None for no answer."""
    try:
        return server.client(address, timeout=1.0, retries=1).get(name, mode, options)
    except TftpError as failure:
        return failure.code
    except TftpTimeout:
        return None


def mismatches(server, rows, **client) -> list[str]:
    """Each row's name fetched, against the file (or ERROR code) it must meet."""
    failures = []
    for row_id, name, expected in rows:
        name = name.replace("{S}", str(server.directory))
        want = content(expected) if isinstance(expected, str) else expected
        got = fetch(server, name, **client)
        if got != want:
            shown = got if not isinstance(got, bytes) else f"{len(got)} other bytes"
            failures.append(f"{row_id} ({name}): expected {expected}, got {shown}")
    return failures


# (id, name as the loader sends it, what RootRelativeNames 1 serves, what its absence does)
BOOT_NAMES = [
    ("GRUB config", "/boot/grub/grub.cfg", "boot/grub/grub.cfg", DENIED),
    ("GRUB module", "/boot/grub/x86_64-efi/normal.mod", "boot/grub/x86_64-efi/normal.mod", DENIED),
    ("GRUB doubled", "//boot/grub//grub.cfg", "boot/grub/grub.cfg", DENIED),
    ("DHCP filename", "/pxelinux.0", "pxelinux.0", DENIED),
    ("PXELINUX module", "ldlinux.c32", "ldlinux.c32", "ldlinux.c32"),
    ("PXELINUX by MAC", "pxelinux.cfg/01-52-54-00-12-34-56", "pxelinux.cfg/01-52-54-00-12-34-56",
     "pxelinux.cfg/01-52-54-00-12-34-56"),
    ("PXELINUX missing", "/pxelinux.cfg/01-52-54-00-99-99-99", NOT_FOUND, DENIED),
    ("U-Boot hex address", "pxelinux.cfg/C0A80164", "pxelinux.cfg/C0A80164",
     "pxelinux.cfg/C0A80164"),
    ("U-Boot kernel", "/zImage", "zImage", DENIED),
    ("U-Boot script", "boot.scr.uimg", "boot.scr.uimg", "boot.scr.uimg"),
    ("iPXE", "undionly.kpxe", "undionly.kpxe", "undionly.kpxe"),
    ("iPXE script", "/boot.ipxe", "boot.ipxe", DENIED),
    ("UEFI upper case", "/EFI/BOOT/BOOTX64.EFI", "EFI/BOOT/BOOTX64.EFI", DENIED),
    ("UEFI backslashes", "\\EFI\\BOOT\\BOOTX64.EFI", "EFI/BOOT/BOOTX64.EFI", DENIED),
    ("Windows loader", "\\pxelinux.0", "pxelinux.0", DENIED),
    ("absolute inside", "{S}/vmlinuz", "vmlinuz", "vmlinuz"),
    ("escape above the root", "/../outside/secret.bin", DENIED, DENIED),
    ("escape by backslashes", "\\..\\..\\outside\\secret.bin", DENIED, DENIED),
    ("escape by a link", "/link-out", DENIED, DENIED),
    ("system file", "/etc/passwd", NO_PATH, DENIED),
]


@pytest.mark.parametrize("root_relative", [1, None], ids=["RootRelativeNames 1", "absent"])
def test_boot_loader_names(server_factory, root_relative):
    server = server_factory(limit=1, negotiate=1, root_relative=root_relative, logging=1)
    build_tree(server)
    column = 2 if root_relative else 3
    failures = mismatches(server, [(row[0], row[1], row[column]) for row in BOOT_NAMES])
    assert not failures, "\n".join(failures)
    if root_relative:
        # The log shows the file served and, as it differs, the name as asked.
        log = server.log_path.read_bytes().decode("latin-1")
        assert f"{server.directory}/boot/grub/grub.cfg (asked /boot/grub/grub.cfg)\r\n" in log
        assert f"{server.directory}/vmlinuz\r\n" in log


def test_root_relative_names_keep_their_meaning_without_confinement(server_factory):
    server = server_factory(limit=0, root_relative=1)
    build_tree(server)
    assert fetch(server, "/pxelinux.0") == NOT_FOUND  # the system's root, as without the setting
    assert fetch(server, str(server.base / "outside/secret.bin")) == b"secret"


# tftpd-hpa's map-file recipes as rules, in order: (id, name, from address, file or ERROR)
RULES = [
    r"rg \\ /",  # DOS separators first, so that the rules below see slashes
    r"re ^/tftpboot/",  # the old root's name dropped
    r"re ^pxelinux\.cfg/01-52-54-00-12-34-56$ \0",  # a machine with a file of its own keeps it
    r"ri ^pxelinux\.cfg/01-.* pxelinux.cfg/default",  # every other machine the default
    r"rG ^client/ %a/",  # a directory per client address, for reads
    r"r ^escape$ ../outside/secret.bin",
    r"r ^(a+)+$ vmlinuz",  # backtracking without end, but for the budget of each match
]
RULE_NAMES = [
    ("backslashes and root", "\\tftpboot\\pxelinux.0", None, "pxelinux.0"),
    ("old root", "/tftpboot/boot/grub/grub.cfg", None, "boot/grub/grub.cfg"),
    ("machine's own config", "pxelinux.cfg/01-52-54-00-12-34-56", None,
     "pxelinux.cfg/01-52-54-00-12-34-56"),
    ("other machine", "pxelinux.cfg/01-52-54-00-AB-CD-EF", None, "pxelinux.cfg/default"),
    ("per client address", "client/zImage", "127.0.0.2", "127.0.0.2/zImage"),
    ("other client address", "client/zImage", None, NO_PATH),
    ("rule leading outside", "escape", None, DENIED),
    ("catastrophic pattern", "a" * 40 + "!", None, DENIED),
    ("no rule", "undionly.kpxe", None, "undionly.kpxe"),
]


def test_rewrite_rules(server_factory):
    server = server_factory(limit=1, root_relative=1, rewrite_rules=RULES, logging=1,
                            addresses=("127.0.0.2",))
    LAYOUT["127.0.0.2/zImage"] = 15
    try:
        build_tree(server)
        failures = []
        for row_id, name, address, expected in RULE_NAMES:
            failures += mismatches(server, [(row_id, name, expected)], address=address)
        assert not failures, "\n".join(failures)
    finally:
        del LAYOUT["127.0.0.2/zImage"]
    log = server.log_path.read_bytes().decode("latin-1")
    assert f"{server.directory}/pxelinux.cfg/default (asked pxelinux.cfg/01-52-54-00-ab-cd-ef)" \
        not in log  # the name as asked keeps its case
    assert f"{server.directory}/pxelinux.cfg/default (asked pxelinux.cfg/01-52-54-00-AB-CD-EF)" \
        in log


def test_a_rule_that_does_not_compile_stops_the_start(server_factory):
    server = server_factory(rewrite_rules=["r ^ok$ fine", "r (unclosed"], wait_ready=False)
    server.expected_returncode = None
    server.wait_exit(timeout=30)
    events = server.events_path.read_text(encoding="latin-1")
    assert "0xC0000003" in events, events
    assert 'the rule "r (unclosed": at character 10 of the pattern: missing closing' in events


def test_client_directories(server_factory):
    # veth0 holds a neighbour entry for 127.0.0.3, as ARP would leave it for a machine.
    server = server_factory(limit=1, root_relative=1, negotiate=1, client_directories=3,
                            addresses=("127.0.0.2", "127.0.0.3"), ipv6=("fd00::1",),
                            enable_ipv6=1, start=False)
    assert server.ns.run(["ip", "neigh", "add", "127.0.0.3", "lladdr", "52:54:00:12:34:56",
                          "dev", "veth0", "nud", "permanent"]).returncode == 0
    server.start()
    own = {"127.0.0.2": payload(3000, 2), "01-52-54-00-12-34-56": payload(5000, 3)}
    server.file("boot.cfg").write_bytes(payload(1000, 1))
    for directory, data in own.items():
        server.file(directory).mkdir()
        server.file(f"{directory}/boot.cfg").write_bytes(data)
    expected = {"127.0.0.1": payload(1000, 1), "127.0.0.2": own["127.0.0.2"],
                "127.0.0.3": own["01-52-54-00-12-34-56"]}

    # Reads at once from three addresses, each its own file, tsize its size.
    clients = {address: server.client(address, timeout=2.0) for address in expected}
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(len(clients)) as pool:
        got = dict(zip(clients, pool.map(
            lambda c: c.get("/boot.cfg", options={"tsize": "0"}), clients.values())))
    assert got == expected
    for address, client in clients.items():
        assert int(client.oack["tsize"]) == len(expected[address])

    # Over IPv6, in netascii, the name in another case: the address's directory all the same.
    server.file("::1").mkdir()
    server.file("::1/boot.cfg").write_bytes(b"six " * 300)
    assert server.get("/BOOT.CFG", mode="netascii", address="::1") == b"six " * 300

    # A write goes to the client's own directory when there is one.
    server.put("new.bin", b"two", address="127.0.0.2")
    server.put("new.bin", b"one", address="127.0.0.1")
    assert server.file("127.0.0.2/new.bin").read_bytes() == b"two"
    assert server.file("new.bin").read_bytes() == b"one"
