#!/usr/bin/env bash
# CI: builds the Debian package (scripts/package.sh, lintian included), checks its manual
# pages with groff, and lives through it under a real systemd: a minimal Debian system
# (scripts/debian-system.sh makes it once and keeps it in /var/cache/quoril-ci/) booted with
# systemd-nspawn over a throwaway overlay, in a mount namespace of its own, so that nothing on
# the machine changes (tests/package/test_package.py). Needs root.
# Usage: scripts/package-test.sh
#        scripts/package-test.sh --prepare  (installs and makes what it needs, no more)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
packages=(logrotate man-db groff-base)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    >/dev/null
fi

if [[ "${1:-}" == --prepare ]]; then
  scripts/package.sh --prepare
  scripts/debian-system.sh
  exit 0
fi

deb=$(scripts/package.sh | tail -n 1)

# The manual pages as they ship: no warning from groff, nor from man at the usual widths.
pages=$(mktemp -d)
trap 'rm -rf "$pages"' EXIT
dpkg-deb -x "$deb" "$pages"
for page in "$pages"/usr/share/man/man8/*.8.gz; do
  warnings=$( (zcat "$page" | groff -ww -z -man -Tutf8) 2>&1
    for width in 80 60; do LC_ALL=C.UTF-8 MANWIDTH=$width man --warnings -l "$page" 2>&1 >/dev/null; done)
  if [[ -n "$warnings" ]]; then
    echo "package-test.sh: $(basename "$page"):" >&2
    echo "$warnings" >&2
    exit 1
  fi
  echo "$(basename "$page"): no warning"
done

system=$(scripts/debian-system.sh | tail -n 1)
QUORIL_DEB="$PWD/$deb" QUORIL_SYSTEM="$system" timeout --kill-after=30 600 \
  unshare --mount --propagation private -- \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/package
