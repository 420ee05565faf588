#!/usr/bin/env bash
# Tampered setups run by the real stub under Wine: a flipped byte in the manifest's signature,
# in the cabinet record's signature, in the middle of the cabinet's data, a file cut short,
# cut at the cabinet record's start, a copy of the manifest record appended, a record with the
# cabinet's id signed with another key appended, the MSI and cabinet records swapping ids
# (each still carries its valid signature; the manifest's digests tell them apart). Each ends
# with string 101 in one box and its code, the same code without a box when quiet (/quiet),
# leaves the drive untouched (no Installer\<code> folder) and installs nothing. A copy of the
# MSI record appended changes nothing: the setup installs, with files identical to the
# product's.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
work=$MSISTUB_BUILD/tests/reliability/tamper
code=$(new_code)
trap 'exit 1' TERM INT
trap 'stop_wine; "$MSISTUB_WINE" msiexec /x "$code" /qn >/dev/null 2>&1; rm -rf "$work" "${INSTALLER:?}/$code" "$BOX_LOG" "$BOX_LOG.out"' EXIT
make_setup "$work" "Tamper Product" "$code" 1
setup=$work/setup.exe
read -r _ _ mstart msig mend < <(records "$setup" | sed -n 1p)
read -r _ msiid fstart fsig fend < <(records "$setup" | sed -n 2p)
read -r _ cabid cstart csig cend < <(records "$setup" | sed -n 3p)
[ "$msiid/$cabid" = 1000/1001 ] || fail "unexpected records: $(records "$setup")"
[ "$cend" = "$(stat -c %s "$setup")" ] || fail "the container does not end the file"

flip() { cp "$setup" "$1" && flip_byte "$1" "$2"; }  # flip OUT OFFSET
variant() {  # variant NAME: the tampered copy as $work/NAME.exe
  local out=$work/$1.exe
  case $1 in
    manifest-flipped) flip "$out" $(( (msig + mend - 28) / 2 )) ;;
    cabinet-flipped) flip "$out" $(( (csig + cend - 28) / 2 )) ;;
    cabinet-data-flipped) flip "$out" $(( (cstart + csig) / 2 )) ;;
    other-key-appended)
      # The cabinet's record from a container of the same product signed with another key.
      "$PACK" keygen --out "$work/other" >/dev/null || fail "keygen"
      "$PACK" build --key "$work/other.private.pem" \
        --package "x64:1033:$code:Tamper Product:$work/product/product.msi" \
        --cab "$work/product/product.cab:1000" --container "$work/other.bin" >/dev/null ||
        fail "container with another key"
      read -r _ oid ostart _ oend < <(records "$work/other.bin" | sed -n 3p)
      [ "$oid" = 1001 ] || fail "unexpected records in other.bin: $(records "$work/other.bin")"
      { cat "$setup"; tail -c +$(( ostart + 1 )) "$work/other.bin" | head -c $(( oend - ostart )); } >"$out" ;;
    cut-short) head -c $(( cend - 10 )) "$setup" >"$out" ;;
    cut-at-cabinet) head -c "$cstart" "$setup" >"$out" ;;
    manifest-appended) { cat "$setup"; tail -c +$(( mstart + 1 )) "$setup" | head -c $(( mend - mstart )); } >"$out" ;;
    ids-swapped)
      cp "$setup" "$out"
      python3 - "$out" $(( fend - 28 + 16 )) $(( cend - 28 + 16 )) <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    a, b = int(sys.argv[2]), int(sys.argv[3])
    f.seek(a); x = f.read(4); f.seek(b); y = f.read(4)
    f.seek(a); f.write(y); f.seek(b); f.write(x)
PY
      ;;
    msi-appended) { cat "$setup"; tail -c +$(( fstart + 1 )) "$setup" | head -c $(( fend - fstart )); } >"$out" ;;
  esac
}

before=$(snapshot)
printf '%-20s %-6s %s\n' case exit box
for row in manifest-flipped:1392 cabinet-flipped:13 cabinet-data-flipped:13 cut-short:1168 \
           cut-at-cabinet:13 manifest-appended:13 other-key-appended:13 ids-swapped:13; do
  name=${row%%:*} want=${row#*:}
  variant "$name"
  run_with_box "$name.exe" "$work/$name.exe"
  expect_eq "$name: box text" "$BOX_TEXT" "$TEXT101"
  expect_eq "$name: exit code" "$EXIT_CODE" "$want"
  run_without_box "$work/$name.exe" /quiet
  expect_eq "$name: exit code, quiet" "$EXIT_CODE" "$want"
  [ ! -e "$INSTALLER/$code" ] || fail "$name: $INSTALLER/$code was created"
  printf '%-20s %-6s %s\n' "$name" "$EXIT_CODE" "string 101; quiet: no box"
done
after=$(snapshot)
[ "$before" = "$after" ] || fail "files or folders changed: $(diff <(echo "$before") <(echo "$after"))"
"$MSISTUB_WINE" reg query "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" \
  /v UninstallString >/dev/null 2>&1 && fail "a tampered setup installed the product"

# The nearest of two equal records is used: the copy, whose bytes are the original's.
variant msi-appended
run_without_box "$work/msi-appended.exe" /qn
expect_eq "msi-appended: exit code" "$EXIT_CODE" 0
cmp -s "$INSTALLER/$code/main.msi" "$work/product/product.msi" || fail "msi-appended: main.msi differs"
cmp -s "$INSTALLER/$code/product.cab" "$work/product/product.cab" || fail "msi-appended: product.cab differs"
"$MSISTUB_WINE" reg query "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" \
  /v UninstallString >/dev/null 2>&1 || fail "msi-appended: the product is not registered"
printf '%-20s %-6s %s\n' msi-appended "$EXIT_CODE" "none (installed, files identical)"
echo "tampered setups: all cases passed"
