#!/usr/bin/env bash
# Builds the Debian package quoril_<version>_amd64.deb into build-package/ from the files of
# this checkout, and checks it with lintian (no error allowed). Needs Debian's debhelper.
# Usage: scripts/package.sh [--prepare]   (with --prepare: installs what it needs, no more)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(debhelper dpkg-dev cmake g++ pkg-config libpcre2-dev python3 lintian git)
scripts/install-packages.sh --no-recommends "${packages[@]}"
[[ "${1:-}" == --prepare ]] && exit 0

version=$(dpkg-parsechangelog -S Version)
upstream=$(sed -n 's/^project(Quoril VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [[ "$version" != "$upstream" ]]; then
  echo "package.sh: debian/changelog says $version, CMakeLists.txt $upstream" >&2
  exit 1
fi

# dpkg-buildpackage writes beside the source tree: the source is a copy of the checkout's
# files (tracked, and new ones not ignored), so that nothing of a build is taken along.
out=build-package
rm -rf "$out"
mkdir -p "$out/source"
source="$out/source/quoril-$version"
mkdir "$source"
git ls-files -z --cached --others --exclude-standard |
  (while IFS= read -r -d '' file; do [[ -e "$file" ]] && printf '%s\0' "$file"; done) |
  xargs -0 cp --parents -t "$source"

echo "Building quoril_${version}_$(dpkg --print-architecture).deb ..." >&2
(cd "$source" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log" >&2; echo "package.sh: the build failed (see $out/build.log)" >&2; exit 1; }
deb="quoril_${version}_$(dpkg --print-architecture).deb"
mv "$out/source/$deb" "$out/"
rm -rf "$out/source"

echo "lintian $deb:" >&2
lintian --fail-on error --info "$out/$deb" >&2
echo "$out/$deb"
