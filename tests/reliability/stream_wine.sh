#!/usr/bin/env bash
# A file gets its final name only once its record is verified: the stub writes it under a
# temporary name (~msistub-<16 hex digits>.tmp) in the extraction folder while the record
# decodes. With a stand-in msiexec.exe in the prefix's system32:
#   corrupt last segment  a cabinet of 4 MiB packed in 1 MiB segments, a byte of its last
#                         segment's stored bytes flipped (offsets from msistub-pack inspect
#                         --json), run where C:\windows\Installer\<code> holds an earlier
#                         release's main.msi and cabinet (same names; one byte changed, and
#                         the first half of the new cabinet): string 101, exit 13, the
#                         installer not started, the earlier files byte-identical, no
#                         temporary or other new file anywhere on the drive
#   killed mid-stream     a 16 MiB cabinet; the stub's process killed (SIGKILL) once a
#                         temporary file is seen growing: the folder holds temporary names
#                         only; the next run installs (the stand-in registers the product), its
#                         files identical to the product's, and the temporary files are gone
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
work=$MSISTUB_BUILD/tests/reliability/stream
code=$(new_code) killcode=$(new_code)
cleanup() {
  clean_up_product_run "$work" "$code"
  rm -rf "${INSTALLER:?}/$killcode"
  "$MSISTUB_WINE" reg delete "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$killcode" \
    /f >/dev/null 2>&1
}
trap cleanup EXIT
trap 'exit 1' TERM INT
make_setup "$work/small" "Stream Product" "$code" 4 --store --segment-size 1M
make_setup "$work/large" "Stream Large" "$killcode" 16 --store --segment-size 1M
fake_msiexec
export RELIABILITY_FAKE_LOG
RELIABILITY_FAKE_LOG=$(winpath "$work/fake.log")

# 1. Corrupt last segment, over an earlier release's files.
product=$work/small/product
read -r start stored segments last < <(record_layout "$work/small/setup.exe" 1001) ||
  fail "no layout of the cabinet's record"
[ "$segments" -ge 3 ] || fail "the cabinet's record has $segments segment(s), not 3 or more"
# The middle of the last segment's deflate data (its last 4 bytes are the stream's Adler-32).
cp "$work/small/setup.exe" "$work/corrupt.exe"
flip_byte "$work/corrupt.exe" $(( (last + start + stored - 4) / 2 ))
folder=$INSTALLER/$code
mkdir -p "$folder" "$work/earlier"
cp "$product/product.msi" "$work/earlier/main.msi"
flip_byte "$work/earlier/main.msi" $(( $(stat -c %s "$product/product.msi") / 2 ))
head -c $(( $(stat -c %s "$product/product.cab") / 2 )) "$product/product.cab" >"$work/earlier/product.cab"
cp "$work/earlier/main.msi" "$work/earlier/product.cab" "$folder/"
before=$(snapshot)
rm -f "$work/fake.log"
run_with_box corrupt.exe "$work/corrupt.exe"
expect_eq "box for a corrupt last segment" "$BOX_TEXT" "$TEXT101"
expect_eq "exit code for a corrupt last segment" "$EXIT_CODE" 13
[ ! -e "$work/fake.log" ] || fail "the installer was started: $(cat "$work/fake.log")"
for f in main.msi product.cab; do
  cmp -s "$folder/$f" "$work/earlier/$f" || fail "the earlier release's $f changed"
done
expect_eq "drive after a corrupt last segment" "$(snapshot)" "$before"
echo "ok: corrupt last segment (byte $(( (last + start + stored - 4) / 2 - last )) of segment $segments): string 101, exit 13, earlier files kept, nothing new"

# 2. Killed while a temporary file grows; the next run installs.
product=$work/large/product
folder=$INSTALLER/$killcode
cp "$work/large/setup.exe" "$work/stream-kill.exe"
rm -f "$work/fake.log"
start_stub "$work/kill.log" "$work/stream-kill.exe"
caught=$(kill_when_growing "$folder" stream-kill.exe) || fail "the stub was not caught mid-write"
finish_stub "$work/kill.log"
expect_eq "boxes of the killed run" "$BOXES" 0
[ ! -e "$work/fake.log" ] || fail "the installer was started by the killed run"
left=$(staging_names "$folder")
[ -n "$left" ] || fail "no temporary file left by the killed run: $(ls -A "$folder")"
expect_eq "final names after the kill" "$(other_names "$folder")" ""
echo "killed while ${caught% *} grew to ${caught##* } bytes; left: $(echo $left)"
RELIABILITY_FAKE_REGISTER=1 RELIABILITY_FAKE_ACTION=exit:0 start_stub "$work/next.log" "$work/stream-kill.exe"
finish_stub "$work/next.log"
expect_eq "boxes of the next run" "$BOXES" 0
expect_eq "exit code of the next run" "$EXIT_CODE" 0
grep -q "package=present size=$(stat -c %s "$product/product.msi")" "$work/fake.log" ||
  fail "the installer did not find the package: $(cat "$work/fake.log" 2>/dev/null)"
expect_eq "files after the next run" "$(ls -A "$folder" | tr '\n' ' ')" "main.msi product.cab "
cmp -s "$folder/main.msi" "$product/product.msi" || fail "main.msi differs from the product's"
cmp -s "$folder/product.cab" "$product/product.cab" || fail "product.cab differs from the product's"
echo "ok: killed mid-stream: only temporary names left; the next run installs and clears them"
echo "stream: all cases passed"
