#!/bin/bash
# Tests what `make windows-installer` makes, under Wine, in a Wine prefix of
# its own made fresh for the run (a machine that never had Procward):
#   - both programs carry an icon, the version and a per-monitor DPI aware
#     manifest; the zip holds the two programs, the metrics module and the
#     README;
#   - a silent install with the service (/S /SERVICE=1) puts the programs
#     and the metrics module into Program Files, a Start-menu entry and an
#     Add/Remove Programs entry in place, and the service runs the server
#     list of %ProgramData%\Procward, answers ctl and, with the metrics on in
#     its procward.ini, serves /metrics through the installed module;
#   - the silent uninstall stops and removes the service, leaves its server
#     running and %ProgramData%\Procward in place, and removes the rest;
#   - an install without the service registers none, and /PURGE=1 removes
#     %ProgramData%\Procward too.
#
# Usage: test-windows-installer.sh <build-win directory>
set -uo pipefail

BUILD=$(cd "$1" && pwd)
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
VERSION=$(sed -n 's/^project(Procward VERSION \([0-9.]*\).*/\1/p' "$SOURCE/CMakeLists.txt")
SETUP=$BUILD/Procward-$VERSION-setup.exe
ZIP=$BUILD/Procward-$VERSION-win64.zip

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
export WINEPREFIX=$work/prefix
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # <what> <command...>
  local what=$1
  shift
  if "$@"; then
    echo "PASS $what"
  else
    echo "FAIL $what"
    failures=$((failures + 1))
  fi
}
# Waits up to 60 s for a command to succeed.
eventually() {
  for _ in $(seq 120); do "$@" && return 0; sleep 0.5; done
  return 1
}

echo "== the programs' resources and the archive"
check "icon, version $VERSION and DPI-aware manifest in both programs" \
  python3 "$SOURCE/tests/win32/support/pe_resources.py" "$VERSION" "$BUILD/procward.exe" "$BUILD/procwardd.exe"
zip_lists_the_programs() {
  python3 - "$ZIP" "Procward-$VERSION" <<'EOF'
import sys, zipfile
names = sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))
expected = sorted(sys.argv[2] + "/" + n for n in ("procward.exe", "procwardd.exe", "procward-metrics.dll", "procward-output.exe", "README.md"))
print(names)
sys.exit(names != expected)
EOF
}
check "the zip holds procward.exe, procwardd.exe, procward-metrics.dll, procward-output.exe and README.md" zip_lists_the_programs

echo "== a fresh Wine prefix"
wineboot -i >/dev/null 2>&1
wineserver -w
drive=$WINEPREFIX/drive_c
programs="$drive/Program Files/Procward"
data=$drive/ProgramData/Procward
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Procward.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Procward'

# The service's list and settings, written before the install as an
# operator would prepare a machine: one server that listens on a free port,
# and the metrics on another.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)
metrics_port=$(free_port)
mkdir -p "$drive/srv" "$data"
cp "$BUILD/procward-testserver.exe" "$drive/srv/gs-svc.exe"
printf '[{"name":"gs-svc","processname":"gs-svc.exe","commandline":"C:\\\\srv\\\\gs-svc.exe --listen 127.0.0.1:%s"}]\n' \
  "$port" >"$data/serverinfo.json"
printf '[METRICS]\r\nLISTEN=127.0.0.1:%s\r\n' "$metrics_port" >"$data/procward.ini"

echo "== silent install with the service"
wine "$SETUP" /S /SERVICE=1
status=$?
check "the installer ends with 0 (was $status)" test "$status" = 0
check "the programs, the metrics module, the output writer, the README and the uninstaller are in Program Files" \
  test -f "$programs/procward.exe" -a -f "$programs/procwardd.exe" -a -f "$programs/procward-metrics.dll" \
    -a -f "$programs/procward-output.exe" \
    -a -f "$programs/README.md" -a -f "$programs/uninstall.exe"
check "the Start-menu entry exists" test -f "$menu"
uninstall_entry() {
  wine reg query "$uninstall_key" /v "$1" 2>/dev/null | tr -d '\r' | grep -q "$2"
}
check "Add/Remove Programs lists Procward $VERSION" uninstall_entry DisplayVersion "$VERSION"
check "... with a quiet uninstall command" uninstall_entry QuietUninstallString 'uninstall.exe" /S'
service_state() {
  wine sc query Procward 2>/dev/null | tr -d '\r' | grep -q "$1"
}
check "the service runs" eventually service_state RUNNING
server_running() {
  wine "$programs/procwardd.exe" ctl status 2>/dev/null | tr -d '\r' | grep -q "gs-svc.*running"
}
check "ctl reaches the service and its server runs" eventually server_running
# The service finds the module beside its program and serves the server's
# series.
metrics_show_the_server() {
  python3 - "$metrics_port" <<'EOF' 2>/dev/null
import http.client, sys
connection = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=5)
connection.request("GET", "/metrics")
answer = connection.getresponse()
body = answer.read().decode()
sys.exit(not (answer.status == 200 and answer.getheader("Content-Type", "").startswith("text/plain; version=0.0.4")
              and 'procward_server_up{name="gs-svc"} 1' in body))
EOF
}
check "the service serves /metrics through the installed module" eventually metrics_show_the_server
# Wine's tasklist lists nothing: the server is known by its listening port.
server_listens() {
  python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 2)' "$port" 2>/dev/null
}

echo "== silent uninstall"
wine "$programs/uninstall.exe" /S
# The uninstaller runs from a copy in the temporary folder and returns at once.
# The output writer of the server left running stays until that ends.
check "the programs and the metrics module are removed" \
  eventually test ! -e "$programs/procwardd.exe" -a ! -e "$programs/procward-metrics.dll" -a ! -e "$programs/uninstall.exe"
check "the service is removed" eventually sh -c "! wine sc query Procward >/dev/null 2>&1"
check "the Start-menu entry is removed" test ! -e "$menu"
check "the Add/Remove Programs entry is removed" sh -c "! wine reg query '$uninstall_key' >/dev/null 2>&1"
check "the service's server keeps running" server_listens
check "%ProgramData%\\Procward stays" test -f "$data/serverinfo.json"

echo "== silent install without the service, uninstall with /PURGE=1"
# The server left running holds its output file in %ProgramData%\Procward;
# an operator ends it before removing the data (else that file goes at the
# next restart of Windows).
wine taskkill /F /IM gs-svc.exe >/dev/null 2>&1
check "the server has ended" eventually sh -c "! python3 -c 'import socket; socket.create_connection((\"127.0.0.1\", $port), 2)' 2>/dev/null"
wine "$SETUP" /S
status=$?
check "the installer ends with 0 (was $status)" test "$status" = 0
check "no service is registered" sh -c "! wine sc query Procward >/dev/null 2>&1"
wine "$programs/uninstall.exe" /S /PURGE=1
check "/PURGE=1 removes %ProgramData%\\Procward" eventually test ! -e "$data"
check "the programs and the output writer are removed" \
  eventually test ! -e "$programs/procwardd.exe" -a ! -e "$programs/procward-output.exe"

if [ "$failures" -gt 0 ]; then
  echo "$failures installer check(s) failed"
  exit 1
fi
echo "all installer checks passed"
