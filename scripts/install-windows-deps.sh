#!/bin/sh
# Installs the Debian packages the Windows cross-build and its tests under
# Wine need, on top of those of install-deps.sh. Safe to run again: it does
# nothing (and says nothing) when all are present.
set -e

PACKAGES="g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
wine wine64 dpkg-dev nsis
googletest libspdlog-dev libfmt-dev rapidjson-dev
make perl python3 python3-aiosmtpd xvfb xauth xdotool openssl locales"

# Word splitting of the list is wanted here.
# shellcheck disable=SC2086
exec "$(dirname "$0")/apt-install-missing.sh" $PACKAGES
