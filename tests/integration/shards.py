"""--shard I/N: a test file in parts that run side by side (the integration tests under
ctest, the network boots), each case in exactly one part."""

import pytest


def pytest_addoption(parser):
    parser.addoption(
        "--shard", metavar="I/N", default=None,
        help="run only every N-th test starting with the I-th (1..N), so that ctest runs the "
             "parts of a long file side by side")


def pytest_collection_modifyitems(config, items):
    shard = config.getoption("--shard")
    if not shard:
        return
    index, count = (int(part) for part in shard.split("/"))
    if not 1 <= index <= count:
        raise pytest.UsageError(f"--shard {shard}: I must be within 1..N")
    # Every N-th test: the two engines of one case, and neighbouring cases that are alike,
    # land in different parts.
    parts = ([], [])
    for n, item in enumerate(items):
        parts[n % count == index - 1].append(item)
    config.hook.pytest_deselected(items=parts[False])
    items[:] = parts[True]
