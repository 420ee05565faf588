#!/usr/bin/env bash
# The installer failing after the files are extracted, with a stand-in msiexec.exe in the
# prefix's system32 (the real one is put back on every path):
#   exit code 1603, a crash (access violation), killed from outside while it runs: the stub
#   ends with the installer's code and shows no box; the package was there when the
#   installer ran, and afterwards the product-code folder is gone (product not registered).
#   A second run for a product that is installed, with an installer that fails: the stub
#   ends with its code and deletes nothing.
#   A restart request (3010) after the installer registered the product: 3010, no box, the
#   files kept; 3010 and a cancel (1602) without registration: no box, the files and the
#   folder removed.
#   An msiexec.exe that cannot be started (not a program): the system's text with the
#   installer's path in the box, the start error as the exit code, nothing left behind.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
work=$MSISTUB_BUILD/tests/reliability/faults
name="Fault Product"
code=$(new_code)
fake=$FAKE_MSIEXEC
trap 'clean_up_product_run "$work" "$code"' EXIT
trap 'exit 1' TERM INT
make_setup "$work" "$name" "$code" 1
export RELIABILITY_FAKE_LOG
RELIABILITY_FAKE_LOG=$(winpath "$work/fake.log")
fakelog=$work/fake.log
uninstall_key="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code"

# Runs the setup without a quiet switch (so a box would show) with the stand-in doing $1;
# one that waits is killed from outside with the exit code in $2 ("terminate:CODE").
run_fake() {
  local action=$1 killer=${2:-} log=$work/run.log i pid
  rm -f "$fakelog"
  RELIABILITY_FAKE_ACTION=$action start_stub "$log" "$work/setup.exe"
  if [ "$action" = wait ]; then
    for i in $(seq 120); do [ -s "$fakelog" ] && break; sleep 0.5; done
    pid=$(sed -n 's/^pid=\([0-9]*\) .*/\1/p' "$fakelog")
    [ -n "$pid" ] || fail "the stand-in installer did not start"
    "$MSISTUB_WINE" "$fake" --kill "$pid" "${killer#*:}" >/dev/null 2>&1 ||
      fail "$killer did not end process $pid"
  fi
  finish_stub "$log"
  expect_eq "boxes ($action)" "$BOXES" 0
  grep -q "action=$action package=present size=$(stat -c %s "$work/product/product.msi")" "$fakelog" ||
    fail "the installer ($action) did not find the whole package: $(cat "$fakelog" 2>/dev/null)"
}

# An unhandled exception ends the process with its code, as on a system without crash
# reporting, instead of Wine's crash dialog.
"$MSISTUB_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
  >/dev/null 2>&1 || fail "cannot switch off the crash dialog"
fake_msiexec
printf '%-22s %-11s %s\n' installer exit "C:\\windows\\Installer\\<code> afterwards"
# Killed with exit code 1 (as taskkill /f does on Windows) it counts as failed; killed with
# 0 (as Wine's taskkill /f does) it counts as success, and the files stay (they are removed
# here before the next case).
for row in exit:1603/-/1603/removed crash/-/3221225477/removed wait/terminate:1/1/removed \
           wait/terminate:0/0/kept; do
  IFS=/ read -r action killer want folder <<<"$row"
  run_fake "$action" "$killer"
  expect_eq "exit code ($action $killer)" "$EXIT_CODE" "$want"
  if [ "$folder" = removed ]; then
    [ ! -e "$INSTALLER/$code" ] || fail "$action: $INSTALLER/$code is left: $(ls "$INSTALLER/$code")"
  else
    cmp -s "$INSTALLER/$code/product.cab" "$work/product/product.cab" || fail "$action: files not kept"
    rm -rf "${INSTALLER:?}/$code"
  fi
  printf '%-22s %-11s %s\n' "$action ${killer#-}" "$EXIT_CODE" "$folder"
done

# Restart requested after registering the product, and without; a cancel.
RELIABILITY_FAKE_REGISTER=1 run_fake exit:3010
expect_eq "exit code of a restart request after registering" "$EXIT_CODE" 3010
grep -q registered "$fakelog" || fail "the stand-in did not register the product"
cmp -s "$INSTALLER/$code/main.msi" "$work/product/product.msi" || fail "3010, registered: main.msi not kept"
cmp -s "$INSTALLER/$code/product.cab" "$work/product/product.cab" || fail "3010, registered: cabinet not kept"
printf '%-22s %-11s %s\n' "exit:3010 (registered)" "$EXIT_CODE" kept
"$MSISTUB_WINE" reg delete "$uninstall_key" /f >/dev/null 2>&1 || fail "cannot remove the Uninstall key"
rm -rf "${INSTALLER:?}/$code"
for want in 3010 1602; do
  run_fake "exit:$want"
  expect_eq "exit code (exit:$want)" "$EXIT_CODE" "$want"
  [ ! -e "$INSTALLER/$code" ] || fail "exit:$want: $INSTALLER/$code is left: $(ls "$INSTALLER/$code")"
  printf '%-22s %-11s %s\n' "exit:$want" "$EXIT_CODE" removed
done

# An msiexec.exe that is no program: found, but it cannot be started.
echo "not a program" >"$SYSTEM32/msiexec.exe"
run_with_box setup.exe "$work/setup.exe"
case $BOX_TEXT in
  *'(C:\\windows\\system32\\msiexec.exe).') ;;  # as Wine traces it: backslashes doubled
  *) fail "the box does not name the installer: $BOX_TEXT" ;;
esac
[ "$EXIT_CODE" != 0 ] && [ "$EXIT_CODE" != 1601 ] || fail "exit code $EXIT_CODE for an installer that did not start"
[ ! -e "$INSTALLER/$code" ] || fail "not started: $INSTALLER/$code is left: $(ls "$INSTALLER/$code")"
printf '%-22s %-11s %s\n' "not a program" "$EXIT_CODE" removed
fake_msiexec

# The product installed for real, then a second run whose installer fails.
real_msiexec
run_without_box "$work/setup.exe" /qn
expect_eq "exit code of the real installation" "$EXIT_CODE" 0
"$MSISTUB_WINE" reg query "$uninstall_key" /v UninstallString >/dev/null 2>&1 ||
  fail "the product is not registered"
rm -f "$INSTALLER/$code/main.msi"  # so that the second run writes one file anew
fake_msiexec
run_fake exit:1603
expect_eq "exit code of the second run" "$EXIT_CODE" 1603
cmp -s "$INSTALLER/$code/main.msi" "$work/product/product.msi" || fail "second run: main.msi was deleted or differs"
cmp -s "$INSTALLER/$code/product.cab" "$work/product/product.cab" || fail "second run: product.cab was deleted or differs"
real_msiexec
"$MSISTUB_WINE" reg query "$uninstall_key" /v UninstallString >/dev/null 2>&1 ||
  fail "the product is no longer registered after the second run"
printf '%-22s %-11s %s\n' "exit:1603 (installed)" "$EXIT_CODE" "kept"
echo "installer faults: all cases passed"
