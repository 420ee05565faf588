#!/usr/bin/env bash
# Runs a Windows program under Wine in a build tree's private prefix.
#
#   run-wine.sh program.exe [args...]
#
# The prefix is <build>/wineprefix, where <build> is the nearest folder above the program
# holding CMakeCache.txt (or $MSISTUB_BUILD). It is made once (wineboot -i), under a lock.
# An Xvfb display is started for the tree when none is given, so dialogs and message boxes
# can show. The locale and Wine's tracing are pinned: LANG=en_US.UTF-8 (user LCID 1033) and
# WINEDEBUG=-all, unless MSISTUB_LANG / MSISTUB_WINEDEBUG say otherwise.
# Exit code: the program's, cut to 8 bits by Wine (use tests/wine/launch.exe for full codes).
set -u
prog=${1:?program}
find_build() {
  local d
  d=$(cd "$(dirname "$1")" && pwd)
  while [ "$d" != "/" ]; do
    [ -f "$d/CMakeCache.txt" ] && { echo "$d"; return; }
    d=$(dirname "$d")
  done
}
build=${MSISTUB_BUILD:-$(find_build "$prog")}
[ -n "$build" ] || { echo "run-wine: no build tree above $prog" >&2; exit 2; }
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${MSISTUB_WINEDEBUG:--all}
export LANG=${MSISTUB_LANG:-en_US.UTF-8}
export LC_ALL=$LANG
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=display.sh
. "$here/display.sh"
ensure_display "$build"
if [ ! -f "$WINEPREFIX/.msistub-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.msistub-ready" ]; then
      rm -rf "$WINEPREFIX"
      wineboot -i </dev/null >/dev/null 2>&1 9>&-
      wineserver -w
      # The user's shell folders become plain folders of the prefix (Wine links them to the
      # Linux user's home): no run writes there, and none is reached through a link.
      for link in "$WINEPREFIX/drive_c/users/$(id -un)"/*; do
        if [ -L "$link" ]; then rm -f "$link" && mkdir "$link"; fi
      done
      touch "$WINEPREFIX/.msistub-ready"
    fi
  ) 9>"$build/wineprefix.lock"
fi
exec wine "$@"
