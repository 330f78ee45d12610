#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests and the integration
# tests against the real server in network namespaces of their own (needs root).
# Usage: scripts/test.sh [address|thread]   (a sanitizer build, in build-<name>/)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# The programs the integration tests run are built first; those tests (they mostly wait on
# timeouts and the network, three per core) then run beside the build of the unit tests,
# which run when built.
dir=$(scripts/build.sh ${1:+"$1"} quorld quoril-reg quoril-loadgen | tail -n 1)
integration_log=$(mktemp)
trap 'rm -f "$integration_log"' EXIT
(cd "$dir" && ctest -L integration --output-on-failure -j"$(($(nproc) * 3))" --timeout 1500) \
  >"$integration_log" 2>&1 &
integration=$!
status=0
if scripts/build.sh ${1:+"$1"} >/dev/null; then
  (cd "$dir" && ctest -LE integration --output-on-failure -j"$(nproc)" --timeout 1500) || status=1
else
  status=1
fi
wait "$integration" || status=1
cat "$integration_log"
exit "$status"
