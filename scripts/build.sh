#!/usr/bin/env bash
# Builds Quoril into build/ (or build-<sanitizer>/ with "address" or "thread").
# Usage: scripts/build.sh [address|thread]
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize="${1:-}"
dir="build${sanitize:+-$sanitize}"
type=RelWithDebInfo
[[ -n "$sanitize" ]] && type=Debug
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DQUORIL_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "$dir"
