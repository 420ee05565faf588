#!/usr/bin/env bash
# Runs a Windows program under Wine in a build tree's private prefix.
#
#   run-wine.sh program.exe [args...]
#
# The prefix is $WINEPREFIX, by default <build>/wineprefix, where <build> is the nearest folder
# above the program holding CMakeCache.txt (or $MSISTUB_BUILD). Prefixes are made under a lock
# and Wine's X11 driver leaves their windows unmanaged (Managed=N: Xvfb has no window manager,
# and Wine would wait up to 2 s for one to take each top-level window). The tree's own prefix
# is made in place (wineboot -i); any other prefix (the end-to-end and the reliability
# scripts') is a copy of the tree's template prefix, <build>/wine-template, made once. In all
# of them the user's shell folders are plain folders of the prefix: no test writes into the
# Linux user's home folder, and the stub refuses a chosen folder reached through a link,
# which Wine's own shell folder links are. A copy shares the template's builtin DLLs in
# system32 through hard links (nothing writes them) and has its own copy of everything else.
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
# make_prefix DIR [plain]: a fresh prefix in DIR, set up for the tests; with `plain` the
# user's shell folders become plain folders of the prefix.
make_prefix() {
  local dir=$1 folders=${2:-} link
  rm -rf "$dir"
  WINEPREFIX=$dir wineboot -i </dev/null >/dev/null 2>&1 9>&-
  WINEPREFIX=$dir wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    </dev/null >/dev/null 2>&1 9>&-
  WINEPREFIX=$dir wineserver -w
  if [ "$folders" = plain ]; then
    for link in "$dir/drive_c/users/$(id -un)"/*; do
      if [ -L "$link" ]; then rm -f "$link" && mkdir "$link"; fi
    done
  fi
  grep -q '"Managed"="N"' "$dir/user.reg" || { echo "run-wine: $dir: Managed=N not set" >&2; return 1; }
  touch "$dir/.msistub-ready"
}
# copy_prefix FROM TO: TO as a copy of the prefix FROM (its system32 DLLs hard links).
copy_prefix() {
  local from=$1 to=$2
  rm -rf "$to" "$to.new"
  mkdir -p "$to.new" &&
    tar -C "$from" --no-wildcards-match-slash --exclude='./drive_c/windows/system32/*.dll' -cf - . |
      tar -C "$to.new" -xpf - &&
    find "$from/drive_c/windows/system32" -maxdepth 1 -name '*.dll' -type f \
      -exec ln -t "$to.new/drive_c/windows/system32" {} + &&
    mv "$to.new" "$to"
}
if [ ! -f "$WINEPREFIX/.msistub-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.msistub-ready" ]; then
      template=$build/wine-template
      if [ "$WINEPREFIX" = "$build/wineprefix" ]; then
        make_prefix "$WINEPREFIX" plain || exit 1
      else
        [ -f "$template/.msistub-ready" ] || make_prefix "$template" plain || exit 1
        copy_prefix "$template" "$WINEPREFIX" || exit 1
      fi
    fi
  ) 9>"$build/wineprefix.lock" || { echo "run-wine: no prefix at $WINEPREFIX" >&2; exit 1; }
fi
exec wine "$@"
