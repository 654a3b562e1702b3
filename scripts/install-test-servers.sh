#!/bin/sh
# Installs the real server programs the tests supervise (redis, nginx,
# memcached) and the fleet tools the tests drive (Prometheus, Alertmanager,
# ansible-core) when they are missing. Their packages would start system
# services of their own on the default ports; a policy that refuses every
# service start is put in place for the installation, so nothing starts
# and nothing of the machine's own set-up changes. Other packages of the
# kind (the benchmark's supervisor) can be named on the command line.
set -e

[ $# -gt 0 ] || set -- redis-server nginx-light memcached prometheus prometheus-alertmanager ansible-core
missing=""
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
POLICY=/usr/sbin/policy-rc.d
placed=""
if [ ! -e "$POLICY" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$POLICY" >/dev/null
  $SUDO chmod 755 "$POLICY"
  placed=1
fi
status=0
# Word splitting of the list is wanted here.
# shellcheck disable=SC2086
"$(dirname "$0")/apt-install-missing.sh" $missing || status=$?
if [ -n "$placed" ]; then $SUDO rm -f "$POLICY"; fi
exit $status
