#!/usr/bin/env bash
# Builds a static libcrypto for x86_64-w64-mingw32 from Debian's openssl source package
# and caches it outside the source tree, keyed by the source version:
#   ${MSISTUB_CACHE:-/var/cache/msistub}/openssl-mingw64-<version>/{include,lib}
# Prints the install prefix on stdout. A second run with the same version does nothing.
set -euo pipefail
cache=${MSISTUB_CACHE:-/var/cache/msistub}
mkdir -p "$cache"
ensure_src_entries() {
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    [ "$(id -u)" = 0 ] || { echo "openssl: need deb-src entries; run as root" >&2; exit 1; }
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > /etc/apt/sources.list.d/msistub-src.sources
    else
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/msistub-src.list
    fi
    apt-get update -qq
  fi
}
versions() { apt-cache showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' | sort -Vr | uniq; }
[ -n "$(versions)" ] || ensure_src_entries
# The cache key is the upstream version of the newest source package; a hit needs no network.
version=$(versions | head -1 | sed 's/-[^-]*$//')
prefix="$cache/openssl-mingw64-$version"
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi
ensure_src_entries
work=$(mktemp -d "$cache/openssl-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Only the upstream tarball is used (the Debian patches concern the shared library and the
# apps). A mirror may lack a revision's Debian files, so every listed version is tried.
tarball=""
for v in $(versions); do
  ( cd "$work" && apt-get source -qq --download-only "openssl=$v" >/dev/null 2>&1 ) || true
  tarball=$(ls "$work"/openssl_*.orig.tar.gz 2>/dev/null | head -1)
  [ -n "$tarball" ] && break
done
[ -n "$tarball" ] || { echo "openssl: could not download the source package" >&2; exit 1; }
version=$(basename "$tarball" | sed 's/^openssl_//; s/\.orig\.tar\.gz$//')
prefix="$cache/openssl-mingw64-$version"
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi
mkdir "$work/src" && tar -xzf "$tarball" -C "$work/src" --strip-components=1
cd "$work/src"
# Only what record verification needs: RSA, SHA-256, the MS key-blob reader, EVP.
# Assembly stays on (SHA and bignum kernels); no threads, no engines, no networking.
./Configure mingw64 no-shared no-threads no-dso no-engine no-tests \
  no-sock no-ui-console no-ssl3 no-comp no-srp no-psk no-ocsp no-cms no-ts no-ct no-legacy \
  no-async no-autoload-config \
  --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix" --libdir=lib >&2
make -s -j"$(nproc)" build_libs >&2
rm -rf "$prefix"; mkdir -p "$prefix/lib"
cp libcrypto.a "$prefix/lib/"
cp -r include "$prefix/include"
touch "$prefix/.complete"
echo "$prefix"
