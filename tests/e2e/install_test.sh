#!/usr/bin/env bash
# A signed setup with one real product, run under Wine as a person would run it:
#   no arguments        exit 0, no box, the product installed, main.msi and the cabinet kept
#                       byte for byte in C:\windows\Installer\<code>
#   forwarded arguments /qn and TARGETPROP="C:\My Apps" typed on the command line reach
#                       msiexec: the product records the property's value
#   failing installer   its exit code (1603) is the stub's, no box of the stub (only the
#                       installer's own, and none with /qn), nothing left behind
#   no msiexec.exe      string 100 in the box, exit 1155, no folder; quiet: no box
set -u
. "$(dirname "$0")/lib.sh"
e2e_begin install
CODE="{3C0D5E7A-81B2-4F4C-9A6D-2E0B7C1D9001}" NAME="msistub E2E Basic"
FAIL_CODE="{3C0D5E7A-81B2-4F4C-9A6D-2E0B7C1D9002}" FAIL_NAME="msistub E2E Refused"
forget_product "$CODE" "$FAIL_CODE"

make_product basic --name "$NAME" --code "$CODE" --record-prop TARGETPROP --size-mb 4
pack basic-setup.exe --package "x64:1033:$CODE:$NAME:basic/product.msi" --cab basic/product.cab:1000
make_product refused --name "$FAIL_NAME" --code "$FAIL_CODE" --fail-unless E2E_ALLOWED --size-mb 1
pack refused-setup.exe --package "x64:1033:$FAIL_CODE:$FAIL_NAME:refused/product.msi" \
  --cab refused/product.cab:1000
folder=$(installer_dir "$CODE")
files="$WINEPREFIX/drive_c/Program Files/$NAME"

# No arguments: installed, no box, the extracted files kept unchanged.
run_without_box "$E2E_WORK/basic-setup.exe"
expect_eq "exit code without arguments" "$EXIT_CODE" 0
for f in readme.txt engine.dll data.bin; do [ -s "$files/$f" ] || fail "not installed: $files/$f"; done
expect_eq "DisplayName in the Uninstall key" "$(reg_value "$UNINSTALL_KEY\\$CODE" DisplayName)" "$NAME"
is_registered "$CODE" || fail "no UninstallString for $CODE"
expect_same_file "kept MSI" "$folder/main.msi" basic/product.msi
expect_same_file "kept cabinet" "$folder/product.cab" basic/product.cab
expect_eq "files kept in $folder" "$(ls "$folder" | tr '\n' ' ')" "main.msi product.cab "
echo "ok: no arguments: installed, files kept"

# Arguments as typed in a command window: cmd hands the line over as it stands, so the
# property arrives with its quotation marks in the middle, as a person types it. A batch
# file waits for the program and ends with its exit code.
forget_product "$CODE"
printf '@%s /qn TARGETPROP="C:\\My Apps"\r\n@exit %%ERRORLEVEL%%\r\n' \
  "$(winpath "$E2E_WORK/basic-setup.exe")" >typed.bat
run_without_box cmd /c "$(winpath "$E2E_WORK/typed.bat")"
expect_eq "exit code with /qn and a property" "$EXIT_CODE" 0
expect_eq "TARGETPROP as msiexec received it" \
  "$(reg_value "HKLM\\Software\\msistub-test\\$CODE" TARGETPROP)" 'C:\My Apps'
[ -s "$files/data.bin" ] || fail "not installed with forwarded arguments"
echo "ok: forwarded arguments"

# The installer refuses (launch condition) and says so in its own box, which is the only
# box of the run: the stub adds none. Its full exit code is the stub's; nothing is kept.
before=$(product_folders)
run_with_box "Install Failed" "$E2E_WORK/refused-setup.exe"
expect_eq "the installer's own box" "$BOX_TEXT" "This test product installs only with E2E_ALLOWED set."
expect_eq "exit code of a refusing installer" "$EXIT_CODE" 1603
is_registered "$FAIL_CODE" && fail "the refused product is registered"
expect_absent "folder after a failed install" "$(installer_dir "$FAIL_CODE")"
expect_eq "Installer folder after a failed install" "$(product_folders)" "$before"
# With /qn forwarded, the installer shows no box of its own either.
run_without_box "$E2E_WORK/refused-setup.exe" /qn
expect_eq "exit code of a refusing installer with /qn" "$EXIT_CODE" 1603
expect_absent "folder after a failed quiet install" "$(installer_dir "$FAIL_CODE")"
echo "ok: failing installer"

# No msiexec.exe in the system directory: nothing is created; the box unless quiet.
msiexec=$WINDOWS/system32/msiexec.exe
[ -f "$msiexec" ] || fail "no $msiexec to hide"
mv "$msiexec" "$msiexec.e2e-hidden" || fail "cannot hide msiexec.exe"
on_exit '[ ! -f "$msiexec.e2e-hidden" ] || mv -f "$msiexec.e2e-hidden" "$msiexec"'
forget_dir=$(installer_dir "$FAIL_CODE")
cp refused-setup.exe no-installer.exe
run_with_box no-installer.exe "$E2E_WORK/no-installer.exe"
expect_eq "box without msiexec.exe" "$BOX_TEXT" "$TEXT_INSTALLER_REQUIRED"
expect_eq "exit code without msiexec.exe" "$EXIT_CODE" 1155
expect_absent "folder without msiexec.exe" "$forget_dir"
for quiet in /qn /QUIET; do
  run_without_box "$E2E_WORK/no-installer.exe" "$quiet" E2E_ALLOWED=1
  expect_eq "exit code without msiexec.exe, $quiet" "$EXIT_CODE" 1155
done
expect_absent "folder without msiexec.exe" "$forget_dir"
expect_eq "Installer folder without msiexec.exe" "$(product_folders)" "$before"
mv -f "$msiexec.e2e-hidden" "$msiexec"
echo "ok: no installer"
forget_product "$CODE"
e2e_end
echo "install: all cases passed"
