#!/usr/bin/env bash
# A disk that fills up in the middle of the cabinet's record: the prefix's
# C:\windows\Installer is a small tmpfs, mostly taken by a filler file, so a write fails in
# the second of the cabinet's 1 MiB segments. The Retry/Cancel box is captioned with the
# product name and names the cabinet (its final name), while the file is still under its
# temporary name.
#   Cancel: exit code 29, no further box, nothing of the run left on the small disk.
#   Retry after the filler is deleted: the writing resumes, the extracted files are
#   identical to the product's, no temporary file is left, and the installation succeeds.
# Needs to mount a tmpfs (root); ends with 77 (skipped) where that is not allowed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
work=$MSISTUB_BUILD/tests/reliability/disk-full
disk=$MSISTUB_BUILD/tests/reliability/small-disk
name="Disk Full Product"
code=$(new_code)
# Left over by an interrupted run: the link, the saved folder, the mount.
[ -L "$INSTALLER" ] && rm -f "$INSTALLER"
[ -e "$INSTALLER.reliability-saved" ] && mv "$INSTALLER.reliability-saved" "$INSTALLER"
mountpoint -q "$disk" 2>/dev/null && umount -l "$disk"
mkdir -p "$disk"
if ! mount -t tmpfs -o size=6m reliability-small-disk "$disk" 2>/dev/null; then
  echo "cannot mount a tmpfs here (not root?): skipped"
  rmdir "$disk"; exit 77
fi
moved=""
[ -e "$INSTALLER" ] && { mv "$INSTALLER" "$INSTALLER.reliability-saved"; moved=1; }
ln -s "$disk" "$INSTALLER"
cleanup() {
  stop_wine
  "$MSISTUB_WINE" msiexec /x "$code" /qn >/dev/null 2>&1
  wineserver -w
  rm -f "$INSTALLER"
  [ -n "$moved" ] && mv "$INSTALLER.reliability-saved" "$INSTALLER"
  umount "$disk" || umount -l "$disk"
  rmdir "$disk"
  rm -rf "$work" "$BOX_LOG" "$BOX_LOG.out"
}
trap cleanup EXIT
trap 'exit 1' TERM INT

make_setup "$work" "$name" "$code" 3 --store --segment-size 1M
msi=$work/product/product.msi cab=$work/product/product.cab
read -r _ _ segments _ < <(record_layout "$work/setup.exe" 1001) || fail "no layout of the cabinet's record"
[ "$segments" -ge 3 ] || fail "the cabinet's record has $segments segment(s), not 3 or more"
# Free space: the MSI and 1.5 MiB, so the write fails half-way through the second segment.
fill() {
  local free_kib
  free_kib=$(df -k --output=avail "$disk" | tail -1)
  head -c $(( (free_kib - $(stat -c %s "$msi") / 1024 - 1536) * 1024 )) /dev/zero >"$disk/filler" ||
    fail "filler"
  sync
}
boxtext_names_cab() {
  case $BOX_TEXT in
    *"C:\\\\windows\\\\Installer\\\\$code\\\\product.cab"*) return 0 ;;
  esac
  return 1
}

# 1. Cancel.
fill
log=$work/cancel.log
start_stub "$log" "$work/setup.exe" /qn
wait_box "$log" "$name"
boxtext_names_cab || fail "the box does not name the cabinet: $BOX_TEXT"
# The progress dialog and the box both carry the product name.
[ "$BOX_WINDOWS" = 2 ] || fail "not two windows captioned '$name': $BOX_WINDOWS"
echo "box '$name': $BOX_TEXT"
answer Escape
finish_stub "$log"
expect_eq "exit code after Cancel" "$EXIT_CODE" 29
expect_eq "boxes after Cancel" "$BOXES" 1
left=$(ls -A "$disk")
expect_eq "files left on the small disk after Cancel" "$left" filler
echo "Cancel: exit $EXIT_CODE, $BOXES box, small disk holds: $left"

# 2. Retry once the filler is gone.
log=$work/retry.log
start_stub "$log" "$work/setup.exe" /qn
wait_box "$log" "$name"
boxtext_names_cab || fail "the box does not name the cabinet: $BOX_TEXT"
expect_eq "final names while the box shows" "$(other_names "$disk/$code")" ""
written=$(staging_names "$disk/$code" | (cd "$disk/$code" && xargs -r stat -c %s) | sort -n | tail -1)
[ "${written:-0}" -ge 1048576 ] && [ "$written" -lt "$(stat -c %s "$cab")" ] ||
  fail "not in the cabinet's second segment when the box shows: ${written:-no} temporary bytes of $(stat -c %s "$cab")"
rm -f "$disk/filler"
answer Return
finish_stub "$log"
expect_eq "exit code after Retry" "$EXIT_CODE" 0
expect_eq "boxes after Retry" "$BOXES" 1
cmp "$disk/$code/product.cab" "$cab" || fail "the resumed cabinet differs from the product's"
cmp "$disk/$code/main.msi" "$msi" || fail "main.msi differs from the product's"
expect_eq "files after Retry" "$(ls -A "$disk/$code" | tr '\n' ' ')" "main.msi product.cab "
"$MSISTUB_WINE" reg query "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" \
  /v UninstallString >/dev/null 2>&1 || fail "the product is not registered after Retry"
echo "Retry: $written of $(stat -c %s "$cab") cabinet bytes written (temporary name) before the box; exit $EXIT_CODE; files identical; product registered"
echo "disk full: all cases passed"
