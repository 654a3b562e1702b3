#!/bin/bash
# Runs the Windows test programs under Wine, with a display (Xvfb) for the
# window, a real SMTP server (aiosmtpd) on 127.0.0.1 for the mail tests and
# a real HTTP(S) webhook receiver (Python's http.server) for the alert
# channels.
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
# One test starts the window under an English locale (code page 1252).
for wanted in zh_CN en_US; do
  if ! locale -a 2>/dev/null | grep -qi "^$wanted\.utf-\?8\$"; then
    if [ "$(id -u)" = 0 ]; then localedef -i $wanted -f UTF-8 $wanted.UTF-8; else sudo localedef -i $wanted -f UTF-8 $wanted.UTF-8; fi
  fi
done
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8

if [ ! -f "$WINEPREFIX/.procward-ready" ]; then
  echo "== setting up the Wine prefix"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  touch "$WINEPREFIX/.procward-ready"
fi

work=$(mktemp -d)
smtp_pids=()
cleanup() {
  for pid in "${smtp_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The SMTP servers the mail tests talk to: one without TLS, one that offers
# STARTTLS and one that speaks TLS from the start, with a certificate for
# 127.0.0.1 made now by a test authority of its own.
tls=$work/tls
mkdir -p "$tls"
make_authority() {  # <name>
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$tls/$1.key" \
    -out "$tls/$1.pem" -days 3 -subj "/CN=Procward $1" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>>"$tls/openssl.log"
}
make_authority authority
make_authority stranger
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$tls/server.ext"
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$tls/server.key" \
  -out "$tls/server.csr" -subj "/CN=127.0.0.1" 2>>"$tls/openssl.log"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/authority.pem" -CAkey "$tls/authority.key" \
  -CAcreateserial -out "$tls/server.pem" -days 3 -extfile "$tls/server.ext" 2>>"$tls/openssl.log"

smtp_pids=()
start_smtp() {  # <variable for the port> <security> [options...]
  local variable=$1 security=$2 port name outdir
  shift 2
  name=smtp-$security
  # Each server numbers its messages from 1, so each has its own folder.
  outdir=$work/messages-$security
  mkdir -p "$outdir"
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  /usr/bin/python3 "$SOURCE/tests/smtp/smtp_server.py" --port "$port" --user alerts@example.test \
    --password "s3cret pass" --outdir "$outdir" --ready "$work/$name-ready" --security "$security" "$@" \
    >"$work/$name.log" 2>&1 &
  smtp_pids+=($!)
  for _ in $(seq 100); do [ -f "$work/$name-ready" ] && break; sleep 0.1; done
  if [ ! -f "$work/$name-ready" ]; then
    echo "the SMTP test server ($security) did not start:" >&2
    cat "$work/$name.log" >&2
    exit 1
  fi
  export "$variable=$port" "${variable%PORT}OUTDIR=$outdir"
}
start_smtp PROCWARD_SMTP_PORT plain
start_smtp PROCWARD_SMTP_STARTTLS_PORT starttls --cert "$tls/server.pem" --key "$tls/server.key"
start_smtp PROCWARD_SMTP_TLS_PORT implicit --cert "$tls/server.pem" --key "$tls/server.key"
# The webhook receivers the alert channels post to: plain HTTP and HTTPS with
# the same certificate as the mail servers.
start_webhook() {  # <variable for the port> [--cert FILE --key FILE]
  local variable=$1 port name outdir
  shift
  name=webhook-${variable,,}
  outdir=$work/$name
  mkdir -p "$outdir"
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  /usr/bin/python3 "$SOURCE/tests/win32/support/webhook_receiver.py" --port "$port" --outdir "$outdir" \
    --ready "$work/$name-ready" "$@" >"$work/$name.log" 2>&1 &
  smtp_pids+=($!)
  for _ in $(seq 100); do [ -f "$work/$name-ready" ] && break; sleep 0.1; done
  if [ ! -f "$work/$name-ready" ]; then
    echo "the webhook receiver ($variable) did not start:" >&2
    cat "$work/$name.log" >&2
    exit 1
  fi
  export "$variable=$port" "${variable%PORT}OUTDIR=$outdir"
}
start_webhook PROCWARD_WEBHOOK_PORT
start_webhook PROCWARD_WEBHOOK_TLS_PORT --cert "$tls/server.pem" --key "$tls/server.key"
export PROCWARD_SMTP_USER=alerts@example.test
export PROCWARD_SMTP_PASSWORD="s3cret pass"
# The authority that signed the servers' certificate and one that did not.
export PROCWARD_TLS_AUTHORITY=$tls/authority.pem PROCWARD_TLS_STRANGER=$tls/stranger.pem
# Wine passes the Unix environment on to the Windows programs.
export WINEDLLOVERRIDES="mscoree,mshtml="

cd "$BUILD"
# The tests named CodePage1252 need an English system (code page 1252): Wine
# takes a program's code page from the locale it starts in. Those named Dpi144
# need the desktop at 144 DPI, which Wine reads when its desktop starts. Each
# kind runs in a pass of its own.
special="*CodePage1252*:*Dpi144*"
if [[ $FILTER == *-* ]]; then main_filter="$FILTER:$special"; else main_filter="$FILTER-$special"; fi
run_tests() {  # <gtest filter>
  xvfb-run -a -s "-screen 0 1920x1080x24" wine procward_win_tests.exe --gtest_filter="$1" --gtest_color=no
}
run_tests "$main_filter"
if [[ $FILTER == "*" || $FILTER == *CodePage1252* ]]; then
  echo "== under code page 1252 (LANG=en_US.UTF-8)"
  LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 run_tests "*CodePage1252*"
fi
if [[ $FILTER == "*" || $FILTER == *Dpi144* ]]; then
  echo "== with the desktop at 144 DPI"
  wineserver -k 2>/dev/null || true
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null
  wineserver -w
  status=0
  run_tests "*Dpi144*" || status=$?
  wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 || true
  wineserver -w
  [ $status = 0 ] || exit $status
fi
