#!/usr/bin/env bash
# Builds Quoril into build/ (or build-<sanitizer>/ with "address" or "thread"), showing the
# build's progress on standard error; standard output names the build directory. Warnings
# stop the build only with QUORIL_WARNINGS_AS_ERRORS=ON in the environment, as in CI.
# Usage: scripts/build.sh [address|thread] [TARGET...]   (every target when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=""
if [[ "${1:-}" == address || "${1:-}" == thread ]]; then
  sanitize="$1"
  shift
fi
dir="build${sanitize:+-$sanitize}"
type=Release
[[ -n "$sanitize" ]] && type=Debug
# Without a compiler cache a build is made once (as in CI): a unity build, a few large units
# instead of one per source, takes half the compiler time. With one, sources one by one keep
# a rebuild small. QUORIL_UNITY_BUILD=ON or OFF decides otherwise.
unity=OFF
[[ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]] && unity=ON
echo "Building in $dir/ ..." >&2
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DQUORIL_SANITIZE="$sanitize" \
  -DCMAKE_UNITY_BUILD="${QUORIL_UNITY_BUILD:-$unity}" \
  -DQUORIL_WARNINGS_AS_ERRORS="${QUORIL_WARNINGS_AS_ERRORS:-OFF}" >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}" >&2
echo "$dir"
