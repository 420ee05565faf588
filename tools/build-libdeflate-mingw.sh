#!/usr/bin/env bash
# Builds a static libdeflate for x86_64-w64-mingw32 from Debian's libdeflate source package
# and caches it outside the source tree, keyed by the source version and the configuration:
#   ${MSISTUB_CACHE:-/var/cache/msistub}/libdeflate-mingw64-<version>-<config>/{include,lib}
# Change `config` whenever the make options or flags below change, so no cache built with
# other options is reused. The prefix of the current build is also written to
#   ${MSISTUB_CACHE:-/var/cache/msistub}/libdeflate-mingw64.prefix
# where the Windows configuration reads it (CMake never runs this script; `make deps` does).
# Prints the install prefix on stdout. A second run with the same version does nothing.
set -euo pipefail
cache=${MSISTUB_CACHE:-/var/cache/msistub}
config=gc1
mkdir -p "$cache"
pointer="$cache/libdeflate-mingw64.prefix"
ensure_src_entries() {
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    [ "$(id -u)" = 0 ] || { echo "libdeflate: need deb-src entries; run as root" >&2; exit 1; }
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > /etc/apt/sources.list.d/msistub-src.sources
    else
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/msistub-src.list
    fi
    apt-get update -qq
  fi
}
versions() { apt-cache showsrc libdeflate 2>/dev/null | sed -n 's/^Version: //p' | sort -Vr | uniq; }
finish() {  # the prefix is current: point the Windows configuration at it
  echo "$1" > "$pointer.tmp" && mv "$pointer.tmp" "$pointer"
  echo "$1"
  exit 0
}
[ -n "$(versions)" ] || ensure_src_entries
# The cache key is the upstream version of the newest source package; a hit needs no network.
version=$(versions | head -1 | sed 's/-[^-]*$//')
prefix="$cache/libdeflate-mingw64-$version-$config"
[ -f "$prefix/.complete" ] && finish "$prefix"
ensure_src_entries
work=$(mktemp -d "$cache/libdeflate-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Only the upstream tarball is used (the Debian patches concern the shared library and the
# programs). A mirror may lack a revision's Debian files, so every listed version is tried.
tarball=""
for v in $(versions); do
  ( cd "$work" && apt-get source -qq --download-only "libdeflate=$v" >/dev/null 2>&1 ) || true
  tarball=$(ls "$work"/libdeflate_*.orig.tar.* 2>/dev/null | head -1)
  [ -n "$tarball" ] && break
done
[ -n "$tarball" ] || { echo "libdeflate: could not download the source package" >&2; exit 1; }
version=$(basename "$tarball" | sed 's/^libdeflate_//; s/\.orig\.tar\..*$//')
prefix="$cache/libdeflate-mingw64-$version-$config"
[ -f "$prefix/.complete" ] && finish "$prefix"
mkdir "$work/src" && tar -xf "$tarball" -C "$work/src" --strip-components=1
cd "$work/src"
# The static library only, in sections the stub's --gc-sections can drop (the stub links the
# decompressor, the packaging tool the compressor too). The x86 kernels (PCLMUL/AVX2 CRC and
# Adler-32) stay on and are chosen at run time.
make -s -j"$(nproc)" CC=x86_64-w64-mingw32-gcc AR=x86_64-w64-mingw32-ar \
  CFLAGS="-ffunction-sections -fdata-sections" libdeflatestatic.lib >&2
rm -rf "$prefix"; mkdir -p "$prefix/lib" "$prefix/include"
cp libdeflatestatic.lib "$prefix/lib/libdeflate.a"
cp libdeflate.h "$prefix/include/"
touch "$prefix/.complete"
finish "$prefix"
