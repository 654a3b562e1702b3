#!/bin/bash
# Cross-builds the libraries the Windows programs link, from Debian's own
# sources, with MinGW-w64:
#   - wxWidgets 3.2 (the MSW port, static, core and base only), with the zlib
#     and libpng its image support needs (Debian's wx source leaves them out);
#   - OpenSSL 3 (static libraries only);
#   - GoogleTest (from /usr/src/googletest) and Google Benchmark;
# and stages the header-only spdlog, fmt and RapidJSON, and cpp-httplib (the
# metrics module's HTTP server) from its Debian source.
#
# Each library goes into a cache outside the clone, keyed by its Debian
# source version: $PROCWARD_CACHE/<name>-<version>-mingw64/. A library whose
# cache directory is complete is not built again, so a second run costs
# nothing and needs no network.
#
# Usage: build-windows-libs.sh <source dir> <file to write the CMake settings to>
set -euo pipefail

SOURCE_DIR=$(cd "$1" && pwd)
SETTINGS=$2
CACHE=${PROCWARD_CACHE:-/var/cache/procward}
HOST=x86_64-w64-mingw32
JOBS=${PROCWARD_JOBS:-2}
TOOLCHAIN=$SOURCE_DIR/cmake/mingw-w64-x86_64.cmake
SRC=$CACHE/src
mkdir -p "$CACHE" "$SRC"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

# The Debian source version of the package that `binary` comes from, epoch
# dropped (the binary packages are installed by install-deps.sh, so this
# needs no network and matches what the Linux build uses).
source_version() {
  dpkg-query -W -f='${source:Version}' "$1" | sed 's/^[0-9]*://'
}

step() { echo "== $(date +%H:%M:%S) $*"; }

# apt-get source needs deb-src lines. They are made from the machine's own
# list of Debian archives, so nothing about the machine is written into the
# repository. Done once, and only when a source is really needed.
DEB_SRC_READY=0
ensure_deb_src() {
  [ $DEB_SRC_READY = 1 ] && return
  local list=/etc/apt/sources.list.d/procward-deb-src.sources
  if [ ! -f $list ] && [ ! -f /etc/apt/sources.list.d/procward-deb-src.list ]; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee $list >/dev/null
    elif [ -f /etc/apt/sources.list ]; then
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
        $SUDO tee /etc/apt/sources.list.d/procward-deb-src.list >/dev/null
    else
      echo "no Debian source list found to make deb-src entries from" >&2
      exit 1
    fi
  fi
  $SUDO apt-get update -qq
  DEB_SRC_READY=1
}

# Unpacks Debian's source of `package` at `version` under $SRC and prints the
# directory.
fetch_source() {
  local package=$1 version=$2 upstream dir
  upstream=${version#*:}
  upstream=${upstream%-*}
  dir=$(ls -d "$SRC/$package-"*/ 2>/dev/null | grep -F -- "$upstream" | head -n1 || true)
  if [ -z "$dir" ]; then
    ensure_deb_src
    # The exact version, else each version the archives list, newest first
    # (a mirror may lack the files of one of them).
    local v
    for v in "$version" $(apt-cache showsrc --only-source "$package" |
                            awk '/^Version:/ {print $2}' | sort -rV); do
      (cd "$SRC" && apt-get source -qq "$package=$v" >/dev/null 2>&1) && break
    done
    dir=$(ls -d "$SRC/$package-"*/ 2>/dev/null | head -n1 || true)
    [ -n "$dir" ] || { echo "cannot fetch the source of $package" >&2; exit 1; }
  fi
  echo "${dir%/}"
}

# --- zlib, libpng and wxWidgets ---------------------------------------------
WX_VERSION=$(source_version libwxgtk3.2-dev)
WX=$CACHE/wxwidgets-$WX_VERSION-mingw64
if [ ! -f "$WX/.complete" ]; then
  rm -rf "$WX"
  mkdir -p "$WX"

  step "zlib"
  zdir=$(fetch_source zlib "$(dpkg-query -W -f='${source:Version}' zlib1g)")
  (cd "$zdir" && make distclean >/dev/null 2>&1 || true
   CHOST=$HOST ./configure --static --prefix="$WX" >/dev/null &&
   make -j"$JOBS" libz.a >/dev/null && make install >/dev/null 2>&1)

  step "libpng"
  pdir=$(fetch_source libpng1.6 "$(dpkg-query -W -f='${source:Version}' libpng-dev)")
  rm -rf "$SRC/build-libpng" && mkdir -p "$SRC/build-libpng"
  (cd "$SRC/build-libpng" &&
    "$pdir/configure" --host=$HOST --prefix="$WX" --disable-shared --enable-static \
      CPPFLAGS="-I$WX/include" LDFLAGS="-L$WX/lib" >/dev/null &&
    make -j"$JOBS" >/dev/null && make install >/dev/null 2>&1)

  step "wxWidgets $WX_VERSION"
  wdir=$(fetch_source wxwidgets3.2 "$(dpkg-query -W -f='${source:Version}' libwxgtk3.2-dev)")
  rm -rf "$SRC/build-wx" && mkdir -p "$SRC/build-wx"
  # Only what the window uses: core and base, PNG images; the rest is off so
  # that a fresh machine builds it in minutes.
  (cd "$SRC/build-wx" &&
    "$wdir/configure" --host=$HOST --prefix="$WX" --with-msw --disable-shared \
      --enable-unicode --disable-debug --disable-precomp-headers \
      --with-libpng=sys --with-zlib=sys --with-regex=builtin \
      --without-libjpeg --without-libtiff --without-expat --without-liblzma \
      --without-opengl --without-libcurl --disable-webrequest \
      --disable-xrc --disable-html --disable-webview --disable-stc \
      --disable-richtext --disable-aui --disable-ribbon --disable-propgrid \
      --disable-mediactrl --disable-sound \
      --disable-debugreport --disable-help --disable-mshtmlhelp \
      --disable-htmlhelp --disable-svg --disable-xlocale --disable-arcstream \
      CC=$HOST-gcc-posix CXX=$HOST-g++-posix \
      CPPFLAGS="-I$WX/include" LDFLAGS="-L$WX/lib" >configure.log 2>&1 &&
    make -j"$JOBS" >make.log 2>&1 && make install >/dev/null 2>&1) ||
    { echo "wxWidgets build failed; see $SRC/build-wx/*.log" >&2; exit 1; }
  # The archive may no longer hold the exact version installed here; the
  # cache keeps the name of the installed one and says what was built.
  basename "$wdir" >"$WX/.source"
  touch "$WX/.complete"
fi

# --- GoogleTest ----------------------------------------------------------------
GTEST_VERSION=$(source_version googletest)
GTEST=$CACHE/googletest-$GTEST_VERSION-mingw64
if [ ! -f "$GTEST/.complete" ]; then
  step "GoogleTest $GTEST_VERSION"
  rm -rf "$GTEST" "$SRC/build-gtest"
  cmake -S /usr/src/googletest -B "$SRC/build-gtest" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$GTEST" -Dgtest_force_shared_crt=OFF \
    -DBUILD_GMOCK=ON >/dev/null
  cmake --build "$SRC/build-gtest" -j"$JOBS" >/dev/null
  cmake --install "$SRC/build-gtest" >/dev/null
  touch "$GTEST/.complete"
fi

# --- Google Benchmark --------------------------------------------------------
BENCH_VERSION=$(source_version libbenchmark-dev)
BENCH=$CACHE/benchmark-$BENCH_VERSION-mingw64
if [ ! -f "$BENCH/.complete" ]; then
  step "Google Benchmark $BENCH_VERSION"
  rm -rf "$BENCH" "$SRC/build-benchmark"
  bdir=$(fetch_source benchmark "$(dpkg-query -W -f='${source:Version}' libbenchmark-dev)")
  cmake -S "$bdir" -B "$SRC/build-benchmark" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$BENCH" -DBENCHMARK_ENABLE_TESTING=OFF \
    -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF \
    -DBENCHMARK_INSTALL_DOCS=OFF -DGIT_VERSION=0.0.0 -DHAVE_STD_REGEX=0 -DHAVE_POSIX_REGEX=0 \
    -DHAVE_STEADY_CLOCK=1 -DRUN_HAVE_STD_REGEX=0 >/dev/null
  cmake --build "$SRC/build-benchmark" -j"$JOBS" >/dev/null
  cmake --install "$SRC/build-benchmark" >/dev/null
  touch "$BENCH/.complete"
fi

# --- header-only libraries -----------------------------------------------------
# Only these three folders: the build machine's /usr/include as a whole must
# never be on the cross compiler's path.
HEADERS_VERSION="spdlog$(source_version libspdlog-dev)-fmt$(source_version libfmt-dev)-rapidjson$(source_version rapidjson-dev)"
HEADERS=$CACHE/headers-$HEADERS_VERSION
if [ ! -f "$HEADERS/.complete" ]; then
  rm -rf "$HEADERS" && mkdir -p "$HEADERS/include"
  cp -r /usr/include/spdlog /usr/include/fmt /usr/include/rapidjson "$HEADERS/include/"
  touch "$HEADERS/.complete"
fi

# --- cpp-httplib ---------------------------------------------------------------
# The metrics module's HTTP server. Debian's /usr/include/httplib.h is the
# declarations half of a split library whose code is in a Linux shared
# object; the source package's own httplib.h is the whole library in one
# header, which the module compiles for Windows. Only that file is staged.
HTTPLIB_VERSION=$(source_version libcpp-httplib-dev)
HTTPLIB=$CACHE/cpp-httplib-$HTTPLIB_VERSION
if [ ! -f "$HTTPLIB/.complete" ]; then
  step "cpp-httplib $HTTPLIB_VERSION"
  rm -rf "$HTTPLIB" && mkdir -p "$HTTPLIB/include"
  hdir=$(fetch_source cpp-httplib "$(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev)")
  # The split header has no Server::listen_after_bind body; the whole one
  # defines it, which tells the two apart.
  grep -q '^inline bool Server::listen_after_bind()' "$hdir/httplib.h" ||
    { echo "$hdir/httplib.h is not the header-only cpp-httplib" >&2; exit 1; }
  cp "$hdir/httplib.h" "$HTTPLIB/include/"
  basename "$hdir" >"$HTTPLIB/.source"
  touch "$HTTPLIB/.complete"
fi

# OpenSSL is built last: the window does not need it.
SSL_VERSION=$(source_version libssl-dev)
SSL=$CACHE/openssl-$SSL_VERSION-mingw64

# What the Windows CMake configuration needs to find all of them.
cat >"$SETTINGS" <<EOF
set(PROCWARD_WIN_HEADERS "$HEADERS/include" CACHE PATH "")
set(wxWidgets_CONFIG_EXECUTABLE "$WX/bin/wx-config" CACHE FILEPATH "")
set(PROCWARD_WIN_WX "$WX" CACHE PATH "")
set(PROCWARD_WIN_OPENSSL "$SSL" CACHE PATH "")
set(PROCWARD_WIN_HTTPLIB "$HTTPLIB/include" CACHE PATH "")
set(GTest_DIR "$GTEST/lib/cmake/GTest" CACHE PATH "")
set(benchmark_DIR "$BENCH/lib/cmake/benchmark" CACHE PATH "")
list(APPEND CMAKE_FIND_ROOT_PATH "$WX" "$SSL" "$GTEST" "$BENCH")
EOF
# --- OpenSSL -------------------------------------------------------------------
if [ ! -f "$SSL/.complete" ]; then
  step "OpenSSL $SSL_VERSION"
  rm -rf "$SSL"
  odir=$(fetch_source openssl "$(dpkg-query -W -f='${source:Version}' libssl-dev)")
  rm -rf "$SRC/build-openssl" && mkdir -p "$SRC/build-openssl"
  (cd "$SRC/build-openssl" &&
    perl "$odir/Configure" mingw64 --cross-compile-prefix=$HOST- no-shared no-tests \
      --prefix="$SSL" --libdir=lib >configure.log 2>&1 &&
    make -j"$JOBS" build_libs >make.log 2>&1 && make install_dev >/dev/null 2>&1) ||
    { echo "OpenSSL build failed; see $SRC/build-openssl/*.log" >&2; exit 1; }
  basename "$odir" >"$SSL/.source"
  echo "   built from $(basename "$odir")"
  touch "$SSL/.complete"
fi

step "libraries ready"
