#!/usr/bin/env bash
# The browse dialog of the extraction folder, answered by a user with the keyboard (keys given
# from inside Wine by tests/wine/answer.exe):
#   choose: the first attempt is blocked; Return accepts the preselected start folder and the
#           files are created below it.
#   cancel: every attempt fails; Return once (the dialog comes back), then Escape: 1223,
#           nothing left behind.
# Usage: extract_browse.sh <extract_browse_probe.exe>   (environment from msistub_add_wine_script)
set -u
probe=${1:?probe}
. "$MSISTUB_SOURCE/tests/wine/display.sh"
ensure_display "$MSISTUB_BUILD"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0

# The browse dialog's id, found from inside Wine (answer.exe sees only this prefix's windows,
# whatever else the display shows); empty when there is none. The pid is not needed: the probe
# is the only program of the prefix that shows one.
ANSWER=$MSISTUB_BUILD/tests/answer.exe
browse_window() {
  MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --seconds 0 --class '#32770' 'Browse for Folder' 2>/dev/null | tr -d '\r'
}

# answer <pid> <key>: waits for the browse dialog, presses the key in it, waits for it to go.
answer() {
  local w="" i
  for i in $(seq 100); do w=$(browse_window); [ -n "$w" ] && break; sleep 0.1; done
  [ -n "$w" ] || { echo "no browse dialog appeared"; return 1; }
  # The key once the callback has preselected the start folder (a second under load; the
  # tree reports no settled selection for plain shell folders).
  sleep 2
  MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --seconds 10 --class '#32770' \
    'Browse for Folder' "$2" >/dev/null ||
    { echo "could not press $2 in the browse dialog"; return 1; }
  for i in $(seq 50); do
    [ "$(browse_window)" != "$w" ] && return 0
    sleep 0.1
  done
  echo "browse dialog did not close on $2"; return 1
}

run() {
  local mode=$1; shift
  "$MSISTUB_WINE" "$probe" "$mode" >"$out/$mode" 2>&1 &
  local pid=$! key ok=0
  for key in "$@"; do answer $pid "$key" || { ok=1; break; }; done
  if [ $ok -ne 0 ]; then
    # Unblock the probe so the test ends: cancel whatever is open.
    [ -n "$(browse_window)" ] && MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --seconds 0 'Browse for Folder' Escape >/dev/null
  fi
  # The dialog must not come back after the last answer: the probe ends by itself. (Under
  # load a closed dialog's window can linger for a moment, so only a probe that is still
  # running with a dialog counts.)
  local i
  for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  if kill -0 $pid 2>/dev/null && [ -n "$(browse_window)" ]; then
    echo "$mode: FAILED (a dialog is still open)"; status=1
    MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --seconds 0 'Browse for Folder' Escape >/dev/null
  fi
  wait $pid; local rc=$?
  grep -E '^(ok|FAIL|code)' "$out/$mode" | sed "s/^/$mode: /"
  if [ $ok -ne 0 ] || [ $rc -ne 0 ]; then echo "$mode: FAILED (probe exit $rc)"; status=1; fi
}

# The cancel case first: in a fresh prefix the shell's first browse dialog may not yet show
# the start folder it is asked to preselect (the second one does).
run cancel Return Escape
run choose Return
[ $status -eq 0 ] && echo "extract_browse: all passed"
exit $status
