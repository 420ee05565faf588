#!/usr/bin/env bash
# A large setup (a product of ~200 MiB) extracted under the progress dialog, with one
# screenshot of the whole display while the dialog shows: <win64 tree>/progress.png. Not part
# of `make test` (it takes a minute); run it after building both trees:
#   tests/e2e/progress_shot.sh [SIZE_MB]
# Checks that the dialog, captioned with the product name, shows and that the run installs.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
export MSISTUB_SOURCE=$top MSISTUB_WINE=$top/tests/wine/run-wine.sh
export MSISTUB_BUILD=${MSISTUB_BUILD:-$top/build/win64} MSISTUB_HOST_BUILD=${MSISTUB_HOST_BUILD:-$top/build/host}
export E2E_KEY=${E2E_KEY:-$top/build/devkey/payload-private.pem}
size=${1:-200}
"$top/tests/e2e/prefix.sh" setup >/dev/null || exit 1
. "$top/tests/e2e/lib.sh"
e2e_begin progress
CODE="{2E4F6A8C-0B1D-4E3F-A5B7-C9D1E3F5A701}" NAME="msistub E2E Large Product"
forget_product "$CODE"
[ -n "${KEEP:-}" ] || on_exit 'forget_product "$CODE"; rm -rf "$E2E_WORK"'
make_product product --name "$NAME" --code "$CODE" --size-mb "$size"
pack large.exe --package "x64:1033:$CODE:$NAME:product/product.msi" --cab product/product.cab:1000
echo "large.exe: $(stat -c %s large.exe) bytes"
# Without a window manager on the display, Wine draws the title bar (caption and icon) only
# for windows it does not leave to a window manager: the test prefixes set Managed=N.
shot=$MSISTUB_BUILD/progress.png
rm -f "$shot"
start_stub +msgbox "$E2E_WORK/large.exe" /qn
# Shots while the dialog shows (its caption is unique on the display); the last one taken
# with the dialog still there is kept.
showing() { xdotool search --name "^$NAME\$" >/dev/null 2>&1; }
shots=0
while kill -0 "$STUB_PID" 2>/dev/null; do
  if showing && import -window root "$shot.tmp.png" 2>/dev/null && showing; then
    mv -f "$shot.tmp.png" "$shot"; shots=$((shots + 1))
  else
    sleep 0.05
  fi
done
rm -f "$shot.tmp.png"
[ -f "$shot" ] || fail "no screenshot while '$NAME' showed"
echo "$shots screenshots while '$NAME' showed; the last one: $shot"
end_stub
expect_eq "exit code" "$EXIT_CODE" 0
is_registered "$CODE" || fail "not installed"
echo "progress: the dialog showed and the product installed"
