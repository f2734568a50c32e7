# Shell functions shared by the test and demo commands: one virtual display and one Wine server
# for a whole run, so each Wine program starts in a fraction of a second.

# Starts Xvfb on a free display when DISPLAY is unset; remembers it for stop_session.
start_display_if_needed() {
  if [ -n "${DISPLAY:-}" ]; then return 0; fi
  local fifo num
  fifo="$(mktemp -u)"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$fifo" >/dev/null 2>&1 &
  PARVOLET_XVFB_PID=$!
  if ! read -r -t 20 num <"$fifo"; then
    rm -f "$fifo"
    echo "Xvfb did not start" >&2
    return 1
  fi
  rm -f "$fifo"
  export DISPLAY=":$num"
}

# Stops the Wine server of the given prefix and the display we started.
stop_session() {
  if [ -n "${1:-}" ]; then WINEPREFIX="$1" wineserver -k >/dev/null 2>&1 || true; fi
  if [ -n "${PARVOLET_XVFB_PID:-}" ]; then kill "$PARVOLET_XVFB_PID" 2>/dev/null || true; fi
}
