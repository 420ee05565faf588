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
package=openssl
config=min3
. "$(dirname "$0")/debian-source.sh"
use_cache_or_fetch
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
