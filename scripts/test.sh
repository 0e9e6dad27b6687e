#!/usr/bin/env bash
# Sets up, builds, and runs every test: the formatting check; the unit, integration,
# network-namespace, packaging and dialog tests; the unit tests again under AddressSanitizer and
# UBSan and built with clang++; the command line on real serial drivers in a QEMU guest; then the
# Windows cross build and its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
scripts/setup.sh --asan --clang

echo "== formatting"
scripts/check-format.sh
echo "== tests"
# Four at once on two cores: the integration and dialog tests spend their time waiting for the
# device's answer windows, not computing (a run takes about half a core).
tests_start=$(date +%s)
ctest --test-dir build --output-on-failure -j4 --timeout 300
echo "(Linux tests ran in $(( $(date +%s) - tests_start )) s)"
echo "== the Debian package"
package_start=$(date +%s)
scripts/package.sh
tests/packaging/deb_test.sh
echo "(package built and tested in $(( $(date +%s) - package_start )) s)"
echo "== unit tests under AddressSanitizer and UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 -L unit --timeout 300
echo "== unit tests built with clang++"
ctest --test-dir build-clang --output-on-failure -j2 -L unit --timeout 300
echo "== the command line on real serial drivers (8250 and ftdi_sio in a QEMU guest)"
# The rig's own build folder (tests/qemu/CMakeLists.txt): its checks are CTest tests there.
cmake -S . -B build-qemu -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_GUI=OFF -DQUILLON_TESTS=OFF \
      -DQUILLON_BENCH=OFF -DCMAKE_EXE_LINKER_FLAGS=-static -DQUILLON_QEMU_TESTS=ON >/dev/null
ctest --test-dir build-qemu --output-on-failure -L qemu
sed -n 's/^SKIP  /(skipped: /p' build-qemu/logs/rig.status 2>/dev/null || true
echo "== the Windows build under Wine"
scripts/windows-test.sh
echo "== all tests passed in $(( $(date +%s) - start )) s"
