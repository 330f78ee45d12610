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
    assert fetch(server, "/pxelinux.0") == NOT_FOUND  # the system's root, as specified
    assert fetch(server, str(server.base / "outside/secret.bin")) == b"secret"
