#!/usr/bin/env bash
# Fixture of the end-to-end tests: `setup` makes their own Wine prefix (<win64 tree>/e2e-prefix)
# when it is missing, `cleanup` ends its wineserver. The prefix is kept between runs (making
# one costs ~20 s); every script removes what earlier runs of its own products left behind.
# Its user's shell folders are plain folders of the prefix (run-wine.sh makes them so).
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
