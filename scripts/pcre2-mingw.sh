#!/usr/bin/env bash
# Builds PCRE2 (the rewrite rules' matcher) as a static library for the mingw-w64 Windows
# build: Debian packages no mingw PCRE2, so it is built from Debian's own source package,
# fetched once with apt-get source (from a private list of Debian's source archive, nothing of
# the system's apt configuration changed) and kept in /var/cache/quoril-ci/.
# Usage: scripts/pcre2-mingw.sh PREFIX     (installs into PREFIX; nothing to do when there)
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "$1")
[[ -f "$prefix/lib/libpcre2-8.a" ]] && exit 0

cache=/var/cache/quoril-ci/pcre2-source
mkdir -p "$cache"
if ! ls "$cache"/pcre2_*.orig.tar.* >/dev/null 2>&1; then
  # The suite of the system's own archive, as a source list of its own.
  . /etc/os-release
  mkdir -p "$cache/lists/partial"
  echo "deb-src http://deb.debian.org/debian $VERSION_CODENAME main" >"$cache/sources.list"
  apt_options=(-o "Dir::Etc::SourceList=$cache/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
               -o "Dir::State::Lists=$cache/lists" -o "APT::Sandbox::User=root")
  apt-get -qq "${apt_options[@]}" update
  (cd "$cache" && apt-get -qq "${apt_options[@]}" source --download-only pcre2)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xf "$(ls "$cache"/pcre2_*.orig.tar.* | head -n 1)" -C "$work" --strip-components=1
cmake -S "$work" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_STATIC_LIBS=ON -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2GREP=OFF \
  -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SUPPORT_JIT=OFF -DPCRE2_SUPPORT_LIBBZ2=OFF \
  -DPCRE2_SUPPORT_LIBZ=OFF -DPCRE2_SUPPORT_LIBEDIT=OFF -DPCRE2_SUPPORT_LIBREADLINE=OFF >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
cmake --install "$work/build" >/dev/null
