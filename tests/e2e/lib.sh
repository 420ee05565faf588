# shellcheck shell=bash
# Shared by the end-to-end scripts: real products (wixl + gcab), a stub signed with a
# throwaway certificate, setups packed by msistub-pack, runs under Wine in the prefix of the
# end-to-end tests (<win64 tree>/e2e-prefix, made by prefix.sh), and what a person sees
# afterwards: exit code, message boxes, files on disk, registry.
# Needs the environment of msistub_add_wine_script and E2E_KEY (the payload private key).
#
#   e2e_begin NAME             work folder $MSISTUB_BUILD/e2e/NAME (emptied), cd into it
#   e2e_end                    removes the work folder (kept when a check failed)
#   make_product DIR ARGS...   tools/make-product.sh
#   signed_stub                prints the path of the stub signed with the work folder's
#                              throwaway certificate (cert.pem), made on first use
#   pack OUT ARGS...           msistub-pack build ... --stub <signed stub> --out OUT
#   pack_msis OUT MSI...       msistub-pack make ... --stub <signed stub> --out OUT MSI...
#                              (package facts and cabinets read from the MSIs)
#   forget_product CODE...     uninstalls the products and removes what earlier runs left
#   winpath PATH               the Windows path (Z:\...) of a Linux path
#   installer_dir CODE         Linux path of C:\windows\Installer\CODE
#   product_folders            the names in C:\windows\Installer that look like product codes
#   is_registered CODE         true when the product's Uninstall key holds an UninstallString
#   reg_value KEY NAME         prints a registry value's data (empty when missing)
#   prefix_window [--other ID] NAME  the id of a window titled exactly NAME shown by a program
#                              of this prefix (not window ID), empty when none shows; found
#                              from inside Wine (tests/wine/answer.exe), so windows of other
#                              tests on the same display never count
#   keys [--tree-settled] NAME KEY...  gives the keys to the window titled NAME (answer.exe:
#                              Return, Escape, Tab, shift+Tab, Home, End, Up, Down, Left,
#                              Right); --tree-settled: once its folder tree's selection settled
#   start_stub CHANNELS PROG ARGS...  runs PROG through launch.exe in the background with the
#                              Wine debug channels CHANNELS (+msgbox at least); its trace
#                              goes to $BOX_LOG
#   wait_window NAME           waits (60 s) for a window of this prefix titled NAME; sets WINDOW
#                              (its id)
#   end_stub                   waits (60 s) for the started program; sets EXIT_CODE; fails when
#                              it showed a message box
#   on_exit COMMAND            runs COMMAND when the script ends, however it ends
# From stub/tests/box.sh: run_with_box, run_without_box, expect_eq, fail, BOX_TEXT, EXIT_CODE.
set -u
export WINEPREFIX=$MSISTUB_BUILD/e2e-prefix
. "$MSISTUB_SOURCE/stub/tests/box.sh"
PACK=$MSISTUB_HOST_BUILD/pack/msistub-pack
STUB=$MSISTUB_BUILD/stub/msistub.exe
: "${E2E_KEY:?E2E_KEY: the payload private key}"
[ -x "$PACK" ] || fail "$PACK is missing; build the host tree ($MSISTUB_HOST_BUILD) first"
[ -f "$WINEPREFIX/.msistub-ready" ] || fail "no end-to-end prefix at $WINEPREFIX (prefix.sh setup)"

E2E_ON_EXIT=()
on_exit() { E2E_ON_EXIT+=("$1"); }
e2e_exit() {
  local c
  for c in "${E2E_ON_EXIT[@]}"; do eval "$c"; done
  rm -f "$BOX_LOG" "$BOX_LOG.out"
}
trap e2e_exit EXIT

# Text strings of the stub's resources that the boxes show, as Wine traces them (characters
# beyond ASCII as \XXXX: the registered sign is U+00AE).
TEXT_INSTALLER_REQUIRED='Windows Installer is required for this installation package. The Microsoft\00ae Windows\00ae Installer (MSI) is the application installation and configuration service for Windows. To continue this installation, start it again when Windows Installer is installed on your computer.'
TEXT_CORRUPTED="The installation file is either corrupted or does not support your processor architecture."
TEXT_BROWSE_TITLE="Select a folder where you want to extract the installation files:"

WINDOWS=$WINEPREFIX/drive_c/windows
USER_HOME=$WINEPREFIX/drive_c/users/$(id -un)

e2e_begin() {
  E2E_WORK=$MSISTUB_BUILD/e2e/$1
  rm -rf "$E2E_WORK"; mkdir -p "$E2E_WORK"; cd "$E2E_WORK" || fail "no work folder"
}

e2e_end() { cd / && rm -rf "$E2E_WORK"; }

make_product() {
  "$MSISTUB_SOURCE/tools/make-product.sh" "$@" >/dev/null 2>&1 || fail "make-product.sh $*"
}

signed_stub() {
  if [ ! -f stub-signed.exe ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -keyout cert.key -out cert.pem -days 2 \
      -subj "/CN=msistub e2e signer" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 ||
      fail "no throwaway certificate"
    osslsigncode sign -certs cert.pem -key cert.key -n "msistub e2e" -in "$STUB" \
      -out stub-signed.exe >/dev/null || fail "osslsigncode sign"
  fi
  echo "$E2E_WORK/stub-signed.exe"
}

pack() {
  local out=$1 stub; shift
  stub=$(signed_stub) || exit 1
  "$PACK" build --key "$E2E_KEY" --allow-development-key "$@" --stub "$stub" --out "$out" >/dev/null ||
    fail "msistub-pack build $out"
}

pack_msis() {
  local out=$1 stub; shift
  stub=$(signed_stub) || exit 1
  "$PACK" make --quiet --allow-development-key --key "$E2E_KEY" --stub "$stub" --out "$out" "$@" >/dev/null ||
    fail "msistub-pack make $out"
}

# A Wine command in the prefix, quietly; its output without carriage returns.
wine_cmd() { MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$@" 2>/dev/null | tr -d '\r'; }

UNINSTALL_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'

reg_value() {
  wine_cmd reg query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *\(.*\)\$/\1/p" | head -1
}

is_registered() { [ -n "$(reg_value "$UNINSTALL_KEY\\$1" UninstallString)" ]; }

winpath() { local p=$1; echo "Z:${p//\//\\}"; }  # the Windows path of a Linux path

installer_dir() { echo "$WINDOWS/Installer/$1"; }

# The product-code entries of C:\windows\Installer (msiexec keeps its own *.msi copies there).
product_folders() { ls -a "$WINDOWS/Installer" | grep '^{' ; }

forget_product() {
  local code
  for code in "$@"; do
    wine_cmd msiexec /x "$code" /qn >/dev/null
    rm -rf "$(installer_dir "$code")"
    wine_cmd reg delete "HKLM\\Software\\msistub-test\\$code" /f >/dev/null
  done
}

prefix_window() {
  MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --seconds 0 "$@" 2>/dev/null | tr -d '\r'
}

keys() {
  MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --seconds 10 "$@" >/dev/null ||
    fail "could not give the keys: $*"
}

start_stub() {
  local channels=$1; shift
  MSISTUB_WINEDEBUG=$channels timeout 300 "$MSISTUB_WINE" "$LAUNCH" "$@" >"$BOX_LOG.out" 2>"$BOX_LOG" &
  STUB_PID=$!
  on_exit 'kill $STUB_PID 2>/dev/null'
}

wait_window() {
  local w="" i
  for i in $(seq 200); do
    w=$(prefix_window "$1")
    [ -n "$w" ] && { WINDOW=$w; return 0; }
    kill -0 "$STUB_PID" 2>/dev/null || break
    sleep 0.1
  done
  fail "no window '$1' (the program ended: $(cat "$BOX_LOG.out" 2>/dev/null))"
}

end_stub() {
  local i
  for i in $(seq 300); do kill -0 "$STUB_PID" 2>/dev/null || break; sleep 0.2; done
  kill -0 "$STUB_PID" 2>/dev/null && fail "the program did not end"
  wait "$STUB_PID"
  ! grep -q 'trace:msgbox' "$BOX_LOG" || fail "a message box was shown: $(grep 'trace:msgbox' "$BOX_LOG")"
  EXIT_CODE=$(sed -n 's/^exit=\([0-9]*\).*/\1/p' "$BOX_LOG.out" | tr -d '\r')
}

# expect_same_file <what> <file> <original>
expect_same_file() {
  [ -f "$2" ] || fail "$1: $2 is missing"
  cmp -s "$2" "$3" || fail "$1: $2 differs from $3"
}

expect_absent() {  # expect_absent <what> <path>
  [ ! -e "$2" ] || fail "$1: $2 exists: $(ls -la "$2" 2>&1 | head -5)"
}
