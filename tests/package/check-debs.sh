#!/bin/sh
# Checks the Debian packages that `make deb` built: what each holds, what
# each depends on, and the unit inside. Usage: check-debs.sh BUILD VERSION
set -u
BUILD="$1"
VERSION="$2"
DAEMON="$BUILD/procwardd_${VERSION}_amd64.deb"
DESKTOP="$BUILD/procward_${VERSION}_amd64.deb"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for deb in "$DAEMON" "$DESKTOP"; do
  [ -f "$deb" ] || { echo "FAIL: $deb was not built"; exit 1; }
done

files() { dpkg-deb -c "$1" | awk '{print $6}'; }
holds() { files "$1" | grep -qx "$2" || fail "$(basename "$1") lacks $2"; }
lacks() { ! files "$1" | grep -qx "$2" || fail "$(basename "$1") holds $2"; }
field() { dpkg-deb -f "$1" "$2"; }

for path in ./usr/bin/procwardd ./usr/lib/procward/procward-metrics.so ./usr/lib/systemd/system/procwardd.service \
    ./usr/share/procward/prometheus/procward-scrape.yml ./usr/share/procward/prometheus/procward-alerts.yml; do
  holds "$DAEMON" "$path"
  holds "$DESKTOP" "$path"
done
lacks "$DAEMON" ./usr/bin/procward
lacks "$DAEMON" ./usr/share/applications/procward.desktop
holds "$DESKTOP" ./usr/bin/procward
holds "$DESKTOP" ./usr/share/applications/procward.desktop
holds "$DESKTOP" ./usr/share/icons/hicolor/256x256/apps/procward.png

[ "$(field "$DAEMON" Package)" = procwardd ] || fail "the daemon's package is named $(field "$DAEMON" Package)"
[ "$(field "$DESKTOP" Package)" = procward ] || fail "the window's package is named $(field "$DESKTOP" Package)"
[ "$(field "$DAEMON" Version)" = "$VERSION" ] || fail "version $(field "$DAEMON" Version)"

daemonDepends="$(field "$DAEMON" Depends)"
echo "procwardd depends on: $daemonDepends"
if echo "$daemonDepends" | grep -Eqi 'gtk|wx|x11'; then fail "the daemon's package needs a toolkit: $daemonDepends"; fi
for dependency in libsystemd0 libcurl4 libssl3 libfmt9 libstdc++6; do
  echo "$daemonDepends" | grep -q "$dependency" || fail "the daemon's package does not depend on $dependency"
done
desktopDepends="$(field "$DESKTOP" Depends)"
echo "$desktopDepends" | grep -q libwxgtk3.2 || fail "the window's package does not depend on wxGTK: $desktopDepends"
for relation in Conflicts Replaces Provides; do
  [ "$(field "$DESKTOP" "$relation")" = procwardd ] || fail "the window's package has $relation: $(field "$DESKTOP" "$relation")"
done

unit="$(dpkg-deb --fsys-tarfile "$DAEMON" | tar -xO ./usr/lib/systemd/system/procwardd.service)"
for line in "Type=notify" \
    "ExecStart=/usr/bin/procwardd --config-dir /etc/procward --log-dir /var/log/procward" \
    "KillMode=process" "WatchdogSec=30" "StateDirectory=procward"; do
  echo "$unit" | grep -qx "$line" || fail "the unit lacks the line $line"
done

# The packaged daemon runs and needs no toolkit library.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$DAEMON" "$work"
if ldd "$work/usr/bin/procwardd" | grep -Eqi 'gtk|wx|libX'; then fail "procwardd loads a toolkit library"; fi
"$work/usr/bin/procwardd" --help | grep -q "ctl status" || fail "the packaged procwardd does not run"

[ "$failures" -eq 0 ] && echo "both packages are as they should be"
exit "$failures"
