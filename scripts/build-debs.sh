#!/bin/sh
# Builds the Debian packages as Debian builds them, with debian/ and
# dpkg-buildpackage, on a copy of the source tree: debhelper's work files
# and the build directory then stay out of the working tree, and the
# packages land beside the copy, in OUTDIR.
#   build-debs.sh OUTDIR           the packages at the version of
#                                  debian/changelog, built afresh
#   build-debs.sh OUTDIR VERSION   the same source once more at VERSION, on
#                                  what the last build in OUTDIR left: only
#                                  what the version reaches is compiled again,
#                                  and no -dbgsym package is made (the
#                                  package test's upgrade)
# The copy and its build are in OUTDIR/source. PROCWARD_JOBS (default 2)
# sets the parallel jobs.
set -e
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -ge 1 ] || { echo "usage: $0 OUTDIR [VERSION]" >&2; exit 2; }
mkdir -p "$1"
OUTDIR="$(cd "$1" && pwd)"
VERSION="${2:-}"
STAGE="$OUTDIR/source"

# debhelper gives the build a home of its own, where the compiler cache
# would start empty every time: the developer's cache is named instead.
if [ -z "${CCACHE_DIR:-}" ] && command -v ccache >/dev/null 2>&1; then
  CCACHE_DIR="$(ccache -k cache_dir 2>/dev/null || true)"
  [ -n "$CCACHE_DIR" ] && export CCACHE_DIR
fi

if [ -z "$VERSION" ]; then
  rm -rf "$STAGE"
  mkdir -p "$STAGE"
  # The tree as it is, edits included, without the build directories, the
  # repository and what an earlier build in place left in debian/.
  tar -C "$ROOT" --anchored --exclude=./.git --exclude=./build --exclude='./build-*' --exclude='./obj-*' \
    --exclude=./debian/.debhelper --exclude=./debian/tmp --exclude=./debian/files \
    --exclude=./debian/procward --exclude=./debian/procwardd --exclude='./debian/*-dbgsym' \
    --exclude='./debian/*.substvars' --exclude='./debian/*.debhelper' --exclude='./debian/*.debhelper.log' \
    --exclude=./debian/debhelper-build-stamp -cf - . | tar -C "$STAGE" -xf -
  cd "$STAGE"
  set -- -b
else
  [ -d "$STAGE/debian" ] || { echo "$0: no earlier build in $OUTDIR to build on" >&2; exit 1; }
  cd "$STAGE"
  # A new first entry makes the new version, as a maintainer's would.
  maintainer="$(dpkg-parsechangelog -S Maintainer)"
  {
    printf 'procward (%s) unstable; urgency=medium\n\n' "$VERSION"
    printf '  * Rebuilt at version %s.\n\n' "$VERSION"
    printf ' -- %s  %s\n\n' "$maintainer" "$(date -R)"
    cat debian/changelog
  } > debian/changelog.new
  mv debian/changelog.new debian/changelog
  # Without the clean that would remove the build directory, and with the
  # build step run again; without -dbgsym packages, which take the most
  # time to make and which an upgrade does not need.
  rm -f debian/debhelper-build-stamp debian/files
  DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }noautodbgsym"
  export DEB_BUILD_OPTIONS
  set -- -b -nc
fi
dpkg-buildpackage "$@" -us -uc -J"${PROCWARD_JOBS:-2}"
version="$(dpkg-parsechangelog -S Version)"
echo "Built in $OUTDIR:"
ls -1 "$OUTDIR" | grep -F "_${version}_"
