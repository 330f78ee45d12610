#!/usr/bin/env bash
# Installs from Debian what building and testing Quoril needs; does nothing when all is there.
set -euo pipefail

packages=(cmake g++ make pkg-config libpcre2-dev nlohmann-json3-dev python3 python3-pytest libgtest-dev iproute2
          util-linux tftp-hpa curl busybox atftp procps systemd nftables logrotate)
"$(dirname "$0")"/install-packages.sh "${packages[@]}"
