#!/bin/sh
# Runs Procward from the build directory on the demo server list.
set -e
BUILD="${1:-build}"
[ $# -gt 0 ] && shift
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BIN="$(cd "$ROOT/$BUILD" && pwd)"
if [ ! -f "$BIN/serverinfo.json" ]; then
  sed "s|@TESTSERVER@|$BIN/procward-testserver|g" "$ROOT/demo/serverinfo.template.json" > "$BIN/serverinfo.json"
  echo "Wrote $BIN/serverinfo.json from demo/serverinfo.template.json"
fi
exec "$BIN/procward" "$@"
