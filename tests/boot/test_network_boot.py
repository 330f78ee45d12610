"""Real network boots from quorld (run by scripts/boot-test.sh, which provides the packages).

Each boot is a QEMU machine (TCG) on a tap interface of the server's network namespace, where
dnsmasq hands out an address and the boot file's name (DHCP only: port=0, no TFTP) and quorld,
with the package's settings (NegotiateOptions 1, LimitToDefaultDirectory 1, RootRelativeNames
1), serves everything else. The machine loads Debian's kernel and an initrd whose init prints
the SHA-256 of a random payload packed into it: the right checksum on the serial console shows
that the loader, the kernel and every byte of the initrd arrived. Without NegotiateOptions
OVMF's PXE client gives up after its first request; without RootRelativeNames GRUB finds none
of its modules ("/boot/grub/...").
"""

from __future__ import annotations

import gzip
import hashlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "integration"))
from conftest import QuorilServer, payload  # noqa: E402

KERNEL = os.environ.get("QUORIL_BOOT_KERNEL", "")
BUSYBOX = os.environ.get("QUORIL_BOOT_BUSYBOX", "")
# The machines' network, inside the namespace alone: it has no way out.
SERVER_ADDRESS = "10.77.0.1"
PAYLOAD = payload(1 << 20, seed=25)
MARKER = "QUORIL-BOOT-PAYLOAD"
BOOT_TIMEOUT = 150  # seconds; a boot under TCG takes 20 to 40

INIT = """#!/bin/busybox sh
/bin/busybox mkdir -p /proc
/bin/busybox mount -t proc proc /proc
echo "{marker} $(/bin/busybox sha256sum /payload.bin)"
/bin/busybox poweroff -f
"""
KERNEL_ARGUMENTS = "console=ttyS0 panic=-1 quiet"
PXELINUX_CONFIG = f"""DEFAULT linux
PROMPT 0
TIMEOUT 0
LABEL linux
  KERNEL vmlinuz
  INITRD initrd.img
  APPEND {KERNEL_ARGUMENTS}
"""
GRUB_CONFIG = f"""set timeout=0
linux /vmlinuz {KERNEL_ARGUMENTS}
initrd /initrd.img
boot
"""

pytestmark = pytest.mark.skipif(
    not (KERNEL and BUSYBOX and shutil.which("qemu-system-x86_64")),
    reason="run by scripts/boot-test.sh, which provides QEMU, the kernel and busybox")


def cpio_newc(entries) -> bytes:
    """An initramfs archive of (name, mode, data) in the kernel's "newc" format."""
    out = bytearray()
    for number, (name, mode, data) in enumerate([*entries, ("TRAILER!!!", 0, b"")]):
        encoded = name.encode() + b"\0"
        fields = [number + 1, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0]
        out += b"070701" + b"".join(b"%08X" % value for value in fields) + encoded
        out += b"\0" * (-len(out) % 4) + data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


def build_tree(served: Path) -> None:
    """The package's served directory as an administrator sets it up for these loaders."""
    shutil.copy(KERNEL, served / "vmlinuz")
    initrd = cpio_newc([
        ("bin", 0o040755, b""),
        ("bin/busybox", 0o100755, Path(BUSYBOX).read_bytes()),
        ("init", 0o100755, INIT.format(marker=MARKER).encode()),
        ("payload.bin", 0o100644, PAYLOAD),
    ])
    (served / "initrd.img").write_bytes(gzip.compress(initrd, compresslevel=1))
    shutil.copy("/usr/lib/PXELINUX/pxelinux.0", served)
    shutil.copy("/usr/lib/syslinux/modules/bios/ldlinux.c32", served)
    shutil.copy("/usr/lib/SYSLINUX.EFI/efi64/syslinux.efi", served)
    shutil.copy("/usr/lib/syslinux/modules/efi64/ldlinux.e64", served)
    (served / "pxelinux.cfg").mkdir()
    (served / "pxelinux.cfg/default").write_text(PXELINUX_CONFIG)
    subprocess.run(["grub-mknetdir", f"--net-directory={served}", "--subdir=boot/grub",
                    "-d", "/usr/lib/grub/x86_64-efi"], check=True, capture_output=True)
    (served / "boot/grub/grub.cfg").write_text(GRUB_CONFIG)


class Boot:
    """quorld, dnsmasq and one QEMU machine in the server's network namespace."""

    def __init__(self, tmp: Path, firmware: str, boot_file: str, **settings):
        self.server = QuorilServer(logging=1, limit=1, **settings)
        self.processes = []
        try:
            ns = self.server.ns
            for step in (["ip", "tuntap", "add", "tap0", "mode", "tap"],
                         ["ip", "addr", "add", f"{SERVER_ADDRESS}/24", "dev", "tap0"],
                         ["ip", "link", "set", "tap0", "up"]):
                assert ns.run(step).returncode == 0, step
            build_tree(self.server.served)
            self.server.start()
            self._wait_listening()
            self.serial = tmp / "serial.log"
            self._start(["dnsmasq", "--keep-in-foreground", "--port=0", "--conf-file=/dev/null",
                         "--interface=tap0", "--bind-interfaces", "--user=root",
                         "--dhcp-range=10.77.0.100,10.77.0.150,255.255.255.0,1h",
                         f"--dhcp-boot={boot_file},,{SERVER_ADDRESS}",
                         f"--dhcp-leasefile={tmp}/leases", f"--pid-file={tmp}/dnsmasq.pid",
                         "--log-facility=-"], tmp / "dnsmasq.log")
            self._start(self._machine(tmp, firmware), tmp / "qemu.log")
        except BaseException:
            self.close()
            raise

    def _wait_listening(self) -> None:
        deadline = time.monotonic() + 10
        while SERVER_ADDRESS not in self.server.listener_addresses():
            assert time.monotonic() < deadline, self.server.output()
            time.sleep(0.05)

    def _machine(self, tmp: Path, firmware: str) -> list[str]:
        command = ["qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-smp", "1",
                   "-display", "none", "-monitor", "none", "-no-reboot",
                   "-serial", f"file:{self.serial}",
                   "-netdev", "tap,id=net0,ifname=tap0,script=no,downscript=no"]
        if firmware == "bios":
            # SeaBIOS runs the NIC's iPXE ROM, which loads PXELINUX.
            return command + ["-device", "e1000,netdev=net0,bootindex=1"]
        variables = tmp / "OVMF_VARS.fd"
        shutil.copy("/usr/share/OVMF/OVMF_VARS_4M.fd", variables)
        # No option ROM: the firmware's own PXE client loads the boot file.
        return command + [
            "-drive", "if=pflash,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd",
            "-drive", f"if=pflash,format=raw,file={variables}",
            "-device", "virtio-net-pci,netdev=net0,romfile=,bootindex=1"]

    def _start(self, argv, log: Path) -> None:
        with open(log, "wb") as output:
            self.processes.append(subprocess.Popen(
                self.server.ns.command(argv), stdin=subprocess.DEVNULL, stdout=output,
                stderr=subprocess.STDOUT, start_new_session=True))

    def console(self) -> str:
        return self.serial.read_bytes().decode("latin-1") if self.serial.exists() else ""

    def transfers(self) -> str:
        path = self.server.log_path
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    def wait_for(self, done, timeout: float = BOOT_TIMEOUT) -> bool:
        """Waits until `done(self)` or the machine ends; answers `done(self)`."""
        deadline = time.monotonic() + timeout
        while not done(self) and time.monotonic() < deadline:
            if self.processes[-1].poll() is not None:
                break
            time.sleep(0.25)
        return done(self)

    def report(self) -> str:
        return (f"--- serial ---\n{self.console()[-3000:]}\n--- transfers ---\n"
                f"{self.transfers()[-4000:]}")

    def __enter__(self) -> "Boot":
        return self

    def __exit__(self, *_) -> None:
        self.close()

    def close(self) -> None:
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            process.wait()
        self.server.close()


def booted(boot: Boot) -> bool:
    return f"{MARKER} {hashlib.sha256(PAYLOAD).hexdigest()}" in boot.console()


# (id, firmware, DHCP boot file, settings beyond the package's)
BOOTS = [
    ("BIOS iPXE PXELINUX", "bios", "pxelinux.0", {"event_loops": None}),
    ("UEFI syslinux.efi", "uefi", "syslinux.efi", {"event_loops": 2}),
    ("UEFI GRUB", "uefi", "boot/grub/x86_64-efi/core.efi", {"event_loops": None}),
]


@pytest.mark.parametrize("firmware, boot_file, settings", [row[1:] for row in BOOTS],
                         ids=[row[0] for row in BOOTS])
def test_network_boot(tmp_path, firmware, boot_file, settings):
    started = time.monotonic()
    with Boot(tmp_path, firmware, boot_file, negotiate=1, root_relative=1, **settings) as boot:
        assert boot.wait_for(booted), boot.report()
        print(f"booted in {time.monotonic() - started:.1f} s")


def test_uefi_firmware_gives_up_without_option_negotiation(tmp_path):
    # The firmware asks for tsize first; an answer without it reads as an empty file.
    with Boot(tmp_path, "uefi", "syslinux.efi", root_relative=1) as boot:
        asked = boot.wait_for(lambda b: "syslinux.efi" in b.transfers(), timeout=90)
        assert asked, boot.report()
        time.sleep(10)  # a firmware that went on would ask for ldlinux.e64 within this time
        assert "ldlinux.e64" not in boot.transfers() and not booted(boot), boot.report()


def test_grub_finds_nothing_without_root_relative_names(tmp_path):
    with Boot(tmp_path, "uefi", "boot/grub/x86_64-efi/core.efi", negotiate=1) as boot:
        denied = boot.wait_for(lambda b: "grub rescue>" in b.console(), timeout=90)
        assert denied, boot.report()
        assert "vmlinuz" not in boot.transfers(), boot.report()
        assert "Access denied" in boot.transfers() and "/boot/grub/" in boot.transfers()
