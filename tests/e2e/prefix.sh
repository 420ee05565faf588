#!/usr/bin/env bash
# Fixture of the end-to-end tests: `setup` makes their own Wine prefix (<win64 tree>/e2e-prefix,
# a copy of the tree's template prefix, see tests/wine/run-wine.sh) when it is missing,
# `cleanup` ends its wineserver. The prefix is kept between runs; every script removes what
# earlier runs of its own products left behind.
#   prefix.sh setup|cleanup
set -u
export WINEPREFIX=$MSISTUB_BUILD/e2e-prefix
case ${1:?setup or cleanup} in
  setup)
    MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" cmd /c exit 0 >/dev/null 2>&1
    [ -f "$WINEPREFIX/.msistub-ready" ] || { echo "FAIL: the prefix $WINEPREFIX was not made" >&2; exit 1; }
    echo "end-to-end prefix ready: $WINEPREFIX" ;;
  cleanup)
    wineserver -k 2>/dev/null
    echo "end-to-end wineserver stopped" ;;
esac
