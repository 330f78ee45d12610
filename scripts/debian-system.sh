#!/usr/bin/env bash
# Makes, once, a minimal Debian system of this machine's release with systemd as its init, for
# the package's life under a real systemd (scripts/package-test.sh boots it with
# systemd-nspawn), and prints its directory. It is kept under /var/cache/quoril-ci/, named
# after its release and packages, so that later runs reuse it; the test never changes it (it
# boots an overlay of it). debootstrap takes the mirror that apt uses here. Needs root.
# Usage: scripts/debian-system.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh --no-recommends debootstrap systemd-container >&2

# What the test uses in there besides the package's dependencies: the client, logrotate,
# ip for the late address, ps to look around, sudo for the examples that use it.
packages=systemd,systemd-sysv,adduser,logrotate,tftp-hpa,iproute2,procps,sudo
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
name="$release-$(printf '%s' "$packages" | sha256sum | cut -c1-12)"
cache=/var/cache/quoril-ci
if [[ -f "$cache/$name/.complete" ]]; then
  echo "$cache/$name"
  exit 0
fi

# The mirror of the release's main suite, from either of apt's formats.
shopt -s nullglob
sources=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
mirror=$({ cat "${sources[@]}" 2>/dev/null || true; } | awk -v release="$release" '
  /^deb[ \t]/ { for (i = 2; i <= NF; i++) if ($i !~ /^\[/) break
                if ($(i + 1) == release) { print $i; exit } }
  /^URIs:/ { uris = $2 }
  /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == release && uris != "") { print uris; exit } }
  /^$/ { uris = "" }')
if [[ -z "$mirror" ]]; then
  echo "debian-system.sh: apt names no mirror for $release" >&2
  exit 1
fi

mkdir -p "$cache"
rm -rf "$cache/$name.partial"
echo "debootstrap $release from $mirror into $cache/$name ..." >&2
start=$SECONDS
debootstrap --variant=minbase --include="$packages" "$release" "$cache/$name.partial" "$mirror" \
  >"$cache/$name.log" 2>&1 ||
  { tail -n 20 "$cache/$name.log" >&2; echo "debian-system.sh: debootstrap failed" >&2; exit 1; }
# No downloads kept in the system, nothing to set up at its first boot.
rm -rf "$cache/$name.partial"/var/cache/apt/archives/*.deb "$cache/$name.partial"/var/lib/apt/lists/*
echo quoril-ci >"$cache/$name.partial/etc/hostname"
systemd-machine-id-setup --root="$cache/$name.partial" >/dev/null
touch "$cache/$name.partial/.complete"
mv "$cache/$name.partial" "$cache/$name"
echo "debootstrap took $((SECONDS - start)) s" >&2
echo "$cache/$name"
