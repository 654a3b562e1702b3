#!/bin/bash
# Runs the Windows test programs under Wine, with a display (Xvfb) for the
# window and a real SMTP server (aiosmtpd) on 127.0.0.1 for the mail tests.
#
# Usage: test-windows.sh <build-win directory> [gtest filter]
set -euo pipefail

BUILD=$(cd "$1" && pwd)
FILTER=${2:-*}
SOURCE=$(cd "$(dirname "$0")/.." && pwd)

export WINEDEBUG=-all
export WINEPREFIX=$BUILD/wineprefix
# A Chinese system: the ANSI code page is 936 (GBK), as on the machines the
# program is written for. Wine takes it from the locale, which must exist.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8

if [ ! -f "$WINEPREFIX/.procward-ready" ]; then
  echo "== setting up the Wine prefix"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  touch "$WINEPREFIX/.procward-ready"
fi

work=$(mktemp -d)
smtp_pid=""
cleanup() {
  [ -n "$smtp_pid" ] && kill "$smtp_pid" 2>/dev/null || true
  WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The SMTP server the mail tests talk to.
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/messages"
/usr/bin/python3 "$SOURCE/tests/smtp/smtp_server.py" --port "$port" --user alerts@example.test \
  --password "s3cret pass" --outdir "$work/messages" --ready "$work/smtp-ready" >"$work/smtp.log" 2>&1 &
smtp_pid=$!
for _ in $(seq 100); do [ -f "$work/smtp-ready" ] && break; sleep 0.1; done
if [ ! -f "$work/smtp-ready" ]; then
  echo "the SMTP test server did not start:" >&2
  cat "$work/smtp.log" >&2
  exit 1
fi
export PROCWARD_SMTP_PORT=$port PROCWARD_SMTP_USER=alerts@example.test
export PROCWARD_SMTP_PASSWORD="s3cret pass" PROCWARD_SMTP_OUTDIR=$work/messages
# Wine passes the Unix environment on to the Windows programs.
export WINEDLLOVERRIDES="mscoree,mshtml="

cd "$BUILD"
xvfb-run -a -s "-screen 0 1920x1080x24" wine procward_win_tests.exe --gtest_filter="$FILTER" --gtest_color=no
