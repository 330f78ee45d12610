#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests and the integration
# tests against the real server in network namespaces of their own (needs root).
# Usage: scripts/test.sh [address|thread]   (a sanitizer build, in build-<name>/)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=$(scripts/build.sh ${1:+"$1"} | tail -n 1)
cd "$dir"
# Three tests per core: the integration tests mostly wait on timeouts and the network.
ctest --output-on-failure -j"$(($(nproc) * 3))" --timeout 1500
