#!/bin/sh
# Installs procwardd from the packages scripts/build-debs.sh built, upgrades
# it to a second build of the same source at a higher version, removes it
# and purges it, on this machine, checking at each step its files, the
# unit's enable link and what the maintainer scripts asked of the service
# manager. Usage: install-debs.sh OUTDIR VERSION
#
# It needs root (or sudo without a password) and skips itself otherwise
# (exit 77), as it does on a machine where procward or procwardd is
# installed or has left its directories: it changes nothing that it did not
# make. One such test runs at a time per machine.
#
# Without systemd as PID 1 (a container, CI) the maintainer scripts skip
# the service manager. So that their calls can be seen, each package
# operation runs in a mount namespace of its own in which /run/systemd/system
# exists, as when systemd runs, and /usr/sbin/policy-rc.d writes down what
# it is asked and answers 101 (not now): deb-systemd-invoke asks it before
# every start, restart and stop, and then does nothing.
set -u
OUTDIR="$(cd "$1" && pwd)"
VERSION="$2"
UPGRADE="${VERSION}+1"
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
UNIT_LINK=/etc/systemd/system/multi-user.target.wants/procwardd.service
SKIP=77
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

SUDO=""
if [ "$(id -u)" != 0 ]; then
  if ! sudo -n true 2>/dev/null; then
    echo "SKIP: installing packages needs root or sudo without a password"
    exit $SKIP
  fi
  SUDO="sudo -n"
fi
# The whole test holds this lock: another copy of the suite (a second
# worktree) waits here rather than meet this one's package.
LOCK=/run/lock/procward-package-test.lock
[ -d /run/lock ] || LOCK=/tmp/procward-package-test.lock
$SUDO touch "$LOCK"
exec 9<"$LOCK"
flock -w 1800 9 || { echo "FAIL: another package test holds the machine"; exit 1; }

status() { dpkg-query -W -f='${db:Status-Abbrev}${Version}' procwardd 2>/dev/null; }
# Nothing of the package in dpkg's database: never known, or purged.
absent() {
  case "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" in "" | un* | pn*) return 0 ;; esac
  return 1
}
for package in procwardd procward; do
  if ! absent "$package"; then
    echo "SKIP: $package is on this machine already ($(dpkg-query -W -f='${db:Status-Abbrev}' "$package")): this" \
      "test touches no installation but its own"
    exit $SKIP
  fi
done
for directory in /etc/procward /var/lib/procward /var/log/procward; do
  if [ -e "$directory" ]; then
    echo "SKIP: $directory exists: this test would remove it"
    exit $SKIP
  fi
done

# The upgrade: the same source once more at a higher version, built on
# the first build's directory.
echo "== building the upgrade, version $UPGRADE"
if ! "$ROOT/scripts/build-debs.sh" "$OUTDIR" "$UPGRADE" >"$OUTDIR/upgrade-build.log" 2>&1; then
  tail -40 "$OUTDIR/upgrade-build.log"
  echo "FAIL: the upgrade did not build (all of it in $OUTDIR/upgrade-build.log)"
  exit 1
fi
grep -c "Building CXX object" "$OUTDIR/upgrade-build.log" | sed 's/^/objects compiled again for the upgrade: /'

work="$(mktemp -d)"
chmod 755 "$work"
cleanUp() {
  absent procwardd || $SUDO dpkg --purge procwardd >/dev/null 2>&1
  $SUDO rm -rf /var/lib/procward /var/log/procward /etc/procward
  [ -z "${createdRunSystemd:-}" ] || $SUDO rmdir /run/systemd
  rm -rf "$work"
}
trap cleanUp EXIT
trap 'exit 1' INT TERM
CALLS="$work/policy-calls"
: >"$CALLS"
chmod 666 "$CALLS"
printf '#!/bin/sh\necho "$*" >> %s\nexit 101\n' "$CALLS" >"$work/policy-rc.d"
chmod 755 "$work/policy-rc.d"
mkdir "$work/ns"

# Runs a command in the namespace described above: /run/systemd/system on a
# tmpfs of its own, and the policy over /usr/sbin through an overlay whose
# upper layer is a tmpfs too (an overlay's upper layer cannot be on
# another overlay, as a container's root often is).
NAMESPACE='
  mount -t tmpfs procward-test /run/systemd
  mkdir /run/systemd/system
  mount -t tmpfs procward-test "$0/ns"
  mkdir "$0/ns/upper" "$0/ns/work"
  cp "$0/policy-rc.d" "$0/ns/upper/policy-rc.d"
  mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$0/ns/upper,workdir=$0/ns/work" /usr/sbin
  exec "$@"'
namespaced=""
createdRunSystemd=""
[ -d /run/systemd ] || { $SUDO mkdir /run/systemd && createdRunSystemd=1; }
if $SUDO unshare -m sh -ec "$NAMESPACE" "$work" test -x /usr/sbin/policy-rc.d 2>/dev/null; then
  namespaced=1
else
  echo "NOTE: no mount namespace here: the maintainer scripts' calls to the service manager are not checked"
fi
package() {
  if [ -n "$namespaced" ]; then
    $SUDO unshare -m sh -ec "$NAMESPACE" "$work" "$@" </dev/null
  else
    $SUDO "$@" </dev/null
  fi
}
APT="env DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends -o DPkg::Lock::Timeout=600"


callsSince() { tail -n +"$(($1 + 1))" "$CALLS"; }
expectCall() {
  [ -n "$namespaced" ] || return 0
  callsSince "$1" | grep -qx "procwardd.service $2" ||
    fail "$3: policy-rc.d was not asked to $2 procwardd.service (asked: $(callsSince "$1" | tr '\n' ';'))"
}
packageFiles() { dpkg-query -L procwardd | while read -r f; do [ -d "$f" ] || echo "$f"; done; }

# Install.
calls=$(wc -l <"$CALLS")
echo "== install $VERSION"
package $APT install "$OUTDIR/procwardd_${VERSION}_amd64.deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "install"; }
[ "$(status)" = "ii $VERSION" ] || fail "after the install dpkg says: $(status)"
[ "$(/usr/bin/procwardd --version)" = "procwardd $VERSION" ] || fail "the installed procwardd says $(/usr/bin/procwardd --version)"
packageFiles >"$work/files"
for f in /usr/bin/procwardd /usr/lib/procward/procward-metrics.so /lib/systemd/system/procwardd.service \
    /usr/share/man/man8/procwardd.8.gz /usr/share/doc/procwardd/copyright; do
  grep -qx "$f" "$work/files" || fail "the package does not install $f"
done
while read -r f; do [ -e "$f" ] || fail "$f is missing after the install"; done <"$work/files"
[ "$(readlink "$UNIT_LINK")" = /lib/systemd/system/procwardd.service ] ||
  fail "the unit is not enabled: $UNIT_LINK is '$(readlink "$UNIT_LINK")'"
expectCall "$calls" start "install"
man -w procwardd >/dev/null 2>&1 || fail "man does not find procwardd(8)"

# What the supervisor makes once it runs under systemd: its state, its
# logs and the (empty) configuration directory.
$SUDO mkdir -p /etc/procward /var/lib/procward /var/log/procward/servers
echo '{}' | $SUDO tee /var/lib/procward/procward.state >/dev/null
echo 'Procward started!' | $SUDO tee /var/log/procward/procwardd_20261209.log >/dev/null

# Upgrade.
calls=$(wc -l <"$CALLS")
echo "== upgrade to $UPGRADE"
package $APT install "$OUTDIR/procwardd_${UPGRADE}_amd64.deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "upgrade"; }
[ "$(status)" = "ii $UPGRADE" ] || fail "after the upgrade dpkg says: $(status)"
[ "$(/usr/bin/procwardd --version)" = "procwardd $UPGRADE" ] ||
  fail "the upgraded procwardd says $(/usr/bin/procwardd --version)"
expectCall "$calls" restart "upgrade"
if callsSince "$calls" | grep -q "procwardd.service stop"; then fail "the upgrade stopped the service before restarting it"; fi
[ -L "$UNIT_LINK" ] || fail "the upgrade lost the unit's enable link"
[ -f /var/lib/procward/procward.state ] || fail "the upgrade removed the state"

# Remove: the programs go, the service is stopped, the state and the logs
# and the unit's enabled state stay until the purge.
packageFiles >"$work/files"
calls=$(wc -l <"$CALLS")
echo "== remove"
package $APT remove procwardd >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "remove"; }
[ "$(status | cut -c1-2)" = rc ] || fail "after the removal dpkg says: $(status)"
expectCall "$calls" stop "remove"
while read -r f; do [ ! -e "$f" ] || fail "$f is left after the removal"; done <"$work/files"
for f in /var/lib/procward/procward.state /var/log/procward/procwardd_20261209.log; do
  [ -f "$f" ] || fail "the removal took $f"
done
[ -L "$UNIT_LINK" ] || fail "the removal forgot that the unit was enabled"

# Purge: nothing of it is left.
echo "== purge"
package $APT purge procwardd >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "purge"; }
absent procwardd || fail "after the purge dpkg says: $(status)"
for f in /etc/procward /var/lib/procward /var/log/procward /usr/lib/procward /usr/share/procward \
    /usr/share/doc/procwardd "$UNIT_LINK"; do
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f is left after the purge"
done
left="$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
  /var/lib/dpkg/info -name '*procwardd*' 2>/dev/null)"
[ -z "$left" ] || fail "left after the purge: $left"

[ -z "$namespaced" ] || echo "policy-rc.d was asked: $(tr '\n' ';' <"$CALLS")"
[ "$failures" -eq 0 ] && echo "procwardd installed, upgraded, removed and purged as it should be"
exit "$failures"
