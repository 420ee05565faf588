#!/usr/bin/env bash
# What msiexec reads is what the stub verified. With a stand-in msiexec.exe in the prefix's
# system32 (fake_msiexec.c; the real one is put back on every path):
#   release 1, then release 2 of the same product code (another MSI, another cabinet under
#     the same name): release 1's files stay in C:\windows\Installer\<code> after it; the
#     installer of release 2 reads release 2's files byte for byte
#   while that installer runs, another process cannot open main.msi or the cabinet for
#     writing or for deletion, rename them, or rename their folder; it can read them
#   release 2 again: its files already there are used as they are, not written again
#   arguments outside the ANSI code page (Japanese, U+FF02) reach msiexec exactly
#   a correctly signed manifest without digest fields: string 101, exit 13, nothing created;
#     the same payload in a stub built to accept unbound manifests installs (real msiexec)
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
work=$MSISTUB_BUILD/tests/reliability/trust
name="Trust Product"
code=$(new_code)
trap 'clean_up_product_run "$work" "$code"' EXIT
trap 'exit 1' TERM INT
make_setup "$work/r1" "$name" "$code" 1
make_setup "$work/r2" "$name" "$code" 2
for f in product.msi product.cab; do
  cmp -s "$work/r1/product/$f" "$work/r2/product/$f" && fail "the two releases share $f"
done
export RELIABILITY_FAKE_LOG
RELIABILITY_FAKE_LOG=$(winpath "$work/fake.log")
fakelog=$work/fake.log
folder=$INSTALLER/$code

# run_setup SETUP ACTION [ARGS...]: the setup with the stand-in doing ACTION; no box.
run_setup() {
  local setup=$1 action=$2; shift 2
  rm -f "$fakelog"
  RELIABILITY_FAKE_ACTION=$action start_stub "$work/run.log" "$setup" "$@"
  finish_stub "$work/run.log"
  expect_eq "boxes ($setup $action)" "$BOXES" 0
  grep -q "package=present" "$fakelog" 2>/dev/null ||
    fail "the installer did not find the package: $(cat "$fakelog" 2>/dev/null)"
}

fake_msiexec
# Release 1: installer ends with 0, nothing registers the product, so the files stay.
run_setup "$work/r1/setup.exe" exit:0
expect_eq "exit code of release 1" "$EXIT_CODE" 0
cmp -s "$folder/main.msi" "$work/r1/product/product.msi" || fail "release 1's main.msi is not kept"
echo "ok: release 1 leaves its files in C:\\windows\\Installer\\<code>"

# Release 2: what the installer reads, and what another process can do meanwhile.
mkdir -p "$work/seen"
RELIABILITY_FAKE_COPY=$(winpath "$work/seen") RELIABILITY_FAKE_PROBE=1 \
  run_setup "$work/r2/setup.exe" exit:0
expect_eq "exit code of release 2" "$EXIT_CODE" 0
cmp -s "$work/seen/main.msi" "$work/r2/product/product.msi" ||
  fail "the installer of release 2 read another main.msi (release 1's: $(cmp -s "$work/seen/main.msi" "$work/r1/product/product.msi" && echo yes || echo no))"
cmp -s "$work/seen/product.cab" "$work/r2/product/product.cab" ||
  fail "the installer of release 2 read another cabinet"
echo "ok: release 2's installer reads release 2's main.msi and cabinet byte for byte"
for f in main.msi product.cab; do
  expect_eq "what another process could do to $f while the installer ran" \
    "$(tr -d '\r' <"$fakelog" | grep "^probe $f ")" \
    "probe $f write=denied delete=denied rename=denied read=ok"
done
expect_eq "renaming the folder while the installer ran" \
  "$(tr -d '\r' <"$fakelog" | grep '^probe-folder')" \
  "probe-folder rename=denied"
echo "ok: no writing, deleting or renaming while the installer runs; reading works"

# Release 2 again: its files are there with the right bytes and are not written again.
stamps() { stat -c '%n %.9Y %i' "$folder/main.msi" "$folder/product.cab"; }
before=$(stamps)
sleep 1.1
# The arguments as a wrapper passes them: characters outside code page 1252, a fullwidth
# quotation mark (best-fit conversion would make it '"'), and an argument with a blank.
run_setup "$work/r2/setup.exe" exit:0 'PROP=日本語' '＂/qn＂' 'NAME=名 前'
expect_eq "exit code of release 2 again" "$EXIT_CODE" 0
expect_eq "files already there (name, modified, inode)" "$(stamps)" "$before"
line=$(sed -n 's/^cmdline=//p' "$fakelog" | tr -d '\r')
expect_eq "the installer's command line after the package" "${line#*main.msi}" \
  ' PROP=日本語 ＂/qn＂ "NAME=名 前"'
echo "ok: identical files used as they are; arguments reach msiexec exactly"

# A failing installer: the clean-up still deletes the files and the folder.
run_setup "$work/r2/setup.exe" exit:1603
expect_eq "exit code of a failing installer" "$EXIT_CODE" 1603
[ ! -e "$folder" ] || fail "$folder is left after a failed installer: $(ls "$folder")"
echo "ok: the clean-up after a failing installer removes the files and the folder"

# A manifest without digest fields, correctly signed by the payload key.
product=$work/r2/product
entries=("1000:x64\\1033\\$code\\$name:$product/product.msi"
         "1001:cab\\1000\\product.cab:$product/product.cab")
"$here/plain_container.py" "$KEY" "$work/unbound.exe" --into "$work/r2/stub-signed.exe" \
  "${entries[@]}" || fail "plain container"
before=$(snapshot)
run_with_box unbound.exe "$work/unbound.exe"
expect_eq "box for a digest-less manifest" "$BOX_TEXT" "$TEXT101"
expect_eq "exit code for a digest-less manifest" "$EXIT_CODE" 13
expect_eq "drive after a digest-less manifest" "$(snapshot)" "$before"
echo "ok: a digest-less manifest is refused before anything is created"
osslsigncode sign -certs "$work/r2/signer.crt" -key "$work/r2/signer.key" \
  -in "$MSISTUB_BUILD/stub/msistub_accept_unbound.exe" -out "$work/accepting-signed.exe" \
  >/dev/null || fail "signing the accepting stub"
"$here/plain_container.py" "$KEY" "$work/accepting.exe" --into "$work/accepting-signed.exe" \
  "${entries[@]}" || fail "plain container"
real_msiexec
run_without_box "$work/accepting.exe" /qn
expect_eq "exit code of the accepting stub" "$EXIT_CODE" 0
"$MSISTUB_WINE" reg query "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" \
  /v UninstallString >/dev/null 2>&1 || fail "not installed by the accepting stub"
echo "ok: a stub built to accept unbound manifests installs it"
echo "trust: all cases passed"
