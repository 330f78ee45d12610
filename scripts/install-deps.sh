#!/usr/bin/env bash
# Installs from Debian what building and testing Quoril needs; does nothing when all is there.
set -euo pipefail

packages=(cmake g++ make python3 python3-pytest libgtest-dev iproute2 util-linux
          tftp-hpa curl busybox atftp procps systemd)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
