#!/usr/bin/env bash
# Builds Quoril into build/ (or build-<sanitizer>/ with "address" or "thread"). Warnings
# stop the build only with QUORIL_WARNINGS_AS_ERRORS=ON in the environment, as in CI.
# Usage: scripts/build.sh [address|thread]
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize="${1:-}"
dir="build${sanitize:+-$sanitize}"
type=Release
[[ -n "$sanitize" ]] && type=Debug
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DQUORIL_SANITIZE="$sanitize" \
  -DQUORIL_WARNINGS_AS_ERRORS="${QUORIL_WARNINGS_AS_ERRORS:-OFF}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "$dir"
