#!/usr/bin/env bash
# The stub run as a program under Wine, without any payload: string 101 in one box captioned
# with the file's name and exit code 1168; no box with a quiet switch; nothing created on
# disk; and DLLs planted beside it under the names it imports are never loaded.
set -u
. "$(dirname "$0")/box.sh"
stub=$MSISTUB_BUILD/stub/msistub.exe
work=$MSISTUB_BUILD/stub/run-test
rm -rf "$work"
mkdir -p "$work/Downloads"
trap 'rm -rf "$work" "$BOX_LOG" "$BOX_LOG.out"' EXIT
setup="$work/Downloads/Product Setup.exe"
cp "$stub" "$setup"

snapshot() {
  find "$WINEPREFIX/drive_c" "$work/Downloads" -path '*/windows/logs' -prune -o -print 2>/dev/null |
    grep -v -e '/users/[^/]*/Temp' -e '/windows/temp' | sort
}
export WINEPREFIX=$MSISTUB_BUILD/wineprefix
before=$(snapshot)

text101="The installation file is either corrupted or does not support your processor architecture."
run_with_box "Product Setup.exe" "$setup"
expect_eq "box text" "$BOX_TEXT" "$text101"
expect_eq "exit code" "$EXIT_CODE" 1168

run_with_box "Product Setup.exe" "$setup" /qb TARGETDIR=C:\\x -q
expect_eq "box text with other switches" "$BOX_TEXT" "$text101"
expect_eq "exit code" "$EXIT_CODE" 1168

for quiet in /quiet /QUIET /Qn /q; do
  run_without_box "$setup" /L*V log.txt "$quiet"
  expect_eq "exit code with $quiet" "$EXIT_CODE" 1168
done

# Without string 101 in the resources the box falls back to the system's text with context.
cp "$MSISTUB_BUILD/stub/msistub_nostrings.exe" "$work/Downloads/nostrings.exe"
run_with_box nostrings.exe "$work/Downloads/nostrings.exe"
case $BOX_TEXT in
  "Error 1168"*) fail "no system text for 1168: $BOX_TEXT" ;;
  *" (1, 1168, payload/"*".cpp:"[0-9]*").") ;;  # the place: the file and line that failed
  *) fail "text without string 101: $BOX_TEXT" ;;
esac
expect_eq "exit code without strings" "$EXIT_CODE" 1168
rm -f "$work/Downloads/nostrings.exe"

after=$(snapshot)
[ "$before" = "$after" ] || fail "files or folders changed: $(diff <(echo "$before") <(echo "$after"))"

# Planted DLLs. Wine normally prefers its own builtin DLLs, which would hide the danger; the
# override makes it search native DLLs first, in the order Windows uses. The probe shows the
# plant works: a program with the default search order loads it. The stub is signed, so its
# payload search really calls the cryptographic message functions.
dlls="crypt32 comctl32 bcrypt"
for dll in $dlls; do cp "$MSISTUB_BUILD/stub/planted_dll.dll" "$work/Downloads/$dll.dll"; done
cp "$MSISTUB_BUILD/stub/load_probe.exe" "$work/Downloads/"
export WINEDLLOVERRIDES="mscoree,mshtml=;$(echo $dlls | tr ' ' ,)=n,b"
"$MSISTUB_WINE" "$work/Downloads/load_probe.exe" crypt32.dll >/dev/null 2>&1
[ -e "$work/Downloads/planted-crypt32.dll.loaded" ] || fail "the planted DLL is not picked up even by an unprotected program: the check would prove nothing"
rm -f "$work/Downloads/"planted-*.loaded "$work/Downloads/load_probe.exe"

openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=msistub-test -days 2 \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 || fail "no test certificate"
rm -f "$setup"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$stub" -out "$setup" >/dev/null \
  || fail "signing failed"
MSISTUB_WINEDEBUG=+msgbox,+loaddll timeout 60 "$MSISTUB_WINE" "$LAUNCH" "$setup" /quiet \
  >"$BOX_LOG.out" 2>"$BOX_LOG"
rc=$?
loaded=$(ls "$work/Downloads/" | grep '^planted-' || true)
[ -z "$loaded" ] || fail "planted DLLs were loaded: $loaded"
[ $rc = 0 ] || fail "the signed stub did not end by itself"
grep -q 'Loaded .*crypt32' "$BOX_LOG" || fail "the signed stub never loaded crypt32"
! grep -q 'trace:msgbox' "$BOX_LOG" || fail "a box was shown for a quiet run"
expect_eq "exit code of the signed stub" "$(sed -n 's/^exit=\([0-9]*\).*/\1/p' "$BOX_LOG.out" | tr -d '\r')" 1168
echo "stub run: all cases passed"
