#!/bin/sh
# Runs the benchmarks built in the build directory, then measures the
# window-less supervisor as it runs.
set -e
BUILD="${1:-build}"
"$BUILD/procward_bench" --benchmark_counters_tabular=true
"$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procward --headless
"$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procwardd
METRICS_LISTEN=127.0.0.1:19464 "$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procwardd
# Busy as idle: ten servers holding 2,000 established connections each,
# then 1,000 other processes holding 100 sockets each.
BUSY=10 "$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procwardd
CROWD=1000 "$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procwardd
# One server writing 300 MB of output a second: its writer's CPU and the
# size its files reach.
FLOOD=300 "$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procwardd
# Health rules probing every server over HTTP every second, and the same
# servers without rules.
HEALTH=serve "$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procwardd
HEALTH=http "$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procwardd
# The same servers each writing about 1 MB of output per minute.
SERVER_ARGS="--count-lines 100 18" "$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procwardd
# The window with its 99 rows, on a desktop of its own.
"$(dirname "$0")/desktop-session.sh" "$(dirname "$0")/bench-headless.sh" "$BUILD" 30 procward
"$(dirname "$0")/bench-exit-line.py" "$BUILD" 20
