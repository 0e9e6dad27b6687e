#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), then configures and builds.
# Safe to run again: packages already there are not fetched twice, the build is incremental.
#   scripts/setup.sh            build in ./build
#   scripts/setup.sh --asan     also build ./build-asan with AddressSanitizer and UBSan
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev
          libwxgtk3.2-dev xvfb xauth xdotool x11-utils iproute2 procps locales)
scripts/install-packages.sh "${packages[@]}"

# A locale with a decimal comma, for the test that the field's texts ignore the user's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "no de_DE locale: its test will be skipped"
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
if [ "${1:-}" = "--asan" ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON \
        -DQUILLON_GUI=OFF -DQUILLON_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$jobs"
fi
