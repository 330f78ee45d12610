"""Settings from the registry file, end to end: the running server serves the directory,
keeps the timings and applies the write and confinement rules that the registry names."""

import re

import pytest

from conftest import OMIT, PARAMETERS_KEY, REGISTRY_VALUES, payload, registry_text
from tftp_wire import DATA, TftpError, rrq

FILE_EXISTS = (6, b"File exists")
FILE_NOT_FOUND = (1, b"File not found")
ACCESS_DENIED = (2, b"Access denied")
UNDEFINED = (0, b"Undefined error")


def settings(server, **changes):
    """The registry values of `server` ({name: value}) with `changes` applied."""
    values = {
        "DefaultDirectory": str(server.served),
        "LogFile": "quorld.log",
        "EnableLogging": 0,
        "Timeout": 3,
        "MaxRetransmit": 5,
        "OverwriteExisting": 1,
        "LimitToDefaultDirectory": 0,
    }
    values.update(changes)
    return values


def test_directory_and_timings_come_from_the_registry(server_factory):
    server = server_factory(start=False)
    # The process starts in its served directory; the registry names another one, in mixed
    # case, which the server lowers and still finds.
    other = server.base / "Boot" / "TFTP"
    other.mkdir(parents=True)
    (other / "Image.BIN").write_bytes(payload(1500, seed=3))
    server.file("only-here.bin").write_bytes(b"not served")
    server.registry = registry_text(
        settings(server, DefaultDirectory=str(other), Timeout=2, MaxRetransmit=2)
    )
    server.start()

    assert server.get("image.bin") == payload(1500, seed=3)
    with pytest.raises(TftpError) as refused:
        server.get("only-here.bin")
    assert (refused.value.code, refused.value.message) == FILE_NOT_FOUND

    # An unanswered DATA 1 comes 1 + MaxRetransmit times, Timeout seconds apart.
    client = server.endpoint()
    client.send(rrq("image.bin"), (server.address, 69))
    packets = client.collect(quiet=4.5)
    assert [(p.opcode, p.block) for p, _, _ in packets] == [(DATA, 1)] * 3
    arrivals = [when for _, _, when in packets]
    for earlier, later in zip(arrivals, arrivals[1:]):
        assert 1.5 <= later - earlier <= 3.5
    server.wait_closed(packets[0][1])


def write(server, name, content):
    """Writes `content` as `name`; answers None or the (code, message) of the refusal."""
    try:
        server.put(name, content)
    except TftpError as refusal:
        return refusal.code, refusal.message
    return None


OLD = payload(2000, seed=10)
NEW = payload(700, seed=11)
# OverwriteExisting -> (refusal or content after the write) for an existing file, then a
# missing one. A file that is written holds exactly the bytes sent, whatever the disposition.
OVERWRITE_CASES = [
    (1, FILE_EXISTS, NEW),
    (2, NEW, NEW),
    (3, NEW, FILE_NOT_FOUND),
    (4, NEW, NEW),
    (5, NEW, FILE_NOT_FOUND),
    (0, UNDEFINED, UNDEFINED),
    (6, UNDEFINED, UNDEFINED),
]


@pytest.mark.parametrize("overwrite, existing, missing", OVERWRITE_CASES)
def test_overwrite_existing_on_a_real_write(server_factory, overwrite, existing, missing):
    server = server_factory(overwrite=overwrite)
    server.file("old.bin").write_bytes(OLD)
    for name, expected in (("old.bin", existing), ("new.bin", missing)):
        refusal = write(server, name, NEW)
        if isinstance(expected, tuple):
            assert refusal == expected, name
        else:
            assert refusal is None, name
            assert server.file(name).read_bytes() == expected, name
    if not isinstance(existing, bytes):
        assert server.file("old.bin").read_bytes() == OLD
    if not isinstance(missing, bytes):
        assert not server.file("new.bin").exists()


@pytest.mark.parametrize(
    "name", ["..\\outside.txt", "../outside.txt", "/etc/passwd", "sub\\..\\..\\outside.txt"]
)
@pytest.mark.parametrize("limit", [1, 0])
def test_limit_to_default_directory(server_factory, name, limit):
    server = server_factory(limit=limit)
    (server.directory / "sub").mkdir()
    outside = server.directory.parent / "outside.txt"
    outside.write_bytes(b"outside the default directory\n")
    expected = outside.read_bytes() if "outside" in name else open("/etc/passwd", "rb").read()
    if limit:
        with pytest.raises(TftpError) as refused:
            server.get(name)
        assert (refused.value.code, refused.value.message) == ACCESS_DENIED
        # Writes are refused alike; an absolute name is aimed into the test's own tree.
        target = server.base / "written.txt"
        write_name = str(target) if name.startswith("/") else name.replace("outside", "written")
        with pytest.raises(TftpError) as refused:
            server.put(write_name, b"x")
        assert (refused.value.code, refused.value.message) == ACCESS_DENIED
        assert not target.exists()
    else:
        # Without confinement the same names reach the file, so the refusal above is the
        # setting's doing.
        assert server.get(name) == expected
    # Inside the directory everything is served either way.
    server.file("inside.txt").write_bytes(b"inside")
    assert server.get("sub\\..\\inside.txt") == b"inside"


# DefaultDirectory spelled other than as the resolved path of the served directory.
DIRECTORY_FORMS = {
    "symbolic link": lambda base: base / "tftpboot",
    "doubled separator": lambda base: f"{base}//served",
    "dot component": lambda base: f"{base}/./served",
}


@pytest.mark.parametrize("form", DIRECTORY_FORMS.values(), ids=DIRECTORY_FORMS.keys())
def test_confinement_holds_for_every_spelling_of_the_directory(server_factory, form):
    server = server_factory(start=False, limit=1)
    (server.base / "tftpboot").symlink_to(server.served)
    named = str(form(server.base))
    server.settings["default_directory"] = named
    server.start()
    server.file("inside.bin").write_bytes(payload(700, seed=12))
    (server.base / "outside.bin").write_bytes(b"outside")
    for name in ("inside.bin", f"{named}/inside.bin"):
        assert server.get(name) == payload(700, seed=12), name
    for name in ("../outside.bin", str(server.base / "outside.bin")):
        with pytest.raises(TftpError) as refused:
            server.get(name)
        assert (refused.value.code, refused.value.message) == ACCESS_DENIED, name


BROKEN_REGISTRIES = {
    "not a registry file": "garbage\n",
    "a value without its key": 'REGEDIT4\n"Timeout"=dword:3\n',
    "truncated hex data": f"REGEDIT4\n[{PARAMETERS_KEY}]\n" + '"DefaultDirectory"=hex(2):2f,\\\n',
}


@pytest.mark.parametrize("text", BROKEN_REGISTRIES.values(), ids=BROKEN_REGISTRIES.keys())
def test_unreadable_registry_fails_initialisation(server_factory, text):
    server = server_factory(registry=text, wait_ready=False)
    assert server.wait_exit(timeout=30) == 0
    events = server.events_path.read_text(encoding="latin-1")
    assert "0xC0000003" in events, events
    assert re.search(r"failed to initialize\. \(\S+/registry\.reg: line \d+: ", events), events
    assert server.registry_path.read_text(encoding="latin-1") == text  # left as it was


@pytest.mark.parametrize(
    "option",
    ["default_directory", "log_file", "logging", "timeout", "max_retransmit", "overwrite", "limit"],
)
def test_each_missing_value_fails_initialisation(server_factory, option):
    server = server_factory(wait_ready=False, **{option: OMIT})
    assert server.wait_exit(timeout=30) == 0
    events = server.events_path.read_text(encoding="latin-1")
    assert "0xC0000003" in events
    name = next(name for name, known in REGISTRY_VALUES if known == option)
    assert f'no value "{name}" in HKEY_LOCAL_MACHINE' in events, events


def test_registry_written_with_windows_line_ends_and_comments(server_factory):
    server = server_factory(start=False)
    text = registry_text(settings(server, Timeout=1, MaxRetransmit=0))
    text = text.replace("REGEDIT4\n", "REGEDIT4\n; edited by hand\n").replace("\n", "\r\n")
    server.registry = text
    server.start()
    server.file("a.bin").write_bytes(payload(600, seed=4))
    client = server.endpoint()
    client.send(rrq("a.bin"), (server.address, 69))
    packets = client.collect(quiet=2.5)
    assert [(p.opcode, p.block) for p, _, _ in packets] == [(DATA, 1)]  # MaxRetransmit 0
    assert server.get("a.bin") == payload(600, seed=4)
