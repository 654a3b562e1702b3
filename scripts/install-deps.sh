#!/bin/sh
# Installs every Debian package that building, testing and running Procward
# needs. Safe to run again: it does nothing (and says nothing) when all are
# present.
set -e

PACKAGES="g++ make cmake pkg-config
libspdlog-dev libfmt-dev rapidjson-dev libssl-dev openssl
libsystemd-dev libcpp-httplib-dev libcurl4-openssl-dev
dpkg-dev file curl
build-essential debhelper lintian scdoc man-db
libgtest-dev libgmock-dev libbenchmark-dev
libwxgtk3.2-dev fonts-wqy-microhei
python3 python3-aiosmtpd
xvfb xauth xdg-utils procps
openbox tint2 xdotool wmctrl x11-utils imagemagick"

# Word splitting of the list is wanted here.
# shellcheck disable=SC2086
exec "$(dirname "$0")/apt-install-missing.sh" $PACKAGES
