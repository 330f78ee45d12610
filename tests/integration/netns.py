"""Private network namespaces for the integration tests.

A ``NetNamespace`` is held open by a small holder process (``unshare -n`` running ``sleep``)
that brings the loopback interface up, optionally adds further loopback addresses
(127.0.0.2, ...), and then sleeps until it is killed. Everything that runs "inside" uses the
holder's ``/proc/<pid>/ns/net``:

- commands: ``ns.command(argv)`` prefixes ``nsenter --net=...``; ``ns.run(argv)`` runs one.
- sockets of the test process: ``ns.socket()`` creates the socket inside the namespace by
  switching the calling thread in with setns(2) and back at once; a socket stays in the
  namespace it was created in, whichever thread uses it later.
- ``udp_sockets(pid)`` reads the UDP socket table that process ``pid`` sees.

Nothing outside the namespace is touched, so tests may bind port 69 and run side by side.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import signal
import socket
import struct
import subprocess

CLONE_NEWNET = 0x40000000

_libc = ctypes.CDLL(None, use_errno=True)


def _setns(fd: int) -> None:
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        number = ctypes.get_errno()
        raise OSError(number, f"setns: {os.strerror(number)}")


def _hex_address(text: str) -> tuple[str, int]:
    """'0100007F:0045' of /proc/net/udp -> ('127.0.0.1', 69)."""
    address, port = text.split(":")
    return socket.inet_ntoa(struct.pack("<I", int(address, 16))), int(port, 16)


def _hex_address6(text: str) -> tuple[str, int]:
    """'00000000000000000000000001000000:0045' of /proc/net/udp6 -> ('::1', 69)."""
    address, port = text.split(":")
    raw = b"".join(struct.pack("<I", int(address[i : i + 8], 16)) for i in range(0, 32, 8))
    return socket.inet_ntop(socket.AF_INET6, raw), int(port, 16)


def udp_sockets(pid: int, protocol: str = "udp") -> list[dict]:
    """The UDP sockets (IPv4, then IPv6) of the network namespace that process `pid` is in,
    each as {'local': (address, port), 'remote': (address, port), 'inode': int}; an IPv6
    address without its scope. `protocol` "tcp" reads the TCP sockets instead."""
    rows = []
    for name, parse in ((protocol, _hex_address), (protocol + "6", _hex_address6)):
        try:
            table = open(f"/proc/{pid}/net/{name}")
        except FileNotFoundError:
            continue  # a kernel without IPv6
        with table:
            next(table)
            for line in table:
                fields = line.split()
                rows.append(
                    {
                        "local": parse(fields[1]),
                        "remote": parse(fields[2]),
                        "inode": int(fields[9]),
                    }
                )
    return rows


def socket_inodes(pid: int) -> set[int]:
    """Inodes of the sockets that process `pid` holds open."""
    inodes = set()
    fd_dir = f"/proc/{pid}/fd"
    for entry in os.listdir(fd_dir):
        try:
            target = os.readlink(os.path.join(fd_dir, entry))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(int(target[8:-1]))
    return inodes


class NetNamespace:
    """A network namespace with loopback up (::1 included) and `extra_addresses` added to lo.
    With `ipv6=("fd00::1", "fe80::1", ...)` it also has a veth pair, veth0 and veth1, both
    up, with those addresses (/64, without duplicate address detection) on veth0.

    With `tmpfs=(path, size)` the holder also gets a private mount namespace in which a tmpfs
    of `size` bytes is mounted on `path` (an existing directory); commands given `cwd` then
    run in that mount namespace too, and the test process reaches the tmpfs through
    ``outside(path)``.
    """

    def __init__(self, extra_addresses=(), tmpfs=None, ipv6=()):
        self.addresses = ["127.0.0.1", *extra_addresses]
        self.mounts = tmpfs is not None
        script = "set -e; ip link set lo up; "
        script += "".join(f"ip addr add {address}/8 dev lo; " for address in extra_addresses)
        if ipv6:
            script += ("ip link add veth0 type veth peer name veth1; ip link set veth0 up; "
                       "ip link set veth1 up; ")
            script += "".join(f"ip -6 addr add {address}/64 dev veth0 nodad; " for address in ipv6)
        if tmpfs is not None:
            script += f"mount -t tmpfs -o size={int(tmpfs[1])} quoril-test '{tmpfs[0]}'; "
        script += "echo ready; exec sleep infinity"
        self.holder = subprocess.Popen(
            ["unshare", "-n", *(["-m"] if self.mounts else []), "sh", "-c", script],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            start_new_session=True,
        )
        self._fd = -1
        line = self.holder.stdout.readline()
        if line != b"ready\n":
            self.holder.kill()
            _, err = self.holder.communicate()
            raise RuntimeError(f"network namespace not set up: {err.decode(errors='replace')}")
        self.path = f"/proc/{self.holder.pid}/ns/net"
        # Our own reference keeps the namespace alive even if the holder dies.
        self._fd = os.open(self.path, os.O_RDONLY)

    @contextlib.contextmanager
    def entered(self):
        """Runs the body with the calling thread inside the namespace."""
        original = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        try:
            _setns(self._fd)
            try:
                yield
            finally:
                _setns(original)
        finally:
            os.close(original)

    def socket(self, family=socket.AF_INET, kind=socket.SOCK_DGRAM) -> socket.socket:
        with self.entered():
            return socket.socket(family, kind)

    def command(self, argv, cwd=None) -> list[str]:
        """`argv` run inside the namespace; with a private mount namespace and `cwd`, inside
        that too, in `cwd` as the namespace sees it."""
        prefix = ["nsenter", f"--net={self.path}"]
        if self.mounts and cwd is not None:
            prefix += [f"--mount=/proc/{self.holder.pid}/ns/mnt", f"--wd={cwd}"]
        return prefix + [str(arg) for arg in argv]

    def outside(self, path) -> str:
        """Where the test process finds `path` of the namespace's mounts."""
        return f"/proc/{self.holder.pid}/root{path}" if self.mounts else str(path)

    def run(self, argv, timeout: float = 120, **kwargs) -> subprocess.CompletedProcess:
        """Runs `argv` inside the namespace; output captured, never raises on exit status."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("capture_output", True)
        return subprocess.run(self.command(argv), timeout=timeout, **kwargs)

    def udp_sockets(self) -> list[dict]:
        return udp_sockets(self.holder.pid)

    def close(self) -> None:
        if self.holder.poll() is None:
            os.kill(self.holder.pid, signal.SIGKILL)
        self.holder.wait()
        for stream in (self.holder.stdout, self.holder.stderr):
            stream.close()
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
