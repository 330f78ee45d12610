"""The parts of a split test file (--shard I/N, as tests/CMakeLists.txt registers them) hold
each of its cases exactly once; a part that does not exist is refused."""

import subprocess
import sys
from pathlib import Path

import pytest


def collect(*args) -> subprocess.CompletedProcess:
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--collect-only"]
    return subprocess.run([*command, "test_retransmit.py", *args], cwd=Path(__file__).parent,
                          capture_output=True, text=True, timeout=60)


def cases(*args) -> list[str]:
    result = collect(*args)
    assert result.returncode == 0, result.stdout + result.stderr
    return [line for line in result.stdout.splitlines() if "::" in line]


@pytest.mark.parametrize("parts", [2, 3, 7])
def test_the_parts_of_a_file_hold_each_case_once(parts):
    split = [case for part in range(1, parts + 1) for case in cases("--shard", f"{part}/{parts}")]
    assert len(split) > parts and sorted(split) == sorted(cases())


@pytest.mark.parametrize("shard", ["0/2", "3/2"])
def test_a_part_that_does_not_exist_is_refused(shard):
    assert collect("--shard", shard).returncode != 0
