#!/usr/bin/env bash
# Paths through the start of a run, with the real stub and a stand-in msiexec.exe:
#   the setup file held by another process that is about to move or delete it (open for
#     deletion, no delete sharing) while the stub starts: the stub cannot read itself, string
#     101, exit 32 (sharing violation), nothing created
#   no package for the user's language (German only, user en-US): string 101, exit 13,
#     nothing created, the installer not started
#   the third selection pass: under a Japanese locale (1041) a bundle of German and English
#     packages installs the English one (1033); a bundle with a Japanese package shows that
#     the locale reaches the stub
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
work=$MSISTUB_BUILD/tests/reliability/startup
de=$(new_code) en=$(new_code) ja=$(new_code)
cleanup() {
  [ -n "${LOCKER:-}" ] && kill "$LOCKER" 2>/dev/null
  stop_wine
  restore_msiexec
  rm -rf "$work" "${INSTALLER:?}/$de" "${INSTALLER:?}/$en" "${INSTALLER:?}/$ja" "$BOX_LOG" \
    "$BOX_LOG.out"
}
trap cleanup EXIT
trap 'exit 1' TERM INT
make_setup "$work/en" "Startup English" "$en" 1
"$MSISTUB_SOURCE/tools/make-product.sh" "$work/de" --name "Startup Deutsch" --code "$de" \
  --lang 1031 --size-mb 1 >/dev/null || fail "make-product"
"$PACK" build --key "$KEY" --allow-development-key --package "x64:1031:$de:Startup Deutsch:$work/de/product.msi" \
  --cab "$work/de/product.cab:1000" --stub "$work/en/stub-signed.exe" \
  --out "$work/german.exe" >/dev/null || fail "msistub-pack build german.exe"
"$PACK" build --key "$KEY" --allow-development-key --package "x64:1031:$de:Startup Deutsch:$work/de/product.msi" \
  --cab "$work/de/product.cab:1000" \
  --package "x64:1033:$en:Startup English:$work/en/product/product.msi" \
  --cab "$work/en/product/product.cab:1001" --stub "$work/en/stub-signed.exe" \
  --out "$work/bundle.exe" >/dev/null || fail "msistub-pack build bundle.exe"
"$MSISTUB_SOURCE/tools/make-product.sh" "$work/ja" --name "Startup Japanese" --code "$ja" \
  --lang 1041 --size-mb 1 >/dev/null || fail "make-product"
"$PACK" build --key "$KEY" --allow-development-key --package "x64:1031:$de:Startup Deutsch:$work/de/product.msi" \
  --cab "$work/de/product.cab:1000" \
  --package "x64:1041:$ja:Startup Japanese:$work/ja/product.msi" \
  --cab "$work/ja/product.cab:1001" --stub "$work/en/stub-signed.exe" \
  --out "$work/japanese.exe" >/dev/null || fail "msistub-pack build japanese.exe"
fake_msiexec
export RELIABILITY_FAKE_LOG RELIABILITY_FAKE_ACTION=exit:0
RELIABILITY_FAKE_LOG=$(winpath "$work/fake.log")

# Locked by another process.
before=$(snapshot)
"$MSISTUB_WINE" "$FAKE_MSIEXEC" --lock "$(winpath "$work/en/setup.exe")" >"$work/lock.out" 2>&1 &
LOCKER=$!
for _ in $(seq 60); do grep -q locked "$work/lock.out" 2>/dev/null && break; sleep 0.5; done
grep -q locked "$work/lock.out" || fail "the setup could not be locked: $(cat "$work/lock.out")"
run_with_box setup.exe "$work/en/setup.exe"
expect_eq "box for a locked setup" "$BOX_TEXT" "$TEXT101"
expect_eq "exit code for a locked setup" "$EXIT_CODE" 32
[ ! -e "$work/fake.log" ] || fail "the installer was started for a locked setup"
kill "$LOCKER" 2>/dev/null; wait "$LOCKER" 2>/dev/null; LOCKER=""
expect_eq "drive after a locked setup" "$(snapshot)" "$before"
echo "ok: locked setup: string 101, exit $EXIT_CODE, nothing created"

# No package for the language.
run_with_box german.exe "$work/german.exe"
expect_eq "box when no package fits" "$BOX_TEXT" "$TEXT101"
expect_eq "exit code when no package fits" "$EXIT_CODE" 13
[ ! -e "$work/fake.log" ] || fail "the installer was started although no package fits"
expect_eq "drive when no package fits" "$(snapshot)" "$before"
echo "ok: no package fits: string 101, exit 13, nothing created"

# Under a Japanese locale: the Japanese package when there is one, else the English one.
for row in japanese:ja bundle:en; do
  setup=${row%%:*} want=${row#*:}
  rm -rf "$work/seen"; mkdir -p "$work/seen"
  RELIABILITY_FAKE_COPY=$(winpath "$work/seen") MSISTUB_LANG=ja_JP.UTF-8 \
    start_stub "$work/run.log" "$work/$setup.exe"
  finish_stub "$work/run.log"
  expect_eq "boxes under ja_JP ($setup)" "$BOXES" 0
  expect_eq "exit code under ja_JP ($setup)" "$EXIT_CODE" 0
  msi=$work/$want/product.msi
  [ "$want" = en ] && msi=$work/en/product/product.msi
  cmp -s "$work/seen/main.msi" "$msi" || fail "under ja_JP, $setup.exe did not install the $want package"
  [ ! -e "$INSTALLER/$de" ] || fail "the German package was extracted under ja_JP"
done
echo "ok: ja_JP takes the Japanese package, and falls back to the English one"
echo "startup: all cases passed"
