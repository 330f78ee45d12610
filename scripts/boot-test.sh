#!/usr/bin/env bash
# Network boots of real machines from quorld: QEMU (TCG, no KVM) in a network namespace of its
# own, with dnsmasq as the DHCP server only (port=0: no DNS, no TFTP) and quorld with the
# package's settings serving the boot files: legacy BIOS (SeaBIOS, Debian's iPXE ROM, then
# PXELINUX) and UEFI (OVMF's own PXE client, then syslinux.efi, and GRUB's network image), each
# loading Debian's kernel and a busybox initrd whose init prints the checksum of its payload on
# the serial console (tests/boot/test_network_boot.py). Needs root.
# Usage: scripts/boot-test.sh [PYTEST ARGS...]     (builds quorld into build/ when missing)
#        scripts/boot-test.sh --prepare           (installs and fetches what it needs, no more)
set -euo pipefail
cd "$(dirname "$0")/.."

# The machines, their firmware, the DHCP server and the boot loaders, installed.
scripts/install-packages.sh --no-recommends qemu-system-x86 ovmf ipxe-qemu dnsmasq-base cpio \
  grub-common grub-efi-amd64-bin pxelinux syslinux-common syslinux-efi
scripts/install-deps.sh

# The kernel and busybox are only unpacked: installed, a kernel runs the host's boot hooks
# and busybox-static replaces busybox. Kept between runs.
cache=/var/cache/quoril-ci
mkdir -p "$cache/debs"
kernel=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
for package in "$kernel" busybox-static; do
  if [[ ! -d "$cache/$package" ]]; then
    (cd "$cache/debs" && apt-get download -q "$package" 2>/dev/null ||
      { apt-get update -qq && apt-get download -q "$package"; })
    dpkg-deb -x "$cache/debs/${package}"_*.deb "$cache/$package.tmp"
    mv "$cache/$package.tmp" "$cache/$package"
  fi
done
[[ "${1:-}" == --prepare ]] && exit 0
export QUORIL_BOOT_KERNEL
QUORIL_BOOT_KERNEL=$(ls "$cache/$kernel"/boot/vmlinuz-* | head -n 1)
export QUORIL_BOOT_BUSYBOX="$cache/busybox-static/bin/busybox"

[[ -x build/quorld ]] || scripts/build.sh quorld >/dev/null
export QUORLD="${QUORLD:-$PWD/build/quorld}"
# Two machines at a time, one per core (a TCG machine keeps one busy): the boots in two parts
# side by side, each part's output shown whole when it ends.
export PYTHONPATH=tests/integration
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
for part in 1 2; do
  timeout --kill-after=30 600 /usr/bin/python3 -m pytest -q -p no:cacheprovider -p shards \
    tests/boot/test_network_boot.py --shard "$part/2" "$@" >"$logs/$part" 2>&1 &
done
failed=0
for part in 1 2; do
  wait -n || failed=1
done
cat "$logs/1" "$logs/2"
exit "$failed"
