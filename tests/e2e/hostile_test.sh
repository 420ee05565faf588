#!/usr/bin/env bash
# Setups and machines prepared by somebody else, through the real stub:
#   silent       /qn while the Installer folder cannot be used: the run ends by itself with
#                the cause, no dialog, installer not started, nothing left behind
#   own path     the setup at a path that code page 1252 cannot name installs
#   fullwidth    a product name with U+FF3C (the fullwidth backslash, '\' when mapped best-fit
#                in code page 1252) installs; the smuggling setup built from it (a digest
#                field hidden in the name, another record of the same key behind it) is
#                refused by the stub (13, string 101) and reported by msistub-pack verify
#   japanese     under ja_JP (code page 932) a product "ソフト製品" with its cabinet
#                "ソフト.cab" (trail bytes 0x5C) installs, the cabinet under exactly that name
set -u
. "$(dirname "$0")/lib.sh"
e2e_begin hostile
PLAIN=$MSISTUB_SOURCE/tests/reliability/plain_container.py
DOCUMENTS=$USER_HOME/Documents

# Silent run with the Installer folder taken by a file of the product code's name.
CODE="{5A1E2C3D-4B5F-4A6B-8C7D-9E0F1A2B3C01}" NAME="msistub E2E Silent"
forget_product "$CODE"
rm -rf "${DOCUMENTS:?}/$CODE"*
mkdir -p "$WINDOWS/Installer"
blocker=$(installer_dir "$CODE")
echo "a file where the product's folder would go" >"$blocker"
on_exit 'rm -f "$blocker"'
make_product silent --name "$NAME" --code "$CODE" --size-mb 1
pack silent.exe --package "x64:1033:$CODE:$NAME:silent/product.msi" --cab silent/product.cab:1000
BOX_EXTRA_DEBUG=+win run_without_box "$E2E_WORK/silent.exe" /qn
[ -n "$EXIT_CODE" ] && [ "$EXIT_CODE" != 0 ] && [ "$EXIT_CODE" != 1223 ] ||
  fail "a silent run with no usable folder ended with '$EXIT_CODE'"
grep -qF "$TEXT_BROWSE_TITLE" "$BOX_LOG" && fail "the browse dialog was shown in a silent run"
is_registered "$CODE" && fail "installed although no folder could be used"
expect_eq "the blocking file" "$(cat "$blocker")" "a file where the product's folder would go"
[ -z "$(ls -d "$DOCUMENTS/$CODE"* 2>/dev/null)" ] || fail "files left below the documents folder"
rm -f "$blocker"
echo "ok: silent run without a usable folder ends with $EXIT_CODE, no dialog, nothing left"

# A product name with a fullwidth backslash.
CODE="{5A1E2C3D-4B5F-4A6B-8C7D-9E0F1A2B3C02}"
FULLWIDTH=$'Wide\uff3cName'
forget_product "$CODE"
make_product wide --name "msistub E2E Wide" --code "$CODE" --size-mb 1
make_product other --name "msistub E2E Other" --code "$CODE" --size-mb 1 --seed 7
pack wide.exe --package "x64:1033:$CODE:$FULLWIDTH:wide/product.msi" --cab wide/product.cab:1000
MSISTUB_LANG=en_US.UTF-8 run_without_box "$E2E_WORK/wide.exe" /qn
expect_eq "exit code of the setup with a fullwidth backslash in its name" "$EXIT_CODE" 0
is_registered "$CODE" || fail "the product with a fullwidth backslash in its name is not installed"
forget_product "$CODE"
echo "ok: a product name with U+FF3C installs under code page 1252"

# The setup's own path outside the code page: it still reads itself.
cp wide.exe "セットアップ.exe"
MSISTUB_LANG=en_US.UTF-8 run_without_box "$E2E_WORK/セットアップ.exe" /qn
expect_eq "exit code of a setup whose path is outside the code page" "$EXIT_CODE" 0
is_registered "$CODE" || fail "the setup at a path outside the code page did not install"
forget_product "$CODE"
echo "ok: a setup at a path outside code page 1252 installs"

# The smuggling setup: the name carries a digest field of another record signed with the same
# key; read best-fit and split afterwards it would move the digest field onto that record.
sha() { sha256sum "$1" | cut -c1-64; }
descriptor="x64\\1033\\$CODE\\Evil"$'\uff3c'"sha256=$(sha other/product.msi)\\sha256=$(sha wide/product.msi)"
cabline="cab\\1000\\product.cab\\sha256=$(sha wide/product.cab)"
python3 "$PLAIN" "$E2E_KEY" smuggle.exe --into "$(signed_stub)" \
  "1000:$descriptor:other/product.msi" "1001:$cabline:wide/product.cab" ||
  fail "plain_container.py smuggle.exe"
MSISTUB_LANG=en_US.UTF-8 run_with_box smuggle.exe "$E2E_WORK/smuggle.exe"
expect_eq "exit code of the smuggling setup" "$EXIT_CODE" 13
expect_eq "message of the smuggling setup" "$BOX_TEXT" "$TEXT_CORRUPTED"
is_registered "$CODE" && fail "the smuggled package was installed"
expect_absent "product folder of the smuggling setup" "$(installer_dir "$CODE")"
verify_out=$("$PACK" verify --key "$(dirname "$E2E_KEY")/payload-public.pem" smuggle.exe 2>&1) &&
  fail "msistub-pack verify passes the smuggling setup: $verify_out"
grep -q 'does not match the entry' <<<"$verify_out" ||
  fail "msistub-pack verify does not name the mismatch: $verify_out"
echo "ok: the smuggling setup is refused by the stub and reported by verify"

# Japanese names whose characters end in the byte 0x5C in code page 932.
CODE="{5A1E2C3D-4B5F-4A6B-8C7D-9E0F1A2B3C03}" NAME="ソフト製品" CAB="ソフト.cab"
forget_product "$CODE"
make_product japanese --name "$NAME" --code "$CODE" --lang 1041 --size-mb 1 --cab "$CAB"
pack japanese.exe --package "x64:1041:$CODE:$NAME:japanese/product.msi" --cab "japanese/$CAB:1000"
MSISTUB_LANG=ja_JP.UTF-8 run_without_box "$E2E_WORK/japanese.exe" /qn
expect_eq "exit code of the Japanese setup" "$EXIT_CODE" 0
is_registered "$CODE" || fail "the Japanese product is not installed"
expect_same_file "the cabinet under its Japanese name" "$(installer_dir "$CODE")/$CAB" "japanese/$CAB"
forget_product "$CODE"
echo "ok: ソフト製品 with ソフト.cab installs under ja_JP"

e2e_end
echo "hostile: all cases passed"
