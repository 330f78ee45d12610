#!/usr/bin/env bash
# Builds the Windows executable (quorld.exe) with mingw-w64 and runs its whole life as a
# service under wine, in a network namespace of its own whose only addresses are 127.0.0.1,
# 127.0.0.2 and ::1, all on the loopback: the Win32 backend's unit tests, the command line,
# installation, transfers with tftp-hpa and curl (one through 127.0.0.2, some over ::1),
# pause and continue, stop and removal, and the event identifiers. Needs root.
# Usage: scripts/windows-test.sh            (builds into build-windows/)
#        scripts/windows-test.sh --prepare  (installs and builds what it needs, no more)
#        scripts/windows-test.sh --build    (that, and the build, no tests)
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian's cross compiler, wine and GoogleTest's sources; not the mingw-w64 meta-package, not wine32.
packages=(g++-mingw-w64-x86-64-posix wine64 wine googletest)
scripts/install-packages.sh --no-recommends "${packages[@]}"
scripts/install-deps.sh  # the Linux clients (tftp-hpa, curl), python3, iproute2, unshare

dir=build-windows
scripts/pcre2-mingw.sh "$dir/pcre2"  # the rewrite rules' matcher, linked in
[[ "${1:-}" == --prepare ]] && exit 0
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIL_WARNINGS_AS_ERRORS="${QUORIL_WARNINGS_AS_ERRORS:-OFF}" \
  -DCMAKE_UNITY_BUILD="${QUORIL_UNITY_BUILD:-OFF}" \
  -DQUORIL_PCRE2_ROOT="$PWD/$dir/pcre2" >/dev/null
cmake --build "$dir" -j"$(nproc)"

# Nothing but the system's own DLLs: the C++ runtime and winpthreads are linked in.
for exe in quorld.exe control_service.exe quoril_windows_tests.exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$dir/$exe" | sed -n 's/^\s*DLL Name: //p' | sort -f)
  extra=$(grep -viE '^(advapi32|iphlpapi|kernel32|msvcrt|user32|ws2_32)\.dll$' <<<"$dlls" || true)
  if [[ -n "$extra" ]]; then
    echo "$exe needs DLLs that Windows does not have: $extra" >&2
    exit 1
  fi
done
[[ "${1:-}" == --build ]] && exit 0

timeout --kill-after=60 600 unshare -n -- sh -c \
  'ip link set lo up && ip addr add 127.0.0.2/8 dev lo && exec python3 tests/windows/service_life.py "$1"' \
  sh "$dir"
