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
package=libdeflate
config=gc1
. "$(dirname "$0")/debian-source.sh"
use_cache_or_fetch
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
