# shellcheck shell=bash
# Shared by the scripts that build a static library for mingw64 from a Debian source package
# (sourced, after setting `package` (the source package) and `config` (the build options'
# name)). The build is cached outside the source tree, keyed by the upstream version and the
# configuration:
#   ${MSISTUB_CACHE:-/var/cache/msistub}/<package>-mingw64-<version>-<config>
# and the prefix of the current build is recorded in <cache>/<package>-mingw64.prefix, where
# configuring the Windows tree reads it (CMake never runs these scripts; `make deps` does).
#
#   use_cache_or_fetch   ends the script (finish) when the newest version is built already;
#                        otherwise downloads the upstream tarball, unpacks it into $work/src
#                        and sets `version` and `prefix` (a cached build of the downloaded
#                        version ends the script too)
#   finish PREFIX        records PREFIX as current, prints it and ends the script
cache=${MSISTUB_CACHE:-/var/cache/msistub}
pointer="$cache/$package-mingw64.prefix"
mkdir -p "$cache"

ensure_src_entries() {
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    [ "$(id -u)" = 0 ] || { echo "$package: need deb-src entries; run as root" >&2; exit 1; }
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > /etc/apt/sources.list.d/msistub-src.sources
    else
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/msistub-src.list
    fi
    apt-get update -qq
  fi
}

versions() { apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vr | uniq; }

finish() {
  echo "$1" > "$pointer.tmp" && mv "$pointer.tmp" "$pointer"
  echo "$1"
  exit 0
}

use_cache_or_fetch() {
  [ -n "$(versions)" ] || ensure_src_entries
  # The cache key is the upstream version of the newest source package; a hit needs no network.
  version=$(versions | head -1 | sed 's/-[^-]*$//')
  prefix="$cache/$package-mingw64-$version-$config"
  [ -f "$prefix/.complete" ] && finish "$prefix"
  ensure_src_entries
  work=$(mktemp -d "$cache/$package-build.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  # Only the upstream tarball is used (the Debian patches concern the shared library and the
  # programs). A mirror may lack a revision's Debian files, so every listed version is tried.
  local tarball="" v
  for v in $(versions); do
    ( cd "$work" && apt-get source -qq --download-only "$package=$v" >/dev/null 2>&1 ) || true
    tarball=$(ls "$work/${package}_"*.orig.tar.* 2>/dev/null | head -1)
    [ -n "$tarball" ] && break
  done
  [ -n "$tarball" ] || { echo "$package: could not download the source package" >&2; exit 1; }
  version=$(basename "$tarball" | sed "s/^${package}_//; s/\\.orig\\.tar\\..*\$//")
  prefix="$cache/$package-mingw64-$version-$config"
  [ -f "$prefix/.complete" ] && finish "$prefix"
  mkdir "$work/src" && tar -xf "$tarball" -C "$work/src" --strip-components=1
}
