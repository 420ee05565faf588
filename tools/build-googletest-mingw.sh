#!/usr/bin/env bash
# Builds googletest for x86_64-w64-mingw32 from the sources Debian's googletest package ships
# in /usr/src/googletest, and installs it with its CMake package files outside the source tree,
# keyed by the package version and the configuration:
#   ${MSISTUB_CACHE:-/var/cache/msistub}/googletest-mingw64-<version>-<config>/
#       {include,lib,lib/cmake/GTest}
# The prefix of the current build is recorded in <cache>/googletest-mingw64.prefix, where
# configuring the Windows tree reads it and finds GTest there with find_package (the native
# tree finds Debian's own package). CMake never runs this script; `make deps` does.
# Prints the install prefix on stdout. A second run with the same version does nothing.
set -euo pipefail
config=st1
cache=${MSISTUB_CACHE:-/var/cache/msistub}
pointer=$cache/googletest-mingw64.prefix
src=/usr/src/googletest
top=$(cd "$(dirname "$0")/.." && pwd)
version=$(dpkg-query -W -f '${Version}' googletest 2>/dev/null) ||
  { echo "googletest: the Debian package googletest is not installed (tools/deps.sh)" >&2; exit 1; }
prefix=$cache/googletest-mingw64-$version-$config
finish() {
  echo "$prefix" > "$pointer.tmp" && mv "$pointer.tmp" "$pointer"
  echo "$prefix"
  exit 0
}
[ -f "$prefix/.complete" ] && finish
mkdir -p "$cache"
work=$(mktemp -d "$cache/googletest-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Static libraries (the test programs link everything statically, as the stub does), no
# gmock, in sections --gc-sections can drop.
cmake -S "$src" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw64.toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF \
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections" >&2
cmake --build "$work" -j "$(nproc)" >&2
rm -rf "$prefix"
cmake --install "$work" >&2
touch "$prefix/.complete"
finish
