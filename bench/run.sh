#!/usr/bin/env bash
# Benchmarks Quoril side by side with tftpd-hpa, atftpd and dnsmasq on loopback, each server
# in a network namespace of its own, and prints a markdown table (see README.md, "Benchmark").
# Usage (as root): bench/run.sh [--quick] [--reps N] [--servers quoril,dnsmasq,...]
#                               [--scenarios a,b,c,d,e,n,f1,f2] [--out DIR]
# Installs what it needs from Debian and builds into build-bench/ (optimised, with symbols for profilers).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build-bench
peers=$build/peers

if [[ $(id -u) -ne 0 ]]; then
  echo "bench/run.sh: run as root (network namespaces, port 69)" >&2
  exit 1
fi

scripts/install-deps.sh
# dnsmasq-base is the program alone, without a service that would start on the machine.
# tftpd-hpa and atftpd conflict as packages (and installing either would start a server on
# every address of the machine): both are unpacked beside each other instead, and only the
# library they need is installed.
packages=(dnsmasq-base libwrap0 libpcre2-8-0 util-linux iproute2)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
mkdir -p "$peers"
unpack() {  # package, program inside it
  [[ -x $peers/$1/$2 ]] && return
  (cd "$peers" && rm -f "$1"_*.deb &&
     { apt-get download "$1" 2>/dev/null || { apt-get update -qq && apt-get download "$1"; }; } &&
     dpkg-deb -x "$1"_*.deb "$1")
}
unpack tftpd-hpa usr/sbin/in.tftpd
unpack atftpd usr/sbin/atftpd

# The load generator is built with the tests (bench/netascii_cpu.sh leaves them out here).
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS= \
  -DQUORIL_BUILD_TESTS=ON -DQUORIL_WARNINGS_AS_ERRORS=OFF >/dev/null
cmake --build "$build" -j2 --target quorld quoril-loadgen >/dev/null

exec python3 bench/runner.py --out "$build/results" "$@" \
  --quorld "$build/quorld" --loadgen "$build/bench/quoril-loadgen" \
  --tftpd "$peers/tftpd-hpa/usr/sbin/in.tftpd" --atftpd "$peers/atftpd/usr/sbin/atftpd" \
  --dnsmasq /usr/sbin/dnsmasq
