#!/bin/sh
# Builds Procward with sanitizers into a build directory of its own and runs
# the tests there. Everything is instrumented: the test programs, procward,
# procwardd, the test server and the modules they load.
#
#   scripts/check-sanitizers.sh address   # AddressSanitizer, LeakSanitizer and
#                                         # UndefinedBehaviorSanitizer in build-asan/:
#                                         # the Linux suite, window tests included
#   scripts/check-sanitizers.sh thread    # ThreadSanitizer in build-tsan/: the tests
#                                         # labelled "threads"
#
# Every process writes what its sanitizer finds into <build>/sanitizer-reports/
# rather than onto its stderr, so a finding in a program a test runs is not
# lost in output the test swallows. The script fails when a test fails or
# when any report was written, and prints the reports.
set -e
cd "$(dirname "$0")/.."

case "$1" in
  address) BUILD=build-asan SANITIZE=address,undefined ;;
  thread) BUILD=build-tsan SANITIZE=thread ;;
  *) echo "usage: $0 address|thread" >&2; exit 2 ;;
esac

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPROCWARD_SANITIZE="$SANITIZE" \
  -DPROCWARD_WERROR="${PROCWARD_WERROR:-OFF}" >/dev/null
cmake --build "$BUILD" -j2

REPORTS="$(pwd)/$BUILD/sanitizer-reports"
SUPPRESSIONS="$(pwd)/tests/sanitizers"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

# Reports go to files named after the process ID; leaks are looked for at
# every exit; undefined behaviour ends the program (it is also compiled not
# to recover). Only third-party code is suppressed, in tests/sanitizers/.
export ASAN_OPTIONS="log_path=$REPORTS/asan:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$SUPPRESSIONS/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="log_path=$REPORTS/ubsan:print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="log_path=$REPORTS/tsan:second_deadlock_stack=1:suppressions=$SUPPRESSIONS/tsan.supp"

status=0
if [ "$1" = address ]; then
  # As make test: the tests without a window side by side, then the window
  # tests one at a time on a desktop. The package tests are left out: a
  # package of instrumented programs means nothing.
  (cd "$BUILD" && xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j2 -LE 'gui|package') ||
    status=$?
  scripts/desktop-session.sh sh -c "cd '$BUILD' && ctest --output-on-failure -L gui" || status=$?
else
  (cd "$BUILD" && xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j2 -L threads) ||
    status=$?
fi

found=0
for report in "$REPORTS"/*; do
  [ -e "$report" ] || continue
  found=$((found + 1))
  echo "==== $report"
  cat "$report"
done
if [ "$found" -gt 0 ]; then
  echo "check-sanitizers: $found report(s) in $REPORTS" >&2
  status=1
fi
exit $status
