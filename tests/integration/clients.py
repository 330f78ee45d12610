"""Real TFTP clients run against the server under test, inside its network namespace.

``fetch(server, client, name, local)`` and ``store(server, client, local, name)`` run one
transfer with one of ``CLIENTS`` and answer the CompletedProcess; local paths are relative to
``server.work`` unless absolute. Modes are "octet" or "netascii" (busybox knows octet only).
"""

from __future__ import annotations

CLIENTS = ("tftp-hpa", "curl", "busybox")

_HPA_MODES = {"octet": "binary", "netascii": "ascii"}


def _url(server, name: str, mode: str) -> str:
    url = f"tftp://{server.address}/{name}"
    return url + ";mode=netascii" if mode == "netascii" else url


def fetch_argv(server, client: str, name: str, local, mode: str = "octet") -> list[str]:
    if client == "tftp-hpa":
        return ["tftp", "-m", _HPA_MODES[mode], server.address, "-c", "get", name, str(local)]
    if client == "curl":
        return ["curl", "-sS", "--max-time", "600", "-o", str(local), _url(server, name, mode)]
    if client == "busybox":
        assert mode == "octet", "busybox tftp transfers octet only"
        return ["busybox", "tftp", "-g", "-r", name, "-l", str(local), server.address]
    raise ValueError(client)


def store_argv(server, client: str, local, name: str, mode: str = "octet") -> list[str]:
    if client == "tftp-hpa":
        return ["tftp", "-m", _HPA_MODES[mode], server.address, "-c", "put", str(local), name]
    if client == "curl":
        return ["curl", "-sS", "--max-time", "600", "-T", str(local), _url(server, name, mode)]
    if client == "busybox":
        assert mode == "octet", "busybox tftp transfers octet only"
        return ["busybox", "tftp", "-p", "-l", str(local), "-r", name, server.address]
    raise ValueError(client)


def fetch(server, client: str, name: str, local, mode: str = "octet", timeout: float = 600):
    return server.run(fetch_argv(server, client, name, local, mode), timeout=timeout)


def store(server, client: str, local, name: str, mode: str = "octet", timeout: float = 600):
    return server.run(store_argv(server, client, local, name, mode), timeout=timeout)
