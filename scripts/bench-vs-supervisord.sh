#!/bin/sh
# Side by side in one run: procwardd supervising 99 servers at a 1 s check
# interval, and supervisord (Debian's package) supervising 99 servers of its
# own, the same test server program, each keeping its servers' output in
# files. Prints the CPU each supervisor used per minute and its peak memory.
# Usage: bench-vs-supervisord.sh BUILD [SECONDS]
set -e
BUILD="$(cd "${1:-build}" && pwd)"
SECONDS_TO_RUN="${2:-60}"
COUNT=99
"$(dirname "$0")/install-test-servers.sh" supervisor
SUPERVISORD="$(command -v supervisord || echo /usr/bin/supervisord)"

WORK="$(mktemp -d /tmp/procward-vs-XXXXXX)"
cleanup() {
  [ -n "$PW" ] && kill "$PW" 2>/dev/null || true
  [ -n "$SV" ] && kill "$SV" 2>/dev/null || true
  sleep 1
  for dir in pw sv; do
    for exe in /proc/[0-9]*/exe; do
      [ "$(readlink "$exe" 2>/dev/null)" = "$WORK/$dir/procward-testserver" ] &&
        kill -KILL "$(basename "$(dirname "$exe")")" 2>/dev/null || true
    done
  done
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
mkdir -p "$WORK/pw/run" "$WORK/sv/logs"
chmod 700 "$WORK/pw/run"
cp "$BUILD/procwardd" "$BUILD/procward-output" "$BUILD/procward-testserver" "$BUILD/procward-metrics.so" "$WORK/pw/"
cp "$BUILD/procward-testserver" "$WORK/sv/"

{
  printf '['
  i=1
  while [ $i -le $COUNT ]; do
    [ $i -gt 1 ] && printf ','
    printf '{"name":"bench-%d","processname":"procward-testserver","commandline":"%s/procward-testserver --bench-id %d"}' \
      $i "$WORK/pw" $i
    i=$((i + 1))
  done
  printf ']'
} > "$WORK/pw/serverinfo.json"
printf '[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n' > "$WORK/pw/procward.ini"

{
  printf '[supervisord]\nnodaemon=true\nlogfile=%s/supervisord.log\npidfile=%s/supervisord.pid\n' "$WORK/sv" "$WORK/sv"
  printf 'childlogdir=%s/logs\n' "$WORK/sv"
  printf '[unix_http_server]\nfile=%s/supervisor.sock\n' "$WORK/sv"
  printf '[rpcinterface:supervisor]\nsupervisor.rpcinterface_factory = supervisor.rpcinterface:make_main_rpcinterface\n'
  i=1
  while [ $i -le $COUNT ]; do
    printf '[program:bench-%d]\ncommand=%s/procward-testserver --bench-id %d\nautorestart=true\n' $i "$WORK/sv" $i
    printf 'redirect_stderr=true\nstdout_logfile=%s/logs/bench-%d.log\n' "$WORK/sv" $i
    i=$((i + 1))
  done
} > "$WORK/sv/supervisord.conf"

(cd "$WORK/pw" && PROCWARD_LOCK_DIR="$WORK/pw" XDG_RUNTIME_DIR="$WORK/pw/run" exec ./procwardd) \
  > "$WORK/pw/out.txt" 2>&1 &
PW=$!
"$SUPERVISORD" -c "$WORK/sv/supervisord.conf" > "$WORK/sv/out.txt" 2>&1 &
SV=$!
# Both start their servers and settle.
sleep 10
count() {
  n=0
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = "$WORK/$1/procward-testserver" ] && n=$((n + 1))
  done
  echo $n
}
# CPU time of every thread of a process, in nanoseconds (the scheduler's
# own count: the clock ticks of /proc/PID/stat are too coarse for a process
# that needs milliseconds per minute).
ticks() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ns += $1} END {printf "%.0f\n", ns}'; }
pw0=$(ticks $PW)
sv0=$(ticks $SV)
sleep "$SECONDS_TO_RUN"
pw1=$(ticks $PW)
sv1=$(ticks $SV)
hz=1000000000
report() {
  awk -v name="$1" -v b="$2" -v a="$3" -v hz="$hz" -v s="$SECONDS_TO_RUN" -v n="$4" \
      -v peak="$(awk '/VmHWM/ {print $2}' "/proc/$5/status")" 'BEGIN {
    printf "  %-12s %3d servers running: CPU %4.0f ms per minute, peak RSS %.1f MB\n", name, n, (a - b) * 1000 / hz * 60 / s, peak / 1024
  }'
}
echo "procwardd and supervisord side by side, $SECONDS_TO_RUN s measured, $(ls -d /proc/[0-9]* | wc -l) processes on the machine"
report procwardd "$pw0" "$pw1" "$(count pw)" $PW
report supervisord "$sv0" "$sv1" "$(count sv)" $SV
