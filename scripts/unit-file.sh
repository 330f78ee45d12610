#!/usr/bin/env bash
# Writes to OUTPUT the unit that `quorld -install` writes for a quorld installed at
# INSTALLED_PATH, by running that very code in a scratch system root: what a package ships is
# then the unit of the installer, never a second copy of it.
# Usage: scripts/unit-file.sh QUORLD INSTALLED_PATH OUTPUT
set -euo pipefail
quorld=$1
installed=$2
output=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch$(dirname "$installed")"
cp "$quorld" "$scratch$installed"
if ! QUORIL_ROOT="$scratch" "$scratch$installed" -install >"$scratch/install.out"; then
  cat "$scratch/install.out" >&2
  echo "unit-file.sh: quorld -install failed" >&2
  exit 1
fi
# Whatever the unit names under the scratch root names the same under /.
unit=$(<"$scratch/etc/systemd/system/quoril.service")
printf '%s\n' "${unit//"$scratch"/}" >"$output.tmp"
mv "$output.tmp" "$output"
