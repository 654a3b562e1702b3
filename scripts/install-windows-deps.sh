#!/bin/sh
# Installs the Debian packages the Windows cross-build and its tests under
# Wine need, on top of those of install-deps.sh. Safe to run again: it does
# nothing (and says nothing) when all are present.
set -e

PACKAGES="g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
wine wine64 dpkg-dev
googletest libspdlog-dev libfmt-dev rapidjson-dev
make perl python3 python3-aiosmtpd xvfb xauth xdotool openssl locales"

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
