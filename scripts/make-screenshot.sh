#!/bin/sh
# Makes docs/window.png: the real program from the build directory in its
# window on a desktop of its own (scripts/desktop-session.sh), supervising
# three demo servers, one of which is down with auto-start on (its program
# is missing), with the tray icon's tooltip shown.
#
#   scripts/make-screenshot.sh [BUILD_DIRECTORY]
set -e
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-build}"
BIN="$(cd "$ROOT/$BUILD" && pwd)"

if [ -z "$PROCWARD_DESKTOP" ]; then
  DESKTOP_SCREEN=1600x400x24 exec "$ROOT/scripts/desktop-session.sh" "$0" "$BUILD"
fi

WORK="$(mktemp -d)"
PROCWARD_PID=""
cleanup() {
  [ -n "$PROCWARD_PID" ] && kill "$PROCWARD_PID" 2>/dev/null
  # The servers outlive the supervisor: end the ones it started.
  for pid in $(sed -n 's/.* started successfully: pid=\([0-9]*\).*/\1/p' "$WORK"/logs/*.log 2>/dev/null); do
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM

# Waits until a command succeeds (at most about ten seconds).
until_true() {
  tries=0
  until "$@" >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -gt 200 ] && { echo "make-screenshot: gave up waiting for: $*" >&2; exit 1; }
    sleep 0.05
  done
}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

cp "$BIN/procward" "$BIN/procward-testserver" "$WORK/"
WEB_PORT="$(free_port)"
GAME_PORT="$(free_port)"
cat > "$WORK/serverinfo.json" <<JSON
[{"name":"demo-web","processname":"procward-testserver","commandline":"$WORK/procward-testserver --listen 127.0.0.1:$WEB_PORT --role web"},{"name":"demo-report","processname":"procward-report","commandline":"$WORK/procward-report --role report"},{"name":"demo-game","processname":"procward-testserver","commandline":"$WORK/procward-testserver --listen 127.0.0.1:$GAME_PORT --role game"}]
JSON

XDG_CONFIG_HOME="$WORK/config" "$WORK/procward" >"$WORK/procward.out" 2>&1 &
PROCWARD_PID=$!

window_shown() { wmctrl -l -p | awk -v p="$PROCWARD_PID" '$3 == p && $5 == "Procward" { found = 1 } END { exit !found }'; }
until_true window_shown
WINDOW="$(wmctrl -l -p | awk -v p="$PROCWARD_PID" '$3 == p && $5 == "Procward" { print $1; exit }')"

# The tray icon: the process's window embedded in the panel ("tint2").
parent_of() { xwininfo -children -id "$1" | sed -n 's/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p'; }
tray_icon() {
  for w in $(xdotool search --pid "$PROCWARD_PID"); do
    xwininfo -id "$w" | grep -q IsViewable || continue
    parent="$(parent_of "$w")"
    [ -n "$parent" ] && [ "$parent" != 0x0 ] || continue
    grandparent="$(parent_of "$parent")"
    [ -n "$grandparent" ] && [ "$grandparent" != 0x0 ] || continue
    if xwininfo -id "$grandparent" | grep -q '"tint2"'; then
      echo "$w"
      return 0
    fi
  done
  return 1
}
until_true tray_icon
ICON="$(tray_icon)"

# The window has settled once two looks at it agree.
geometry() { xwininfo -id "$WINDOW" | grep -E 'Absolute|Width|Height' | tr -d ' \n'; }
settled() { a="$(geometry)"; sleep 0.2; [ "$a" = "$(geometry)" ]; }
until_true settled

# The pointer rests on the tray icon until its tooltip shows.
x=$(xwininfo -id "$ICON" | awk '/Absolute upper-left X/ { print $4 }')
y=$(xwininfo -id "$ICON" | awk '/Absolute upper-left Y/ { print $4 }')
xdotool mousemove $((x + 11)) $((y + 11))
popups() { xdotool search --onlyvisible --pid "$PROCWARD_PID" | wc -l; }
tooltip_shown() { [ "$(popups)" -ge 3 ]; }
until_true tooltip_shown
sleep 0.3

mkdir -p "$ROOT/docs"
import -window root "$ROOT/docs/window.png"
echo "Wrote docs/window.png"
