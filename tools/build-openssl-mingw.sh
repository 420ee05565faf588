#!/usr/bin/env bash
# Builds a static libcrypto for x86_64-w64-mingw32 from Debian's openssl source package
# and caches it outside the source tree, keyed by the source version and the configuration:
#   ${MSISTUB_CACHE:-/var/cache/msistub}/openssl-mingw64-<version>-<config>/{include,lib}
# Change `config` whenever the Configure options or flags below change, so no cache built
# with other options is reused.
# Prints the install prefix on stdout and records it in $cache/openssl-mingw64.prefix, where
# configuring the Windows tree reads it (configuring builds nothing itself). A second run with
# the same version does nothing but record the prefix again.
set -euo pipefail
cache=${MSISTUB_CACHE:-/var/cache/msistub}
config=min3
pointer=$cache/openssl-mingw64.prefix
mkdir -p "$cache"
finish() {  # the prefix is current: point the Windows configuration at it
  echo "$1" > "$pointer.tmp" && mv "$pointer.tmp" "$pointer"
  echo "$1"
  exit 0
}
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
prefix="$cache/openssl-mingw64-$version-$config"
[ -f "$prefix/.complete" ] && finish "$prefix"
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
prefix="$cache/openssl-mingw64-$version-$config"
[ -f "$prefix/.complete" ] && finish "$prefix"
mkdir "$work/src" && tar -xzf "$tarball" -C "$work/src" --strip-components=1
cd "$work/src"
# Only what record verification needs: RSA, SHA-256, the MS key-blob reader, EVP, and the
# X.509/PKCS#7/PEM code the Windows tests sign with. Every other algorithm is switched off
# (the default provider would otherwise link all of them into the stub), and the code is
# built for size in sections the stub's --gc-sections can drop. Assembly stays on (the SHA
# and bignum kernels pick SHA-NI/AVX2 at run time); no threads, engines or networking.
./Configure mingw64 no-shared no-threads no-dso no-engine no-tests \
  no-sock no-ui-console no-ssl3 no-comp no-srp no-psk no-ocsp no-cms no-ts no-ct no-legacy \
  no-async no-autoload-config \
  no-ec no-dh no-dsa no-sm2 no-sm3 no-sm4 no-des no-idea no-rc2 no-rc4 no-rc5 no-md4 no-mdc2 \
  no-whirlpool no-seed no-cast no-bf no-camellia no-aria no-chacha no-poly1305 no-siphash \
  no-blake2 no-scrypt no-ocb no-gost no-cmp no-rfc3779 no-srtp no-ktls no-dtls \
  no-tls no-siv no-cmac no-err no-filenames no-multiblock no-autoerrinit \
  no-rmd160 no-md2 no-ec2m no-ssl-trace no-dgram no-secure-memory \
  -Os -ffunction-sections -fdata-sections \
  --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix" --libdir=lib >&2
make -s -j"$(nproc)" build_libs >&2
rm -rf "$prefix"; mkdir -p "$prefix/lib"
cp libcrypto.a "$prefix/lib/"
cp -r include "$prefix/include"
touch "$prefix/.complete"
finish "$prefix"
