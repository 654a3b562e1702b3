#!/bin/sh
# Installs every Debian package that building, testing and running Procward
# needs. Safe to run again: it does nothing (and says nothing) when all are
# present.
set -e

PACKAGES="g++ make cmake pkg-config
libspdlog-dev libfmt-dev rapidjson-dev libssl-dev openssl
libsystemd-dev libcpp-httplib-dev
dpkg-dev file curl
libgtest-dev libgmock-dev libbenchmark-dev
libwxgtk3.2-dev fonts-wqy-microhei
python3 python3-aiosmtpd
xvfb xauth xdg-utils procps
openbox tint2 xdotool wmctrl x11-utils imagemagick"

missing=""
for p in $PACKAGES; do
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
