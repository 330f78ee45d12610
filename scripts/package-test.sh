#!/usr/bin/env bash
# CI: builds the Debian package (scripts/package.sh, lintian included), checks its manual
# pages with groff, and lives through it in a throwaway root: an overlay of this machine's
# root in a mount namespace of its own, so that nothing on the machine changes. There the
# package is installed, its quorld serves /srv/tftp under the test service manager in a
# network namespace, and it is upgraded, removed and purged (tests/package/test_package.py);
# then whatever of it is left on the disk is listed. Needs root.
# Usage: scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" == --inside ]]; then
  # In the mount namespace: the overlay, the test in it, and what is left.
  deb=$2
  work=$(mktemp -d /tmp/quoril-package-test.XXXXXX)
  mount -t tmpfs quoril-package-test "$work"
  mkdir "$work/upper" "$work/work" "$work/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$work/root"
  root="$work/root"
  for dir in proc sys dev; do mount --rbind "/$dir" "$root/$dir"; done
  mkdir -p "$root/mnt/quoril"
  mount --bind "$PWD" "$root/mnt/quoril"
  mount -o remount,bind,ro "$root/mnt/quoril"
  # A machine without Quoril: whatever this one has of it is hidden in the throwaway root.
  rm -rf "$root/srv/tftp" "$root/etc/quoril" "$root/var/log/quoril"
  cp "$deb" "$root/tmp/quoril.deb"
  status=0
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    QUORIL_DEB=/tmp/quoril.deb QUORIL_REQUIRE_NAMESPACES=1 \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider /mnt/quoril/tests/package || status=$?
  # Left by the package, besides the served files: nothing.
  left=$(cd "$work/upper" && find . \( -iname '*quoril*' -o -iname '*quorld*' \) \
    ! -path './tmp/*' ! -path './mnt/*' ! -path './run/*' | sort)
  if [[ -n "$left" ]]; then
    echo "package-test.sh: left after the purge:" >&2
    echo "$left" >&2
    status=1
  fi
  exit "$status"
fi

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

timeout --kill-after=30 600 unshare --mount --propagation private -- "$0" --inside "$PWD/$deb"
