#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, once.
# Idempotent: packages already present are not touched, apt-get runs only when something is missing.
set -euo pipefail
PKGS=(cmake ninja-build g++ clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
      wine wine64 xvfb xdotool x11-utils imagemagick msitools wixl gcab osslsigncode nsis
      libssl-dev openssl zlib1g-dev googletest libgtest-dev libmsi-dev libgcab-dev libglib2.0-dev pkg-config locales dpkg-dev python3
      libbenchmark-dev libdeflate-dev python3-pefile)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "deps: missing packages ${missing[*]}; run as root to install them" >&2; exit 1; }
  echo "deps: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# Locales the language tests run under (LANG decides the user LCID inside Wine).
want=(de_DE.UTF-8 de_CH.UTF-8 en_AU.UTF-8 en_US.UTF-8 ja_JP.UTF-8)
have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | sed 's/utf8/utf-8/')
regen=0
for l in "${want[@]}"; do
  lc=$(echo "$l" | tr 'A-Z' 'a-z')
  echo "$have" | grep -qx "$lc" && continue
  [ "$(id -u)" = 0 ] || { echo "deps: locale $l missing; run as root to generate it" >&2; exit 1; }
  grep -q "^$l UTF-8" /etc/locale.gen 2>/dev/null || echo "$l UTF-8" >> /etc/locale.gen
  regen=1
done
[ $regen = 0 ] || locale-gen >/dev/null
exit 0
