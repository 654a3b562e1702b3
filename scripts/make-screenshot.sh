#!/bin/sh
# Makes a screenshot of the real program from the build directory in its
# window on a desktop of its own (scripts/desktop-session.sh).
#
#   scripts/make-screenshot.sh [BUILD_DIRECTORY]            docs/window.png
#   scripts/make-screenshot.sh [BUILD_DIRECTORY] 1366x768   docs/window-99-1366x768.png
#
# Without a screen size: three demo servers, one of which is down with
# auto-start on (its program is missing), with the tray icon's tooltip shown.
# With one: 99 servers on a screen of that size, every tenth of them down, the
# window as it first opens there (the rows scroll; header, add strip and the
# buttons below stay).
set -e
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-build}"
SIZE="$2"
BIN="$(cd "$ROOT/$BUILD" && pwd)"

if [ -z "$PROCWARD_DESKTOP" ]; then
  DESKTOP_SCREEN="${SIZE:-1600x400}x24" exec "$ROOT/scripts/desktop-session.sh" "$0" "$BUILD" "$SIZE"
fi

WORK="$(mktemp -d)"
PROCWARD_PID=""
cleanup() {
  [ -n "$PROCWARD_PID" ] && kill "$PROCWARD_PID" 2>/dev/null
  # The servers outlive the supervisor: end the ones it started.
  pids="$(sed -n 's/.* started successfully: pid=\([0-9]*\).*/\1/p' "$WORK"/logs/*.log 2>/dev/null)"
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  # They may still be writing their output files: the directory goes once
  # they are gone.
  for _ in $(seq 50); do
    alive=0
    for pid in $pids; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
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
if [ -z "$SIZE" ]; then
  cat > "$WORK/serverinfo.json" <<JSON
[{"name":"demo-web","processname":"procward-testserver","commandline":"$WORK/procward-testserver --listen 127.0.0.1:$WEB_PORT --role web"},{"name":"demo-report","processname":"procward-report","commandline":"$WORK/procward-report --role report"},{"name":"demo-game","processname":"procward-testserver","commandline":"$WORK/procward-testserver --listen 127.0.0.1:$GAME_PORT --role game"}]
JSON
else
  # Each server gets a free port of its own: the sockets that found them stay
  # open until all are found, so no port is handed out twice.
  python3 - "$WORK" > "$WORK/serverinfo.json" <<'PY'
import json, socket, sys
work = sys.argv[1]
entries = []
held = []
for i in range(1, 100):
    name = "game%02d" % i
    if i % 10 == 0:
        entries.append({"name": name, "processname": "procward-report",
                        "commandline": "%s/procward-report --zone %d" % (work, i)})
        continue
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    held.append(s)
    entries.append({"name": name, "processname": "procward-testserver",
                    "commandline": "%s/procward-testserver --listen 127.0.0.1:%d --zone %d" % (work, port, i)})
print(json.dumps(entries, ensure_ascii=False, indent=1))
PY
fi

# Scroll bars drawn as bars rather than as overlays that show only under the
# pointer, so the picture shows where the rows scroll.
GTK_OVERLAY_SCROLLING=0 XDG_CONFIG_HOME="$WORK/config" "$WORK/procward" >"$WORK/procward.out" 2>&1 &
PROCWARD_PID=$!

window_shown() { wmctrl -l -p | awk -v p="$PROCWARD_PID" '$3 == p && $5 == "Procward" { found = 1 } END { exit !found }'; }
until_true window_shown
WINDOW="$(wmctrl -l -p | awk -v p="$PROCWARD_PID" '$3 == p && $5 == "Procward" { print $1; exit }')"

# The window has settled once two looks at it agree.
geometry() { xwininfo -id "$WINDOW" | grep -E 'Absolute|Width|Height' | tr -d ' \n'; }
settled() { a="$(geometry)"; sleep 0.2; [ "$a" = "$(geometry)" ]; }

mkdir -p "$ROOT/docs"
if [ -n "$SIZE" ]; then
  # Every server that can run has been started once the log names them all.
  all_started() { [ "$(grep -c ' started successfully: pid=' "$WORK"/logs/*.log)" -ge 90 ]; }
  tries=0
  until all_started; do
    tries=$((tries + 1))
    [ "$tries" -gt 600 ] && { echo "make-screenshot: not all servers started" >&2; exit 1; }
    sleep 0.1
  done
  # Two of them are killed, as a crash would end them: their rows show the
  # restart, how the process ended and the uptime counting afresh.
  for name in game03 game07; do
    pid="$(sed -n "s/.*$name started successfully: pid=\([0-9]*\).*/\1/p" "$WORK"/logs/*.log | head -n 1)"
    [ -n "$pid" ] && kill -9 "$pid"
  done
  restarted() { [ "$(grep -c ' started successfully: pid=' "$WORK"/logs/*.log)" -ge 92 ]; }
  until_true restarted
  until_true settled
  # The pointer leaves the rows, so no tooltip covers them; two more checks
  # (3 s apart) give every row its processor share.
  xdotool mousemove "${SIZE%x*}" 0
  sleep 7
  OUT="docs/window-99-$SIZE.png"
  import -window root "$ROOT/$OUT"
  echo "Wrote $OUT"
  exit 0
fi

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

until_true settled

# The pointer rests on the tray icon until its tooltip shows.
x=$(xwininfo -id "$ICON" | awk '/Absolute upper-left X/ { print $4 }')
y=$(xwininfo -id "$ICON" | awk '/Absolute upper-left Y/ { print $4 }')
xdotool mousemove $((x + 11)) $((y + 11))
popups() { xdotool search --onlyvisible --pid "$PROCWARD_PID" | wc -l; }
tooltip_shown() { [ "$(popups)" -ge 3 ]; }
until_true tooltip_shown
sleep 0.3

import -window root "$ROOT/docs/window.png"
echo "Wrote docs/window.png"
