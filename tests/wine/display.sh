# ensure_display <build-dir>: exports DISPLAY, starting one Xvfb for the build tree when no
# display is set. The server's number and pid are kept in <build>/xvfb.{display,pid}; a dead
# one is replaced. Sourced by run-wine.sh and the end-to-end scripts.
ensure_display() {
  local build=$1
  if [ -n "${DISPLAY:-}" ] && [ -z "${MSISTUB_OWN_XVFB:-}" ]; then return 0; fi
  (
    flock 8
    # A server that was killed may linger as a zombie, which kill -0 still finds: it counts
    # as running only while its process is not a zombie and its socket is there.
    if [ -f "$build/xvfb.pid" ] && [ -f "$build/xvfb.display" ]; then
      local pid state
      pid=$(cat "$build/xvfb.pid")
      state=$(ps -o stat= -p "$pid" 2>/dev/null)
      if [ -n "$state" ] && [ "${state#Z}" = "$state" ] &&
         [ -e "/tmp/.X11-unix/X$(cut -c2- "$build/xvfb.display")" ]; then exit 0; fi
    fi
    local n
    for n in $(seq 90 140); do
      [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 8>&- &
      echo $! > "$build/xvfb.pid"
      echo ":$n" > "$build/xvfb.display"
      for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
      exit 0
    done
    echo "display: no free X display" >&2; exit 1
  ) 8>"$build/xvfb.lock"
  DISPLAY=$(cat "$build/xvfb.display")
  export DISPLAY MSISTUB_OWN_XVFB=1
}

stop_display() {
  local build=$1
  if [ -f "$build/xvfb.pid" ]; then kill "$(cat "$build/xvfb.pid")" 2>/dev/null; rm -f "$build/xvfb.pid"; fi
}
