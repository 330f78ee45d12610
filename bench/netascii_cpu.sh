#!/usr/bin/env bash
# The server's CPU time for reading one 32 MiB text file in netascii and in octet, through
# the running server, in a network namespace of its own (needs root). Text-mode reads should
# cost no more than 1.5 times binary ones.
#
# Usage: bench/netascii_cpu.sh [QUORLD] [ROUNDS]
#   QUORLD  the executable to measure (default: a release build made in build-bench/)
#   ROUNDS  transfers per mode; the median counts (default 5)
set -euo pipefail

if [[ -z "${QUORIL_BENCH_INSIDE:-}" ]]; then
  repo=$(cd "$(dirname "$0")/.." && pwd)
  if [[ $# -ge 1 ]]; then
    quorld=$(realpath "$1")
  else
    # A release build of its own, where a compiler's warning never stops the measurement.
    mkdir -p "$repo/build-bench"
    log="$repo/build-bench/build.log"
    { cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release \
        -DQUORIL_BUILD_TESTS=OFF -DQUORIL_WARNINGS_AS_ERRORS=OFF &&
      cmake --build "$repo/build-bench" -j2 --target quorld; } >"$log" 2>&1 ||
      { cat "$log"; exit 1; }
    quorld="$repo/build-bench/quorld"
  fi
  exec unshare -n env QUORIL_BENCH_INSIDE=1 "$0" "$quorld" "${2:-5}"
fi

quorld=$1
rounds=$2
ip link set lo up

work=$(mktemp -d)
server=
cleanup() {
  if [[ -n "$server" ]]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/served" "$work/root" "$work/got"

# Lines of printable text from 0 to 120 characters, ended by a lone LF as on this system: the
# case where netascii changes the most (every line end becomes CR LF on the wire).
python3 - "$work/served/text.txt" <<'PY'
import random, sys
random.seed(1350)
size = 32 * 1024 * 1024
alphabet = b"abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 .,;:-"
line_pool = [bytes(random.choice(alphabet) for _ in range(random.randint(0, 120))) + b"\n"
             for _ in range(4096)]
out = bytearray()
while len(out) < size:
    out += random.choice(line_pool)
open(sys.argv[1], "wb").write(out[:size - 1] + b"\n")
PY

# The server's settings, in a registry of its own: the served directory, no transfer log.
mkdir -p "$work/root/etc/quoril"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters]\r\n"LogFile"="quorld.log"\r\n"DefaultDirectory"="%s"\r\n"Timeout"=dword:00000003\r\n"MaxRetransmit"=dword:00000005\r\n"EnableLogging"=dword:00000000\r\n"OverwriteExisting"=dword:00000001\r\n"LimitToDefaultDirectory"=dword:00000001\r\n' \
  "$work/served" >"$work/root/etc/quoril/registry.reg"

cd "$work/served"
QUORIL_ROOT="$work/root" "$quorld" -debug >"$work/server.out" 2>&1 &
server=$!
for _ in $(seq 100); do
  # Port 69 (0045) bound on 127.0.0.1 (0100007F).
  grep -q ' 0100007F:0045 ' /proc/net/udp && break
  sleep 0.1
done
grep -q ' 0100007F:0045 ' /proc/net/udp || { echo "quorld did not start"; cat "$work/server.out"; exit 1; }

ticks=$(getconf CLK_TCK)
cpu_ticks() {
  # utime + stime of the whole process (every thread, ended ones included): fields 14 and 15.
  local stat
  stat=$(<"/proc/$server/stat")
  stat=${stat##*) }
  read -r -a f <<<"$stat"
  echo $((f[11] + f[12]))
}

# Reads the file once in the given mode; prints the server's CPU time in ticks.
measure() {
  local mode=$1 before after
  rm -f "$work/got/text.txt"
  before=$(cpu_ticks)
  tftp 127.0.0.1 -m "$mode" -c get text.txt "$work/got/text.txt" >/dev/null
  sleep 0.3  # the transfer thread finishes after the client's last ACK
  after=$(cpu_ticks)
  # The client converts netascii back to LF line ends: both modes give the file back.
  cmp -s "$work/served/text.txt" "$work/got/text.txt" || { echo "$mode: file differs" >&2; exit 1; }
  echo $((after - before))
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

declare -a octet=() netascii=()
for _ in $(seq "$rounds"); do
  octet+=("$(measure octet)")
  netascii+=("$(measure netascii)")
done
mo=$(median "${octet[@]}")
mn=$(median "${netascii[@]}")
echo "file: 32 MiB text, lines of 0 to 120 characters ended by LF; $rounds reads per mode"
echo "octet    server CPU per read (ticks of 1/$ticks s): ${octet[*]}   median $mo"
echo "netascii server CPU per read (ticks of 1/$ticks s): ${netascii[*]}   median $mn"
awk -v n="$mn" -v o="$mo" 'BEGIN {
  if (o == 0) { print "octet took no measurable CPU time"; exit 1 }
  r = n / o; printf "netascii / octet = %.2f (target at most 1.50): %s\n", r, (r <= 1.5 ? "met" : "NOT met")
  exit (r <= 1.5 ? 0 : 1) }'
