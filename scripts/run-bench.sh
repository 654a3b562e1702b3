#!/bin/sh
# Runs the benchmarks built in the build directory.
set -e
BUILD="${1:-build}"
exec "$BUILD/procward_bench" --benchmark_counters_tabular=true
