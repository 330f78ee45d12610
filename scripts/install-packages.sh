#!/usr/bin/env bash
# Installs the Debian packages named that are missing; does nothing when all are there.
# Usage: scripts/install-packages.sh [--no-recommends] PACKAGE...
set -euo pipefail

options=()
if [[ "${1:-}" == --no-recommends ]]; then
  options=(--no-install-recommends)
  shift
fi
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  # Another install running beside (CI prepares later stages meanwhile) is waited for.
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq -o DPkg::Lock::Timeout=900 \
    "${options[@]}" "${missing[@]}" >/dev/null
fi
