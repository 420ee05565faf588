#!/usr/bin/env bash
# CTest fixture for the Wine tests of a build tree: `setup` makes the template prefix, the
# tree's prefix (a copy of it) and the display (through run-wine.sh), `cleanup` ends the
# tree's wineserver and Xvfb.
set -u
action=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/display.sh"
case $action in
  setup)
    MSISTUB_BUILD=$build "$here/run-wine.sh" cmd /c exit 0 >/dev/null 2>&1
    [ -f "$build/wineprefix/.msistub-ready" ] || { echo "wine prefix was not created" >&2; exit 1; }
    echo "wine prefix ready: $build/wineprefix" ;;
  cleanup)
    WINEPREFIX=$build/wineprefix wineserver -k 2>/dev/null
    stop_display "$build"
    echo "wineserver and display stopped" ;;
esac
