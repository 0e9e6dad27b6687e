#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 (the dialog with wxWidgets for Windows, which
# scripts/build-wx-msw.sh builds once per machine) and runs every Windows check through CTest
# under Wine: the unit and Windows transport tests, the dialog's tests on a private Xvfb (also at
# 144 and 192 DPI), the programs' imports and resources, the zip and the installer, and the Linux
# build's end-to-end tests driving the Windows command line (pseudo-terminals mapped to COM
# ports, network namespaces). The Wine prefix and the display are a CTest fixture
# (tests/windows/wine.sh). Installs what it needs (Debian packages) first; safe to run again.
#
# Environment: QUILLON_WIN_BUILD (default build-win), QUILLON_HOST_BUILD (the Linux build with
# the simulator and the end-to-end tests; default build, made by scripts/setup.sh when missing),
# QUILLON_WIN_JOBS (default 2). Arguments go to ctest (-L gui, -R cli_test, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QUILLON_WIN_BUILD:-build-win}
host=$(realpath -m "${QUILLON_HOST_BUILD:-build}")
jobs=${QUILLON_WIN_JOBS:-2}
start=$(date +%s)

# Xvfb for the dialog (no window manager: Wine draws the frames); Wine's own fonts (Tahoma,
# Marlett) for the dialog and its frame.
scripts/install-packages.sh g++-mingw-w64-x86-64-posix wine wine64 googletest cmake ninja-build \
  build-essential iproute2 xvfb fonts-wine wixl msitools osslsigncode openssl libcli11-dev >/dev/null
if [ ! -x "$host/tests/cli_test" ] || [ ! -x "$host/tools/simulator/quillon-simulator" ]; then
  echo "== the Linux build ($host): simulator and end-to-end tests"
  if [ "$host" = "$root/build" ]; then scripts/setup.sh >/dev/null
  else cmake --build "$host" -j"$jobs" >/dev/null; fi
fi
echo "== wxWidgets for Windows (built once per machine: the first time takes 10 to 20 minutes)"
wx_prefix=$(scripts/build-wx-msw.sh | tail -1)
echo "== cross build in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_GUI=ON -DQUILLON_BENCH=OFF -DQUILLON_WERROR=ON \
  -DwxWidgets_CONFIG_EXECUTABLE="$wx_prefix/bin/wx-config" -DQUILLON_HOST_BUILD="$host" >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
echo "== the Windows tests under Wine (built in $(($(date +%s) - start)) s)"
ctest --test-dir "$build" --output-on-failure -j"$jobs" "$@"
echo "== Windows build and tests in $(($(date +%s) - start)) s"
