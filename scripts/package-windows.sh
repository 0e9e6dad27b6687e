#!/usr/bin/env bash
# Builds the Windows zip dist/quillon-reconfigurator-<version>-windows-x64.zip and prints its path
# on the last line: one folder with quillon-reconfigurator.exe, quillon-reconfigurator-cli.exe
# (both statically linked, stripped) and README.txt for Windows users (packaging/windows/).
# scripts/windows-test.sh tests it under Wine.
#
# The programs are those of the cross build that scripts/windows-test.sh makes and tests
# (QUILLON_WIN_BUILD, default build-win); a missing build is configured the same way. wxWidgets for
# Windows comes from scripts/build-wx-msw.sh (built once per machine). Installs the Debian packages
# it needs first; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QUILLON_WIN_BUILD:-build-win}
jobs=${QUILLON_WIN_JOBS:-2}

scripts/install-packages.sh g++-mingw-w64-x86-64-posix googletest cmake ninja-build >/dev/null
wx_prefix=$(scripts/build-wx-msw.sh | tail -1)

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_GUI=ON -DQUILLON_BENCH=OFF -DQUILLON_WERROR=ON \
        -DwxWidgets_CONFIG_EXECUTABLE="$wx_prefix/bin/wx-config" >/dev/null
fi
nice -n 10 cmake --build "$build" -j"$jobs" \
  --target quillon-reconfigurator quillon-reconfigurator-cli >/dev/null

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "package-windows: no project version in $build" >&2; exit 1; }
name=quillon-reconfigurator-$version-windows-x64
stage=$(mktemp -d "${TMPDIR:-/tmp}/quillon-winpkg.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
for exe in src/app/gui/quillon-reconfigurator.exe src/app/quillon-reconfigurator-cli.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$name/$(basename "$exe")" "$build/$exe"
done
# Notepad before Windows 10 shows a text without carriage returns on one line.
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' packaging/windows/README.txt >"$stage/$name/README.txt"

# Time stamps in the zip: the last commit's, so that a rebuild of the same commit gives the same
# zip.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
touch -d "@$epoch" "$stage/$name" "$stage/$name"/*
mkdir -p dist
zip=$root/dist/$name.zip
rm -f "$zip"
mtime="$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S') UTC"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip --mtime="$mtime" "$name")
echo "dist/$name.zip"
