#!/usr/bin/env bash
# Builds Quoril and serves a directory in console mode on port 69 of every local address.
# Usage: scripts/serve.sh [DIRECTORY]   (default: the current directory; needs root for port 69)
set -euo pipefail
served=$(realpath "${1:-.}")
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=$(scripts/build.sh | tail -n 1)
root="$PWD/$dir/root"
mkdir -p "$root/etc/quoril"
# A registry of its own for this console run, so that nothing on the machine changes.
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters]\r\n"LogFile"="quorld.log"\r\n"DefaultDirectory"="%s"\r\n"Timeout"=dword:00000003\r\n"MaxRetransmit"=dword:00000005\r\n"EnableLogging"=dword:00000000\r\n"OverwriteExisting"=dword:00000001\r\n"LimitToDefaultDirectory"=dword:00000001\r\n' \
  "$served" > "$root/etc/quoril/registry.reg"
echo "Serving $served on UDP port 69 of every local IPv4 address (Ctrl-C stops)."
echo "Fetch a file with:  tftp 127.0.0.1 -m binary -c get NAME"
echo "Events: $root/var/log/quoril/events.log"
cd "$served"
exec env QUORIL_ROOT="$root" "$OLDPWD/$dir/quorld" -debug
