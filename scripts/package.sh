#!/usr/bin/env bash
# Builds the Debian package dist/quillon-reconfigurator_<version>_<arch>.deb and prints its path
# on the last line. tests/packaging/deb_test.sh tests it.
#
# A packager's build in build-pkg (QUILLON_PKG_BUILD): Release, no tests, no benchmarks, warnings
# as errors, prefix /usr, with Debian's build flags (hardening included); then CPack, which takes
# the version from project(VERSION) and the dependencies from the binaries (dpkg-shlibdeps).
# Installs the Debian packages it needs first; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUILLON_PKG_BUILD:-build-pkg}

scripts/install-packages.sh build-essential cmake ninja-build libwxgtk3.2-dev libgtk-3-dev pkg-config \
  libcli11-dev dpkg-dev file

# Time stamps in the package and the changelog's date: the last commit's, so that a rebuild of
# the same commit gives the same package.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF -DQUILLON_WERROR=ON \
      -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
nice -n 10 cmake --build "$build" -j2

rm -rf "$build/cpack"
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
debs=("$build"/cpack/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] ||
  { echo "package.sh: CPack made no single .deb (log: $build/cpack.log)" >&2; exit 1; }
mkdir -p dist
deb=dist/$(basename "${debs[0]}")
cp "${debs[0]}" "$deb"
echo "$deb"
