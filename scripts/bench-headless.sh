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
# With BUSY=N the last N servers each hold CONNECTIONS (default 2,000)
# established loopback connections, both ends in the server's process, as a
# game server with players does; with CROWD=M, M processes that are no
# servers run beside them, each holding 50 such connections (100 sockets).
# The servers' output goes through the writer (procward-output), one for
# all of them; NO_WRITER=1 leaves it out, so the servers append to their files
# themselves, for a comparison. The writers' CPU and memory (PSS) are
# reported. With FLOOD=MB the first server writes MB megabytes of output a
# second (SERVER_LOG_MAX_MB 1, 3 backups), and the largest size its files
# reached while measured is reported.
# With HEALTH=http each server answers HTTP on a port of its own and has a
# health rule probing it every second ("http", interval 1); with
# HEALTH=serve the servers answer HTTP but have no rule (the baseline);
# HEALTH_KEEPALIVE=1 has them keep the connection open between answers.
# With SYSCALLS=S the system calls of the supervisor are counted for S
# seconds after the CPU has been measured (strace; it slows what it counts,
# so the CPU figure is taken without it).
set -e
BUILD="$(cd "${1:-build}" && pwd)"
SECONDS_TO_RUN="${2:-30}"
COUNT="${COUNT:-99}"
BUSY="${BUSY:-0}"
CONNECTIONS="${CONNECTIONS:-2000}"
CROWD="${CROWD:-0}"
HEALTH_PORT="${HEALTH_PORT:-21000}"
shift 2 2>/dev/null || shift $#
[ $# -gt 0 ] || set -- procward --headless
PROGRAM="$1"
shift
WORK="$(mktemp -d /tmp/procward-bench-XXXXXX)"
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  for pid in $(servers) $(servers crowd/); do kill -KILL "$pid" 2>/dev/null || true; done
  [ -n "$KEEP_WORK" ] && echo "kept $WORK" || rm -rf "$WORK"
}
# The processes of this run's copy of the test server (with an argument,
# of the copy in that folder of the run's).
servers() {
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = "$WORK/${1:-}procward-testserver" ] && basename "$(dirname "$exe")"
  done
  true
}
trap cleanup EXIT INT TERM
cp "$BUILD/$PROGRAM" "$BUILD/procward-testserver" "$BUILD/procward-metrics.so" "$WORK/"
[ -n "$NO_WRITER" ] || cp "$BUILD/procward-output" "$WORK/"
# A lock and a control socket of its own: a Procward already running on the
# machine neither stops this one nor is disturbed by it.
mkdir -m 700 "$WORK/run"
export PROCWARD_LOCK_DIR="$WORK" XDG_RUNTIME_DIR="$WORK/run"
{
  printf '['
  i=1
  while [ $i -le "$COUNT" ]; do
    [ $i -gt 1 ] && printf ','
    busy=""
    [ $i -gt $((COUNT - BUSY)) ] && busy=" --hold-connections $CONNECTIONS"
    [ $i -eq 1 ] && [ -n "$FLOOD" ] && busy="$busy --write-rate $FLOOD"
    health=""
    if [ -n "$HEALTH" ]; then
      port=$((HEALTH_PORT + i))
      busy="$busy --http 127.0.0.1:$port${HEALTH_KEEPALIVE:+ --http-keep-alive 0}"
      [ "$HEALTH" != http ] || health=$(printf ',"health":{"http":"http://127.0.0.1:%d/","interval":1,"grace":0}' $port)
    fi
    printf '{"name":"bench-%d","processname":"procward-testserver","commandline":"%s/procward-testserver --bench-id %d%s%s"%s}' \
      $i "$WORK" $i "${SERVER_ARGS:+ $SERVER_ARGS}" "$busy" "$health"
    i=$((i + 1))
  done
  printf ']'
} > "$WORK/serverinfo.json"
printf '[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n' > "$WORK/procward.ini"
[ -z "$FLOOD" ] || printf 'SERVER_LOG_MAX_MB=1\nSERVER_LOG_BACKUPS=3\n' >> "$WORK/procward.ini"
[ -z "$METRICS_LISTEN" ] || printf '[METRICS]\nLISTEN=%s\n' "$METRICS_LISTEN" >> "$WORK/procward.ini"

if [ "$CROWD" -gt 0 ]; then
  mkdir "$WORK/crowd"
  cp "$BUILD/procward-testserver" "$WORK/crowd/"
  i=1
  while [ $i -le "$CROWD" ]; do
    "$WORK/crowd/procward-testserver" --hold-connections 50 > /dev/null 2>&1 &
    i=$((i + 1))
  done
fi

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
# The writers of the servers' output, and the CPU time of all of them.
writers() {
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = "$WORK/procward-output" ] && basename "$(dirname "$exe")"
  done
  true
}
WRITERS=$(writers)
writer_ticks() {
  for w in $WRITERS; do cat /proc/"$w"/schedstat 2>/dev/null; done | awk '{ns += $1} END {printf "%.0f\n", ns}'
}
before=$(ticks)
writers_before=$(writer_ticks)
largest=0
if [ -n "$FLOOD" ]; then
  end=$(( $(date +%s) + SECONDS_TO_RUN ))
  while [ "$(date +%s)" -lt "$end" ]; do
    size=$(stat -c %s "$WORK"/logs/servers/bench-1.log* 2>/dev/null | sort -n | tail -1)
    [ "${size:-0}" -gt "$largest" ] && largest=$size
    sleep 0.2
  done
else
  sleep "$SECONDS_TO_RUN"
fi
after=$(ticks)
writers_after=$(writer_ticks)
writer_pss=$(for w in $WRITERS; do awk '/^Pss:/ {print $2}' /proc/"$w"/smaps_rollup 2>/dev/null; done |
  awk '{kb += $1} END {printf "%d\n", kb}')
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
    -v w="$written" -v out="${SERVER_ARGS:+, servers writing ($SERVER_ARGS)}" \
    -v health="${HEALTH:+, each answering HTTP ($HEALTH: http = with a health rule at 1 s)}" -v busy="${BUSY#0}" -v conns="$CONNECTIONS" -v crowd="${CROWD#0}" 'BEGIN {
  out = out health
  if (busy != "") out = out sprintf(", %d of them holding %d connections each", busy, conns)
  if (crowd != "") out = out sprintf(", %d other processes holding 100 sockets each", crowd)
  ms = (a - b) * 1000 / hz
  printf "%s%s%s: %d servers running, %d processes on the machine\n", prog, m, out, n, p
  printf "  CPU: %.0f ms per minute, %.2f ms per tick (1 s interval, %d s measured)\n", ms * 60 / s, ms / s, s
  printf "  peak RSS: %.1f MB\n", peak / 1024
  printf "  server output files: %.1f MB\n", w / 1048576
}'
echo "  start-up: all $COUNT servers running after $startup_ms ms"
if [ -n "$WRITERS" ]; then
  awk -v n="$(echo $WRITERS | wc -w)" -v b="$writers_before" -v a="$writers_after" -v s="$SECONDS_TO_RUN" \
      -v pss="$writer_pss" 'BEGIN {
    printf "  output writers: %d, together %.1f %% of a core, %.1f MB (PSS)\n", n, (a - b) / 1e9 / s * 100, pss / 1024 }'
else
  echo "  output writers: none (servers append to their files themselves)"
fi
[ -z "$FLOOD" ] || awk -v l="$largest" -v f="$FLOOD" 'BEGIN {
  printf "  a server writing %s MB/s: its files reached at most %d bytes (limit 1048576)\n", f, l }'
[ -z "$ctl_ms" ] || echo "  ctl status: $ctl_ms ms (median of 5, whole command)"
if [ -n "$SYSCALLS" ] && command -v strace > /dev/null; then
  timeout -s INT "$SYSCALLS" strace -f -c -o "$WORK/syscalls.txt" -p "$PID" 2> /dev/null || true
  echo "  system calls in $SYSCALLS s (strace -c; calls, errors, name):"
  awk '$NF ~ /^(getdents64|readlink|readlinkat|openat|read|newfstatat|statx|recvmsg|sendmsg|sendto|poll|ppoll|epoll_wait|pidfd_send_signal|waitid|total)$/ {
    printf "    %8d %8d %s\n", $4, (NF == 6) ? $5 : 0, $NF }' "$WORK/syscalls.txt"
fi
