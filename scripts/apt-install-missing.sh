#!/bin/sh
# Installs those of the Debian packages named as arguments that are not
# installed yet, through sudo when not run as root. Does nothing (and says
# nothing) when all are present.
set -e

missing=""
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
