#!/bin/sh
# Runs the window-less supervisor on 99 servers (the test server program)
# at a 1 s check interval and prints what it costs: CPU per minute and per
# tick, and its peak memory. Usage: bench-headless.sh BUILD [SECONDS] [PROGRAM ARGS...]
set -e
BUILD="$(cd "${1:-build}" && pwd)"
SECONDS_TO_RUN="${2:-30}"
shift 2 2>/dev/null || shift $#
[ $# -gt 0 ] || set -- procward --headless
PROGRAM="$1"
shift
WORK="$(mktemp -d /tmp/procward-bench-XXXXXX)"
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  pkill -KILL -f "$WORK/procward-testserver" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
cp "$BUILD/$PROGRAM" "$BUILD/procward-testserver" "$WORK/"
{
  printf '['
  i=1
  while [ $i -le 99 ]; do
    [ $i -gt 1 ] && printf ','
    printf '{"name":"bench-%d","processname":"procward-testserver","commandline":"%s/procward-testserver --bench-id %d"}' \
      $i "$WORK" $i
    i=$((i + 1))
  done
  printf ']'
} > "$WORK/serverinfo.json"
printf '[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n' > "$WORK/procward.ini"

"$WORK/$PROGRAM" "$@" > "$WORK/out.txt" 2>&1 &
PID=$!
# Let it start every server and settle.
sleep 5
running=$(pgrep -c -f "$WORK/procward-testserver" || true)
ticks() { awk '{print $14 + $15}' "/proc/$PID/stat"; }
before=$(ticks)
sleep "$SECONDS_TO_RUN"
after=$(ticks)
hz=$(getconf CLK_TCK)
peak=$(awk '/VmHWM/ {print $2}' "/proc/$PID/status")
processes=$(ls -d /proc/[0-9]* | wc -l)
awk -v b="$before" -v a="$after" -v hz="$hz" -v s="$SECONDS_TO_RUN" -v peak="$peak" -v n="$running" \
    -v p="$processes" -v prog="$PROGRAM $*" 'BEGIN {
  ms = (a - b) * 1000 / hz
  printf "%s: %d servers running, %d processes on the machine\n", prog, n, p
  printf "  CPU: %.0f ms per minute, %.2f ms per tick (1 s interval, %d s measured)\n", ms * 60 / s, ms / s, s
  printf "  peak RSS: %.1f MB\n", peak / 1024
}'
