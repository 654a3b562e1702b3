#!/bin/sh
# Checks the Debian packages that scripts/build-debs.sh built: what each
# holds, what each depends on, the unit and the maintainer scripts, the
# installed size, and the programs inside (stripped, hardened, at the
# package's version). Usage: check-debs.sh OUTDIR VERSION
set -u
OUTDIR="$1"
VERSION="$2"
DAEMON="$OUTDIR/procwardd_${VERSION}_amd64.deb"
DESKTOP="$OUTDIR/procward_${VERSION}_amd64.deb"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for deb in "$DAEMON" "$DESKTOP" "$OUTDIR/procwardd-dbgsym_${VERSION}_amd64.deb" \
    "$OUTDIR/procward-dbgsym_${VERSION}_amd64.deb"; do
  [ -f "$deb" ] || { echo "FAIL: $deb was not built"; exit 1; }
done

files() { dpkg-deb -c "$1" | awk '{print $6}'; }
holds() { files "$1" | grep -qx "$2" || fail "$(basename "$1") lacks $2"; }
lacks() { ! files "$1" | grep -qx "$2" || fail "$(basename "$1") holds $2"; }
field() { dpkg-deb -f "$1" "$2"; }

for path in ./usr/bin/procwardd ./usr/lib/procward/procward-metrics.so ./usr/lib/procward/procward-output \
    ./lib/systemd/system/procwardd.service \
    ./usr/share/procward/prometheus/procward-scrape.yml ./usr/share/procward/prometheus/procward-alerts.yml \
    ./usr/share/procward/alertmanager/alertmanager.yml ./usr/share/procward/grafana/procward.json \
    ./usr/share/procward/ansible/ansible_collections/procward/fleet/plugins/modules/server.py \
    ./usr/share/man/man8/procwardd.8.gz; do
  holds "$DAEMON" "$path"
  holds "$DESKTOP" "$path"
done
for package in procwardd procward; do
  deb="$OUTDIR/${package}_${VERSION}_amd64.deb"
  for doc in copyright changelog.gz README.md.gz; do holds "$deb" "./usr/share/doc/$package/$doc"; done
done
for path in ./usr/bin/procward ./usr/share/applications/procward.desktop ./usr/share/man/man1/procward.1.gz \
    ./usr/share/icons/hicolor/256x256/apps/procward.png; do
  lacks "$DAEMON" "$path"
  holds "$DESKTOP" "$path"
done

[ "$(field "$DAEMON" Package)" = procwardd ] || fail "the daemon's package is named $(field "$DAEMON" Package)"
[ "$(field "$DESKTOP" Package)" = procward ] || fail "the window's package is named $(field "$DESKTOP" Package)"
[ "$(field "$DAEMON" Version)" = "$VERSION" ] || fail "version $(field "$DAEMON" Version)"
for deb in "$DAEMON" "$DESKTOP"; do
  echo "$(basename "$deb"): Installed-Size $(field "$deb" Installed-Size) KiB"
done
[ "$(field "$DAEMON" Installed-Size)" -le 10240 ] || fail "procwardd installs more than 10 MiB"

daemonDepends="$(field "$DAEMON" Depends)"
echo "procwardd depends on: $daemonDepends"
if echo "$daemonDepends" | grep -Eqi 'gtk|wx|x11'; then fail "the daemon's package needs a toolkit: $daemonDepends"; fi
for dependency in libsystemd0 libcurl4 libssl3 libfmt9 libstdc++6 libcpp-httplib; do
  echo "$daemonDepends" | grep -q "$dependency" || fail "the daemon's package does not depend on $dependency"
done
desktopDepends="$(field "$DESKTOP" Depends)"
echo "$desktopDepends" | grep -q libwxgtk3.2 || fail "the window's package does not depend on wxGTK: $desktopDepends"
for relation in Conflicts Replaces Provides; do
  [ "$(field "$DESKTOP" "$relation")" = procwardd ] || fail "the window's package has $relation: $(field "$DESKTOP" "$relation")"
done

unit="$(dpkg-deb --fsys-tarfile "$DAEMON" | tar -xO ./lib/systemd/system/procwardd.service)"
for line in "Type=notify" \
    "ExecStart=/usr/bin/procwardd --config-dir /etc/procward --log-dir /var/log/procward" \
    "KillMode=process" "WatchdogSec=30" "StateDirectory=procward" "LogsDirectory=procward"; do
  echo "$unit" | grep -qx "$line" || fail "the unit lacks the line $line"
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The maintainer scripts: the unit's handling, no ldconfig (no shared
# library is shipped), and the window's package leaves the unit disabled.
for package in procwardd procward; do
  mkdir "$work/$package-control"
  dpkg-deb -e "$OUTDIR/${package}_${VERSION}_amd64.deb" "$work/$package-control"
  if grep -qs ldconfig "$work/$package-control"/*; then fail "$package's maintainer scripts call ldconfig"; fi
done
grep -q "deb-systemd-helper enable 'procwardd.service'" "$work/procwardd-control/postinst" ||
  fail "procwardd's postinst does not enable the unit"
# The window's package enables and starts it only where the administrator
# did (only what was enabled is enabled again), restarts what runs, and
# stops it on removal.
grep -q "deb-systemd-helper debian-installed 'procwardd.service'" "$work/procward-control/postinst" &&
  ! grep -q "_dh_action=start" "$work/procward-control/postinst" &&
  grep -q "deb-systemd-invoke try-restart 'procwardd.service'" "$work/procward-control/postinst" ||
  fail "procward's postinst enables or starts the unit, or does not restart it"
grep -q "deb-systemd-invoke stop procwardd.service" "$work/procward-control/prerm" ||
  fail "procward's prerm does not stop the unit"
grep -q "rm -rf /var/lib/procward /var/log/procward" "$work/procwardd-control/postrm" ||
  fail "procwardd's postrm does not remove the state and the logs"

# The programs: stripped (their symbols are in the -dbgsym packages),
# hardened, and at the package's version.
dpkg-deb -x "$DESKTOP" "$work/root"
for binary in usr/bin/procwardd usr/bin/procward usr/lib/procward/procward-metrics.so usr/lib/procward/procward-output; do
  description="$(file -b "$work/root/$binary")"
  case "$description" in *", stripped"*) ;; *) fail "$binary is not stripped: $description" ;; esac
  readelf -d "$work/root/$binary" | grep -Eq 'FLAGS.*(BIND_NOW|NOW)' || fail "$binary is not linked with -z now"
  readelf -lW "$work/root/$binary" | grep -q GNU_RELRO || fail "$binary has no RELRO segment"
  buildId="$(readelf -n "$work/root/$binary" | awk '/Build ID/ {print $3}')"
  dbgsym="$OUTDIR/$([ "$binary" = usr/bin/procward ] && echo procward || echo procwardd)-dbgsym_${VERSION}_amd64.deb"
  holds "$dbgsym" "./usr/lib/debug/.build-id/$(echo "$buildId" | cut -c1-2)/$(echo "$buildId" | cut -c3-).debug"
done
for binary in usr/bin/procwardd usr/bin/procward; do
  nm -D "$work/root/$binary" | grep -q '_chk@' || fail "$binary calls no fortified function"
done
if ldd "$work/root/usr/bin/procwardd" | grep -Eqi 'gtk|wx|libX'; then fail "procwardd loads a toolkit library"; fi
for program in procwardd procward; do
  [ "$("$work/root/usr/bin/$program" --version)" = "$program $VERSION" ] ||
    fail "$program --version says $("$work/root/usr/bin/$program" --version)"
  "$work/root/usr/bin/$program" --help | grep -q "ctl status" || fail "$program --help does not say how to use it"
done

[ "$failures" -eq 0 ] && echo "both packages are as they should be"
exit "$failures"
