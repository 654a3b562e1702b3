#!/bin/sh
# Runs Procward from the build directory on the demo server list: in its
# window when a display is available, without a window otherwise.
set -e
BUILD="${1:-build}"
[ $# -gt 0 ] && shift
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BIN="$(cd "$ROOT/$BUILD" && pwd)"
if [ ! -f "$BIN/serverinfo.json" ]; then
  sed "s|@TESTSERVER@|$BIN/procward-testserver|g" "$ROOT/demo/serverinfo.template.json" > "$BIN/serverinfo.json"
  echo "Wrote $BIN/serverinfo.json from demo/serverinfo.template.json"
fi
if [ -n "$DISPLAY" ] || [ -n "$WAYLAND_DISPLAY" ]; then
  echo "Starting Procward in its window (close it to the tray; quit from the tray menu or with Escape)."
  exec "$BIN/procward" "$@"
else
  echo "No display: starting Procward without a window (Ctrl+C ends it)."
  exec "$BIN/procward" --headless "$@"
fi
