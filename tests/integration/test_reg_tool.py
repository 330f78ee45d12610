"""quoril-reg, the settings command: reg's requests against a registry file in a scratch
system root, byte for byte as reg prints them; and a setting made with it, seen on the wire."""

import os
import subprocess
from pathlib import Path

import pytest

from conftest import REPO
from service_manager import (PARAMETERS_KEY, REG_BINARY, REG_DWORD, REG_EXPAND_SZ, REG_SZ,
                             read_registry)
from tftp_wire import DATA, rrq

QUORIL_REG = Path(os.environ.get("QUORIL_REG", REPO / "build" / "quoril-reg"))
KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Quoril\Parameters"

REGISTRY = (
    "REGEDIT4\n\n"
    f"[{PARAMETERS_KEY}]\n"
    '"Timeout"=dword:00000003\n'
    '"LogFile"=hex(2):71,75,6f,72,6c,64,2e,6c,6f,67,00\n\n'
    f"[{PARAMETERS_KEY}\\Sub]\n"
)
TIMEOUT = ("Timeout", (REG_DWORD, (3).to_bytes(4, "little")))
LOG_FILE = ("LogFile", (REG_EXPAND_SZ, b"quorld.log\0"))
NOT_FOUND = b"ERROR: The system was unable to find the specified registry key or value.\r\n"
DONE = b"The operation completed successfully.\r\n"
UNCHANGED = "unchanged"

# (id, registry text, arguments, standard input, exit status, standard output, words of the
# error output, the Parameters key afterwards ({name: (type, bytes)}, None when gone) or
# UNCHANGED)
CASES = [
    ("query-value", REGISTRY, ["query", KEY, "/v", "Timeout"], "", 0,
     b"\r\nHKEY_LOCAL_MACHINE" + KEY[4:].encode() + b"\r\n    Timeout    REG_DWORD    0x3\r\n\r\n",
     "", UNCHANGED),
    # The root by its long name, the rest as typed, the subkey as stored.
    ("query-key", REGISTRY, ["query", "hkey_local_machine" + KEY[4:].lower()], "", 0,
     b"\r\nHKEY_LOCAL_MACHINE" + KEY[4:].lower().encode() + b"\r\n"
     b"    Timeout    REG_DWORD    0x3\r\n    LogFile    REG_EXPAND_SZ    quorld.log\r\n\r\n"
     b"HKEY_LOCAL_MACHINE" + KEY[4:].lower().encode() + b"\\Sub\r\n",
     "", UNCHANGED),
    ("query-missing-value", REGISTRY, ["query", KEY, "/v", "Nothing"], "", 1, b"",
     NOT_FOUND.decode().strip(), UNCHANGED),
    ("query-missing-key", REGISTRY, ["query", KEY + r"\Nothing"], "", 1, b"",
     NOT_FOUND.decode().strip(), UNCHANGED),
    ("add-dword", REGISTRY, ["add", KEY, "/v", "Timeout", "/t", "REG_DWORD", "/d", "5", "/f"],
     "", 0, DONE, "", dict([("Timeout", (REG_DWORD, (5).to_bytes(4, "little"))), LOG_FILE])),
    ("add-dword-hex-new-key", None,
     ["ADD", KEY, "/V", "MaxRetransmit", "/T", "reg_dword", "/D", "0x1F", "/F"], "", 0, DONE,
     "", {"MaxRetransmit": (REG_DWORD, (31).to_bytes(4, "little"))}),
    ("add-text-types", REGISTRY,
     ["add", KEY.lower(), "/v", "DefaultDirectory", "/t", "REG_EXPAND_SZ", "/d", "/srv/tftp"],
     "", 0, DONE, "", dict([TIMEOUT, LOG_FILE, ("DefaultDirectory", (REG_EXPAND_SZ, b"/srv/tftp\0"))])),
    ("add-binary", REGISTRY, ["add", KEY, "/v", "Blob", "/t", "REG_BINARY", "/d", "00ff10"],
     "", 0, DONE, "", dict([TIMEOUT, LOG_FILE, ("Blob", (REG_BINARY, b"\x00\xff\x10"))])),
    # As reg add: \0 separates the texts, each stored terminated, and one more terminator.
    ("add-multi-string", REGISTRY,
     ["add", KEY, "/v", "RewriteRules", "/t", "REG_MULTI_SZ", "/d", r"re ^/tftpboot/\0ri ^A a",
      "/f"], "", 0, DONE, "",
     dict([TIMEOUT, LOG_FILE, ("RewriteRules", (7, b"re ^/tftpboot/\0ri ^A a\0\0"))])),
    ("query-multi-string",
     REGISTRY.replace("00000003\n", '00000003\n"Rules"=hex(7):61,00,62,20,63,00,00\n'),
     ["query", KEY, "/v", "Rules"], "", 0,
     b"\r\nHKEY_LOCAL_MACHINE" + KEY[4:].encode() + b"\r\n    Rules    REG_MULTI_SZ    a\\0b c"
     b"\r\n\r\n", "", UNCHANGED),
    ("add-asks-before-overwriting", REGISTRY,
     ["add", KEY, "/v", "Timeout", "/t", "REG_DWORD", "/d", "9"], "no\n", 0,
     b"Value Timeout exists, overwrite(Yes/No)? The operation was canceled by the user.\r\n",
     "", UNCHANGED),
    ("add-overwrites-on-yes", REGISTRY, ["add", KEY, "/v", "Timeout", "/d", "text"], "y\n", 0,
     b"Value Timeout exists, overwrite(Yes/No)? " + DONE, "",
     dict([("Timeout", (REG_SZ, b"text\0")), LOG_FILE])),
    ("delete", REGISTRY, ["delete", KEY, "/v", "LogFile", "/f"], "", 0, DONE, "", dict([TIMEOUT])),
    ("delete-key-and-below", REGISTRY, ["delete", KEY], "yes\n", 0,
     b"Permanently delete the registry key HKEY_LOCAL_MACHINE" + KEY[4:].encode()
     + b" (Yes/No)? " + DONE, "", None),
    ("delete-missing", REGISTRY, ["delete", KEY, "/v", "Nothing", "/f"], "", 1, b"",
     NOT_FOUND.decode().strip(), UNCHANGED),
    ("unknown-type", REGISTRY, ["add", KEY, "/v", "Timeout", "/t", "REG_WORD", "/d", "1", "/f"],
     "", 1, b"", '"REG_WORD" is not a type', UNCHANGED),
    ("dword-not-a-number", REGISTRY,
     ["add", KEY, "/v", "Timeout", "/t", "REG_DWORD", "/d", "3s", "/f"], "", 1, b"",
     '"3s" is not one', UNCHANGED),
    ("dword-too-large", REGISTRY,
     ["add", KEY, "/v", "Timeout", "/t", "REG_DWORD", "/d", "4294967296", "/f"], "", 1, b"",
     "ERROR: Invalid syntax.", UNCHANGED),
    ("key-outside-hklm", REGISTRY,
     ["add", r"HKCU\Software\Quoril", "/v", "Timeout", "/t", "REG_DWORD", "/d", "1", "/f"], "",
     1, b"", "Only HKEY_LOCAL_MACHINE (HKLM)", UNCHANGED),
    ("unparseable-file", REGISTRY + "Timeout=3\n",
     ["add", KEY, "/v", "Timeout", "/t", "REG_DWORD", "/d", "1", "/f"], "", 1, b"",
     "registry.reg: line 8:", UNCHANGED),
]


def run_tool(root: Path, arguments, stdin: str = "") -> subprocess.CompletedProcess:
    return subprocess.run([QUORIL_REG, *arguments], input=stdin.encode(), capture_output=True,
                          env=dict(os.environ, QUORIL_ROOT=str(root)), timeout=30)


@pytest.mark.parametrize("registry,arguments,stdin,status,stdout,stderr,values",
                         [pytest.param(*case[1:], id=case[0]) for case in CASES])
def test_reg_command(tmp_path, registry, arguments, stdin, status, stdout, stderr, values):
    path = tmp_path / "etc" / "quoril" / "registry.reg"
    path.parent.mkdir(parents=True)
    if registry is not None:
        path.write_text(registry, encoding="latin-1")
    before = path.read_bytes() if path.exists() else None

    result = run_tool(tmp_path, arguments, stdin)

    assert (result.returncode, result.stdout) == (status, stdout), result.stderr
    assert stderr in result.stderr.decode()
    if values is UNCHANGED:
        assert (path.read_bytes() if path.exists() else None) == before
    elif values is None:
        assert not [key for key in read_registry(path) if key.startswith(PARAMETERS_KEY)]
    else:
        assert read_registry(path)[PARAMETERS_KEY] == values


def test_timeout_set_with_the_tool_is_the_one_on_the_wire(server_factory):
    server = server_factory(start=False, registry=False, timeout=1)
    settings = [
        ("LogFile", "REG_EXPAND_SZ", "quorld.log"),
        ("DefaultDirectory", "REG_EXPAND_SZ", str(server.served)),
        ("Timeout", "REG_DWORD", "2"),
        ("MaxRetransmit", "REG_DWORD", "1"),
        ("EnableLogging", "REG_DWORD", "0"),
        ("OverwriteExisting", "REG_DWORD", "1"),
        ("LimitToDefaultDirectory", "REG_DWORD", "0"),
    ]
    for name, kind, data in settings:
        result = run_tool(server.root, ["add", KEY, "/v", name, "/t", kind, "/d", data, "/f"])
        assert (result.returncode, result.stdout) == (0, DONE), result.stderr
    server.file("boot.bin").write_bytes(b"x" * 600)
    server.start()

    client = server.endpoint()
    client.send(rrq("boot.bin"), (server.address, 69))
    packets = client.collect(2 * 1.5 + 1.5)
    assert [(packet.opcode, packet.block) for packet, _, _ in packets] == [(DATA, 1)] * 2
    interval = packets[1][2] - packets[0][2]
    assert 1.5 <= interval <= 2.9, interval
