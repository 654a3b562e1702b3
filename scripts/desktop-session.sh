#!/bin/sh
# Runs a command on a desktop of its own: a virtual X display (Xvfb) with the
# openbox window manager and a tint2 panel, whose notification area holds
# the tray icons. The window tests and the screenshot run in it.
#
#   scripts/desktop-session.sh COMMAND [ARGUMENT...]
#
# DESKTOP_SCREEN sets the screen (default 1920x1080x24). The command's exit
# status is the script's.
set -e

if [ -z "$PROCWARD_DESKTOP_DISPLAY_READY" ]; then
  # A free display number, and the command inside it.
  PROCWARD_DESKTOP_DISPLAY_READY=1 exec xvfb-run -a \
    -s "-screen 0 ${DESKTOP_SCREEN:-1920x1080x24} -nolisten tcp" "$0" "$@"
fi
unset PROCWARD_DESKTOP_DISPLAY_READY

# The window manager and the panel read the system's configuration and
# write nothing into the operator's home.
STATE="$(mktemp -d)"
WM_PID=""
PANEL_PID=""
cleanup() {
  [ -n "$PANEL_PID" ] && kill "$PANEL_PID" 2>/dev/null
  [ -n "$WM_PID" ] && kill "$WM_PID" 2>/dev/null
  rm -rf "$STATE"
}
trap cleanup EXIT
trap "exit 1" INT TERM

start_wm() {
  XDG_CONFIG_HOME="$STATE" XDG_CACHE_HOME="$STATE" openbox --sm-disable >>"$STATE/openbox.log" 2>&1 &
  WM_PID=$!
}
start_panel() {
  XDG_CONFIG_HOME="$STATE" XDG_CACHE_HOME="$STATE" tint2 -c /etc/xdg/tint2/tint2rc >>"$STATE/tint2.log" 2>&1 &
  PANEL_PID=$!
}
start_wm
start_panel

# Both are up when the window manager answers and the panel is shown. One
# that gave up at once (a display not yet taking clients on a loaded
# machine: "could not open display") is started again.
tries=0
until wmctrl -m >/dev/null 2>&1 && xdotool search --onlyvisible --classname '^tint2$' >/dev/null 2>&1; do
  kill -0 "$WM_PID" 2>/dev/null || start_wm
  kill -0 "$PANEL_PID" 2>/dev/null || start_panel
  tries=$((tries + 1))
  if [ "$tries" -gt 200 ]; then
    echo "desktop-session: openbox or tint2 did not start" >&2
    cat "$STATE/openbox.log" "$STATE/tint2.log" >&2
    exit 1
  fi
  sleep 0.05
done

# Tests that need this desktop fail, rather than skip, when it is missing.
export PROCWARD_DESKTOP=1
status=0
"$@" || status=$?
exit $status
