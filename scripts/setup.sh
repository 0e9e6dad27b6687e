#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), then configures and builds.
# Safe to run again: packages already there are not fetched twice, the build is incremental.
#   scripts/setup.sh            build in ./build (g++, warnings as errors)
#   scripts/setup.sh --asan     also build ./build-asan with AddressSanitizer and UBSan
#   scripts/setup.sh --clang    also build ./build-clang with clang++ (Release)
# Options may be combined.
set -euo pipefail
cd "$(dirname "$0")/.."

asan=false
clang=false
for arg in "$@"; do
  case $arg in
    --asan) asan=true ;;
    --clang) clang=true ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

packages=(build-essential cmake ninja-build libgtest-dev libgmock-dev libwxgtk3.2-dev libgtk-3-dev
          libcli11-dev
          pkg-config xvfb
          xauth xdotool x11-utils iproute2 procps locales clang-format
          bash-completion zsh fish)
$clang && packages+=(clang)
scripts/install-packages.sh "${packages[@]}"

# A locale with a decimal comma, for the test that the field's texts ignore the user's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "no de_DE locale: its test will be skipped"
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
if $asan; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON \
        -DQUILLON_GUI=OFF -DQUILLON_BENCH=OFF -DQUILLON_WERROR=ON >/dev/null
  cmake --build build-asan -j"$jobs"
fi
if $clang; then
  CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DQUILLON_BENCH=OFF -DQUILLON_WERROR=ON >/dev/null
  cmake --build build-clang -j"$jobs"
fi
