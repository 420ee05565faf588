# Helpers for tests that run a Windows program under Wine and answer its message box.
# Needs MSISTUB_BUILD and MSISTUB_WINE (set by msistub_add_wine_script).
#
#   run_with_box <caption> <program> [args...]
#       Starts the program through launch.exe with message box tracing, waits for a window
#       titled exactly <caption>, presses Return in it and waits for the program's end.
#       Sets BOX_TEXT (the traced text, as Wine's debug string: backslashes doubled) and
#       EXIT_CODE (the full exit code). Fails when no such window shows within 60 s.
#   run_without_box <program> [args...]   (BOX_EXTRA_DEBUG adds Wine debug channels)
#       Runs the program through launch.exe; fails when a message box is shown or the program
#       does not end by itself within 60 s. Sets EXIT_CODE.
. "$MSISTUB_SOURCE/tests/wine/display.sh"
ensure_display "$MSISTUB_BUILD"
LAUNCH=$MSISTUB_BUILD/tests/launch.exe
BOX_LOG=$(mktemp)
trap 'rm -f "$BOX_LOG" "$BOX_LOG.out"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

run_with_box() {
  local caption=$1; shift
  MSISTUB_WINEDEBUG=+msgbox${BOX_EXTRA_DEBUG:+,$BOX_EXTRA_DEBUG} timeout 120 "$MSISTUB_WINE" "$LAUNCH" "$@" >"$BOX_LOG.out" 2>"$BOX_LOG" &
  local pid=$! w="" i
  for i in $(seq 120); do
    w=$(xdotool search --name "^${caption//./\\.}\$" 2>/dev/null | head -1)
    [ -n "$w" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.5
  done
  if [ -z "$w" ]; then
    kill $pid 2>/dev/null; wait $pid 2>/dev/null
    fail "no window captioned '$caption' for $*"
  fi
  for i in $(seq 20); do grep -q 'trace:msgbox:MSGBOX_OnInit' "$BOX_LOG" && break; sleep 0.2; done
  BOX_TEXT=$(sed -n 's/^.*trace:msgbox:MSGBOX_OnInit L"\(.*\)"$/\1/p' "$BOX_LOG" | head -1)
  # A key that reaches the box before it is ready is dropped (seen under load): press Return
  # again until the program has ended.
  local try
  for try in $(seq 10); do
    xdotool key --window "$w" Return 2>/dev/null
    for i in $(seq 10); do kill -0 $pid 2>/dev/null || break; sleep 0.3; done
    kill -0 $pid 2>/dev/null || break
  done
  kill -0 $pid 2>/dev/null && { xdotool windowclose "$w" 2>/dev/null; }
  wait $pid
  EXIT_CODE=$(sed -n 's/^exit=\([0-9]*\).*/\1/p' "$BOX_LOG.out" | tr -d '\r')
  [ "$(grep -c 'trace:msgbox:MSGBOX_OnInit' "$BOX_LOG")" = 1 ] || fail "not exactly one box for $*"
  echo "box '$caption': $BOX_TEXT (exit $EXIT_CODE)"
}

run_without_box() {
  MSISTUB_WINEDEBUG=+msgbox${BOX_EXTRA_DEBUG:+,$BOX_EXTRA_DEBUG} timeout 60 "$MSISTUB_WINE" "$LAUNCH" "$@" >"$BOX_LOG.out" 2>"$BOX_LOG" \
    || fail "$* did not end by itself"
  ! grep -q 'trace:msgbox' "$BOX_LOG" || fail "a message box was shown for $*: $(grep 'trace:msgbox' "$BOX_LOG")"
  EXIT_CODE=$(sed -n 's/^exit=\([0-9]*\).*/\1/p' "$BOX_LOG.out" | tr -d '\r')
}

expect_eq() {  # expect_eq <what> <actual> <expected>
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}
