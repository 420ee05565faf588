# Helpers for tests that run a Windows program under Wine and answer its message box.
# Needs MSISTUB_BUILD and MSISTUB_WINE (set by msistub_add_wine_script).
#
#   run_with_box <caption> <program> [args...]
#       Starts the program through launch.exe with message box tracing, waits for its box
#       (a dialog titled exactly <caption>, found from inside Wine by tests/wine/answer.exe),
#       presses Return in it and waits for the program's end (10 s). Sets BOX_TEXT (the traced
#       text, as Wine's debug string: backslashes doubled) and EXIT_CODE (the full exit code).
#       Fails when no such box shows within 60 s.
#   run_without_box <program> [args...]   (BOX_EXTRA_DEBUG adds Wine debug channels)
#       Runs the program through launch.exe; fails when a message box is shown or the program
#       does not end by itself within 60 s. Sets EXIT_CODE.
. "$MSISTUB_SOURCE/tests/wine/display.sh"
ensure_display "$MSISTUB_BUILD"
LAUNCH=$MSISTUB_BUILD/tests/launch.exe
ANSWER=$MSISTUB_BUILD/tests/answer.exe
BOX_LOG=$(mktemp)
trap 'rm -f "$BOX_LOG" "$BOX_LOG.out"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

run_with_box() {
  local caption=$1; shift
  local pid i try
  for try in 1 2; do
    MSISTUB_WINEDEBUG=+msgbox${BOX_EXTRA_DEBUG:+,$BOX_EXTRA_DEBUG} timeout 120 "$MSISTUB_WINE" "$LAUNCH" "$@" >"$BOX_LOG.out" 2>"$BOX_LOG" &
    pid=$!
    # The box is ready for its key once it is initialised (traced).
    for i in $(seq 600); do
      grep -q 'trace:msgbox:MSGBOX_OnInit' "$BOX_LOG" && break
      kill -0 $pid 2>/dev/null || break
      sleep 0.1
    done
    # Once more only when Wine never started the program: the launcher reported no exit code.
    grep -q 'trace:msgbox:MSGBOX_OnInit' "$BOX_LOG" && break
    kill -0 $pid 2>/dev/null && break
    wait $pid 2>/dev/null
    grep -q '^exit=' "$BOX_LOG.out" && break
    echo "note: the program did not start (attempt $try): $(tail -3 "$BOX_LOG" | tr '\n' ' ')"
  done
  if ! grep -q 'trace:msgbox:MSGBOX_OnInit' "$BOX_LOG" ||
     ! MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --class '#32770' --seconds 10 "$caption" Return >/dev/null; then
    kill $pid 2>/dev/null; wait $pid 2>/dev/null
    fail "no box captioned '$caption' for $*"
  fi
  BOX_TEXT=$(sed -n 's/^.*trace:msgbox:MSGBOX_OnInit L"\(.*\)"$/\1/p' "$BOX_LOG" | head -1)
  for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  kill -0 $pid 2>/dev/null && { kill $pid 2>/dev/null; fail "the box '$caption' stayed after Return for $*"; }
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
