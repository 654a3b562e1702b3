#!/bin/sh
# Runs the window-less supervisor on 99 servers (the test server program)
# at a 1 s check interval and prints what it costs: CPU per minute and per
# tick, and its peak memory. Usage: bench-headless.sh BUILD [SECONDS] [PROGRAM ARGS...]
# With METRICS_LISTEN=host:port in the environment the metrics are on; with
# SERVER_ARGS="--count-lines 100 18" each server writes that output (18 lines
# of 95 bytes every 100 ms: about 1 MB per minute) into its output file.
# With COUNT=N it supervises N servers instead of 99; it then also says how
# how long `ctl status` takes. Every run says how long the start-up of all
# the servers took. With PROGRAM procward and no arguments it measures the
# window (run it on a desktop: scripts/desktop-session.sh).
set -e
BUILD="$(cd "${1:-build}" && pwd)"
SECONDS_TO_RUN="${2:-30}"
COUNT="${COUNT:-99}"
shift 2 2>/dev/null || shift $#
[ $# -gt 0 ] || set -- procward --headless
PROGRAM="$1"
shift
WORK="$(mktemp -d /tmp/procward-bench-XXXXXX)"
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  for pid in $(servers); do kill -KILL "$pid" 2>/dev/null || true; done
  [ -n "$KEEP_WORK" ] && echo "kept $WORK" || rm -rf "$WORK"
}
# The processes of this run's copy of the test server.
servers() {
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = "$WORK/procward-testserver" ] && basename "$(dirname "$exe")"
  done
  true
}
trap cleanup EXIT INT TERM
cp "$BUILD/$PROGRAM" "$BUILD/procward-testserver" "$BUILD/procward-metrics.so" "$WORK/"
# A lock and a control socket of its own: a Procward already running on the
# machine neither stops this one nor is disturbed by it.
mkdir -m 700 "$WORK/run"
export PROCWARD_LOCK_DIR="$WORK" XDG_RUNTIME_DIR="$WORK/run"
{
  printf '['
  i=1
  while [ $i -le "$COUNT" ]; do
    [ $i -gt 1 ] && printf ','
    printf '{"name":"bench-%d","processname":"procward-testserver","commandline":"%s/procward-testserver --bench-id %d%s"}' \
      $i "$WORK" $i "${SERVER_ARGS:+ $SERVER_ARGS}"
    i=$((i + 1))
  done
  printf ']'
} > "$WORK/serverinfo.json"
printf '[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n' > "$WORK/procward.ini"
[ -z "$METRICS_LISTEN" ] || printf '[METRICS]\nLISTEN=%s\n' "$METRICS_LISTEN" >> "$WORK/procward.ini"

"$WORK/$PROGRAM" "$@" > "$WORK/out.txt" 2>&1 &
PID=$!
# Let it start every server and settle.
started=$(date +%s%N)
# How long until every server has started (at most a minute), read from the
# log: counting processes would load the machine being measured.
launched() { cat "$WORK"/logs/*.log 2>/dev/null | grep -c ' started successfully: ' || true; }
while [ "$(launched)" -lt "$COUNT" ] && [ $(( $(date +%s%N) - started )) -lt 60000000000 ]; do
  sleep 0.05
done
startup_ms=$(( ($(date +%s%N) - started) / 1000000 ))
sleep 5
running=$(servers | wc -l)
# A scrape, so that the metrics' server has answered once.
[ -z "$METRICS_LISTEN" ] || curl -s "http://$METRICS_LISTEN/metrics" > /dev/null || true
# CPU time of every thread, in nanoseconds (the scheduler's own count: the
# clock ticks of /proc/PID/stat are too coarse for milliseconds per minute).
ticks() { cat /proc/"$PID"/task/*/schedstat 2>/dev/null | awk '{ns += $1} END {printf "%.0f\n", ns}'; }
before=$(ticks)
sleep "$SECONDS_TO_RUN"
after=$(ticks)
hz=1000000000
peak=$(awk '/VmHWM/ {print $2}' "/proc/$PID/status")
written=$(cat "$WORK"/logs/servers/*.log* 2>/dev/null | wc -c)
processes=$(ls -d /proc/[0-9]* | wc -l)
ctl_ms=""
if [ "$COUNT" -ne 99 ] && [ -x "$BUILD/procwardd" ]; then
  # The median of five answers of `ctl status` over the control socket.
  ctl_ms=$(for i in 1 2 3 4 5; do
    t0=$(date +%s%N)
    "$BUILD/procwardd" ctl status > /dev/null 2>&1 || true
    echo $(( ($(date +%s%N) - t0) / 1000000 ))
  done | sort -n | sed -n 3p)
fi
awk -v b="$before" -v a="$after" -v hz="$hz" -v s="$SECONDS_TO_RUN" -v peak="$peak" -v n="$running" \
    -v p="$processes" -v prog="$PROGRAM $*" -v m="${METRICS_LISTEN:+ (metrics on $METRICS_LISTEN)}" \
    -v w="$written" -v out="${SERVER_ARGS:+, servers writing ($SERVER_ARGS)}" 'BEGIN {
  ms = (a - b) * 1000 / hz
  printf "%s%s%s: %d servers running, %d processes on the machine\n", prog, m, out, n, p
  printf "  CPU: %.0f ms per minute, %.2f ms per tick (1 s interval, %d s measured)\n", ms * 60 / s, ms / s, s
  printf "  peak RSS: %.1f MB\n", peak / 1024
  printf "  server output files: %.1f MB\n", w / 1048576
}'
echo "  start-up: all $COUNT servers running after $startup_ms ms"
[ -z "$ctl_ms" ] || echo "  ctl status: $ctl_ms ms (median of 5, whole command)"
