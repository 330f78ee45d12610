"""A long file split into parts (--shard I/N, as tests/CMakeLists.txt registers it): the parts
hold each of its cases exactly once, and a part that does not exist is refused."""

import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


def collect(*args) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--collect-only", *args],
        cwd=HERE, capture_output=True, text=True, timeout=60)


def cases(*args) -> list[str]:
    result = collect(*args)
    assert result.returncode == 0, result.stdout + result.stderr
    return [line for line in result.stdout.splitlines() if "::" in line]


@pytest.mark.parametrize("parts", [2, 3, 7])
def test_the_parts_of_a_file_hold_each_case_once(parts):
    whole = cases("test_retransmit.py")
    split = [case for part in range(1, parts + 1)
             for case in cases("test_retransmit.py", "--shard", f"{part}/{parts}")]
    assert len(whole) > parts and sorted(split) == sorted(whole)


@pytest.mark.parametrize("shard", ["0/2", "3/2"])
def test_a_part_that_does_not_exist_is_refused(shard):
    assert collect("test_retransmit.py", "--shard", shard).returncode != 0
