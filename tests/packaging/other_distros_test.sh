#!/bin/bash
# other_distros_test.sh INSTALL_PACKAGES: without apt-get, scripts/install-packages.sh installs
# nothing; it passes when what the packages provide is there and otherwise lists what is missing
# with the Fedora and Arch package names, without a shell error.
set -u
script=$1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Nothing on PATH: every command is missing, so is apt-get.
empty=$(mktemp -d)
trap 'rm -rf "$empty"' EXIT
out=$(env -i PATH="$empty" /bin/bash "$script" build-essential cmake ninja-build libwxgtk3.2-dev \
      xvfb lintian 2>&1)
status=$?
[ "$status" -eq 1 ] || fail "nothing on PATH: exit status $status, expected 1"
for want in "Fedora: sudo dnf install gcc-c++ cmake ninja-build wxGTK-devel xorg-x11-server-Xvfb" \
            "Arch:   sudo pacman -S --needed base-devel cmake ninja wxwidgets-gtk3 xorg-server-xvfb"; do
  grep -qF -- "$want" <<<"$out" || fail "nothing on PATH: no line '$want' in: $out"
done
grep -q "^  lintian .*Fedora: - .*Arch: -$" <<<"$out" || fail "lintian not listed as Debian only: $out"
grep -qi "command not found\|line [0-9]" <<<"$out" && fail "a shell error: $out"

# This machine has a compiler and cmake: nothing to say, exit 0.
out=$(QUILLON_NO_APT=1 bash "$script" build-essential cmake 2>&1)
status=$?
[ "$status" -eq 0 ] && [ -z "$out" ] || fail "compiler and cmake present: exit $status, output: $out"

[ "$failed" -eq 0 ] && echo "ok: without apt-get the missing packages are named for Fedora and Arch"
exit "$failed"
