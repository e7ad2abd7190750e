#!/bin/sh
# Starts or stops the virtual X display that the Windows test executables of a
# ctest run draw on under Wine (Wine creates no window without a display).
#   xvfb-session.sh start STATE_DIR
#   xvfb-session.sh stop STATE_DIR
# The X server picks a display number that no other server holds (-displayfd)
# and writes it to STATE_DIR/display; tools/wine-test.sh reads it from there.
# Only the server this script started is stopped (its id is in STATE_DIR/pid).
set -eu
action=$1
state=$2

stop_server() {
  if [ -s "$state/pid" ]; then
    pid=$(cat "$state/pid")
    # Never signal a process that is not the server we started (the id may
    # have been reused since).
    if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "Xvfb"; then
      kill "$pid" 2>/dev/null || true
      tries=0
      while kill -0 "$pid" 2>/dev/null && [ "$tries" -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
      done
    fi
  fi
  rm -f "$state/pid" "$state/display"
}

case "$action" in
  start)
    mkdir -p "$state"
    stop_server  # one left by a run that was interrupted
    : >"$state/display"
    # Detached from ctest's output pipe, or ctest would wait for the server.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
      3>"$state/display" </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/pid"
    # The number is written once the server accepts connections.
    tries=0
    while ! grep -q '[0-9]' "$state/display"; do
      if ! kill -0 "$(cat "$state/pid")" 2>/dev/null || [ "$tries" -ge 100 ]; then
        echo "xvfb-session: the X server did not start:" >&2
        cat "$state/xvfb.log" >&2
        stop_server
        exit 1
      fi
      sleep 0.1
      tries=$((tries + 1))
    done
    echo "xvfb-session: display :$(tr -d '\n' <"$state/display")"
    ;;
  stop)
    stop_server
    ;;
  *)
    echo "usage: xvfb-session.sh start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
