#!/usr/bin/env bash
# The default folder cannot be made (a file holds the product code's name in
# C:\windows\Installer), so the stub asks for a folder with the shell's browse dialog:
#   cancel      the dialog shows the title text; Escape ends the run with 1223, no box, and
#               nothing is left behind
#   accept      Return takes the preselected folder, the documents folder: the files are
#               extracted below it and the product installs
#   navigate    one step down in the folder tree (from Documents to Downloads), then OK: the
#               files go there and the product installs
#   planted     byte-exact copies of the product's main.msi and cabinet, put in
#               Documents\<code> by somebody else: never what msiexec reads and left as they
#               were; the stub makes Documents\<code>-2 of its own and installs from there
#   link        Documents\<code> is a symbolic link to a folder elsewhere: never used,
#               nothing is written or deleted through it; Documents\<code>-2 again
#   junction    the profile folder above Documents leads elsewhere (a link): choosing
#               Documents shows a warning and brings the dialog back; cancelling leaves nothing
#   drive root  the root of drive D: chosen in the folder tree: the files go to D:\<code>,
#               with one backslash between
set -u
. "$(dirname "$0")/lib.sh"
e2e_begin browse
CODE="{7B2C4D6E-8F0A-4B1C-9D2E-3F4A5B6C7D01}" NAME="msistub E2E Browse"
DOCUMENTS=$USER_HOME/Documents DOWNLOADS=$USER_HOME/Downloads
[ -d "$DOCUMENTS" ] && [ ! -L "$DOCUMENTS" ] || fail "no documents folder of the prefix at $DOCUMENTS"
forget_product "$CODE"
rm -rf "$DOCUMENTS/$CODE" "$DOWNLOADS/$CODE"
mkdir -p "$WINDOWS/Installer"
blocker=$(installer_dir "$CODE")
echo "a file where the product's folder would go" >"$blocker"
on_exit 'rm -f "$blocker"'
make_product product --name "$NAME" --code "$CODE" --size-mb 2
pack browse.exe --package "x64:1033:$CODE:$NAME:product/product.msi" --cab product/product.cab:1000

# answer WINDOW KEYS...: the keys, one by one, to the dialog; then the dialog must go.
answer() {
  local w=$1 k; shift
  sleep 2  # the dialog preselects its start folder once it is shown (a second under load)
  for k in "$@"; do keys "Browse for Folder" "$k"; sleep 0.3; done
  for _ in $(seq 50); do
    [ "$(prefix_window "Browse for Folder")" = "$w" ] || return 0
    sleep 0.2
  done
  fail "the browse dialog stays open after $*"
}

# Cancel. The title text is a static control of the dialog, traced when it is set.
start_stub +msgbox,+win "$E2E_WORK/browse.exe"
wait_window "Browse for Folder"
answer "$WINDOW" Escape
end_stub
expect_eq "exit code after cancelling the browse dialog" "$EXIT_CODE" 1223
grep -qF "set_window_text L\"$TEXT_BROWSE_TITLE\"" "$BOX_LOG" ||
  fail "the browse dialog does not show the title '$TEXT_BROWSE_TITLE'"
expect_absent "folder below the documents folder after cancel" "$DOCUMENTS/$CODE"
expect_eq "the blocking file after cancel" "$(cat "$blocker")" "a file where the product's folder would go"
is_registered "$CODE" && fail "installed after cancel"
echo "ok: cancel"

# check_installed FOLDER: the product is installed from files extracted to FOLDER.
check_installed() {
  expect_eq "exit code" "$EXIT_CODE" 0
  is_registered "$CODE" || fail "not installed from $1"
  expect_same_file "MSI extracted" "$1/main.msi" product/product.msi
  expect_same_file "cabinet extracted" "$1/product.cab" product/product.cab
}

# Accept the preselection.
start_stub +msgbox "$E2E_WORK/browse.exe"
wait_window "Browse for Folder"
answer "$WINDOW" Return
end_stub
check_installed "$DOCUMENTS/$CODE"
echo "ok: accept the preselected documents folder"

# Navigate: the keyboard focus into the folder tree, one folder down, OK.
forget_product "$CODE"
rm -rf "$DOCUMENTS/$CODE"
echo "a file where the product's folder would go" >"$blocker"
start_stub +msgbox "$E2E_WORK/browse.exe"
wait_window "Browse for Folder"
answer "$WINDOW" shift+Tab Down Return
end_stub
check_installed "$DOWNLOADS/$CODE"
expect_absent "folder below the documents folder" "$DOCUMENTS/$CODE"
echo "ok: navigate to another folder"

# next_dialog: waits for the browse dialog shown again after the current one closed.
next_dialog() {
  local old=$WINDOW i
  for i in $(seq 100); do
    WINDOW=$(prefix_window --other "$old" "Browse for Folder")
    [ -n "$WINDOW" ] && return 0
    kill -0 "$STUB_PID" 2>/dev/null || break
    sleep 0.2
  done
  fail "the browse dialog did not come back (the program ended: $(cat "$BOX_LOG.out" 2>/dev/null))"
}

# Byte-exact copies of the product's files, planted in the preselected folder.
forget_product "$CODE"
rm -rf "$DOCUMENTS/$CODE"* "$DOWNLOADS/$CODE"
echo "a file where the product's folder would go" >"$blocker"
mkdir -p "$DOCUMENTS/$CODE"
cp product/product.msi "$DOCUMENTS/$CODE/main.msi"
cp product/product.cab "$DOCUMENTS/$CODE/product.cab"
touch -d '2001-01-01' "$DOCUMENTS/$CODE/main.msi" "$DOCUMENTS/$CODE/product.cab"
start_stub +msgbox "$E2E_WORK/browse.exe"
wait_window "Browse for Folder"
answer "$WINDOW" Return
end_stub
check_installed "$DOCUMENTS/$CODE-2"
expect_eq "files in the planted folder" "$(ls "$DOCUMENTS/$CODE" | tr '\n' ' ')" "main.msi product.cab "
expect_eq "planted files untouched" "$(stat -c %Y "$DOCUMENTS/$CODE/main.msi" "$DOCUMENTS/$CODE/product.cab" | sort -u)" \
  "$(date -d 2001-01-01 +%s)"
echo "ok: planted files are never used or changed; a folder of the stub's own is made"

# A symbolic link where the product-code folder would go.
forget_product "$CODE"
rm -rf "$DOCUMENTS/$CODE"* "$DOWNLOADS/$CODE"
echo "a file where the product's folder would go" >"$blocker"
mkdir -p "$E2E_WORK/elsewhere"
echo "elsewhere" >"$E2E_WORK/elsewhere/keep.txt"
ln -s "$E2E_WORK/elsewhere" "$DOCUMENTS/$CODE"
on_exit '[ -L "$DOCUMENTS/$CODE" ] && rm -f "$DOCUMENTS/$CODE"'
start_stub +msgbox "$E2E_WORK/browse.exe"
wait_window "Browse for Folder"
answer "$WINDOW" Return
end_stub
check_installed "$DOCUMENTS/$CODE-2"
[ -L "$DOCUMENTS/$CODE" ] || fail "the link was removed or replaced"
expect_eq "the folder the link leads to" "$(ls "$E2E_WORK/elsewhere" | tr '\n' ' ')" "keep.txt "
echo "ok: a linked product-code folder is never used"
rm -f "$DOCUMENTS/$CODE"

# A chosen folder reached through a link: the user's profile folder, above the preselected
# Documents, leads to another folder of the drive.
forget_product "$CODE"
rm -rf "$DOCUMENTS/$CODE"* "$DOWNLOADS/$CODE"
echo "a file where the product's folder would go" >"$blocker"
PROFILE_REAL=$USER_HOME.real
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
mv "$USER_HOME" "$PROFILE_REAL"
ln -s "$PROFILE_REAL" "$USER_HOME"
on_exit 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; [ -L "$USER_HOME" ] && rm -f "$USER_HOME" && mv "$PROFILE_REAL" "$USER_HOME"'
start_stub +msgbox "$E2E_WORK/browse.exe"
wait_window "Browse for Folder"
answer "$WINDOW" Return
wait_window "Extraction folder"
grep -q 'reached through a junction, a symbolic link or a mount point' "$BOX_LOG" ||
  fail "no warning about the linked folder: $(grep msgbox "$BOX_LOG")"
keys "Extraction folder" Return
next_dialog
answer "$WINDOW" Escape
for _ in $(seq 300); do kill -0 "$STUB_PID" 2>/dev/null || break; sleep 0.2; done
kill -0 "$STUB_PID" 2>/dev/null && fail "the program did not end after the warning and cancelling"
wait "$STUB_PID"
EXIT_CODE=$(sed -n 's/^exit=\([0-9]*\).*/\1/p' "$BOX_LOG.out" | tr -d '\r')
expect_eq "exit code after the warning and cancelling" "$EXIT_CODE" 1223
expect_eq "product folders below the linked profile" "$(find "$PROFILE_REAL" -maxdepth 2 -name "$CODE*" | wc -l)" 0
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
rm -f "$USER_HOME"; mv "$PROFILE_REAL" "$USER_HOME"
echo "ok: a folder reached through a link is refused with a warning"

# A drive root: drive D: of the prefix is a folder of this test. In the folder tree (Desktop,
# /, Documents, My Computer, (C:) expanded, (D:), (Z:)) the keys go to the top, down to (C:),
# collapse it, one down to (D:), OK.
forget_product "$CODE"
echo "a file where the product's folder would go" >"$blocker"
drive=$WINEPREFIX/dosdevices/d:
[ ! -e "$drive" ] || fail "the prefix already has a drive D: ($drive)"
mkdir -p "$E2E_WORK/ddrive"
ln -s "$E2E_WORK/ddrive" "$drive"
# A key lost under load could end on another drive, such as Z: (the Linux root).
on_exit 'rm -f "$drive"; rm -rf "${CODE:?}" "/${CODE:?}"'
# The prefix's programs see a new drive once they start again.
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
start_stub +msgbox "$E2E_WORK/browse.exe"
wait_window "Browse for Folder"
# Each key waits for the tree to follow the one before (expanding a node takes a moment).
sleep 1
for k in shift+Tab Home Down Down Down Down Left Down; do
  keys "Browse for Folder" "$k"
  sleep 0.8
done
answer "$WINDOW" Return
end_stub
check_installed "$E2E_WORK/ddrive/$CODE"
echo "ok: a drive root chosen: D:\\<code>"
rm -f "$drive"
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null

forget_product "$CODE"
rm -rf "$DOCUMENTS/$CODE"* "$DOWNLOADS/$CODE"
e2e_end
echo "browse: all cases passed"
