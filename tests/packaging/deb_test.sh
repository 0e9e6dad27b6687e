#!/usr/bin/env bash
# Tests the Debian package that scripts/package.sh made, dist/quillon-reconfigurator_<version>_
# <arch>.deb (or the one named as the argument): its file list and control fields, lintian and
# desktop-file-validate; then, unpacked with dpkg -x into a temporary root, the unpacked command
# line reconfigures the unpacked simulator on a pseudo-terminal, and the unpacked dialog answers
# --version without a display. Prints one line per check, then "N passed, M failed, K skipped".
set -uo pipefail
cd "$(dirname "$0")/../.."

. scripts/checks.sh
finish() {
  summary
  [ "$failed" -eq 0 ]
  exit
}

scripts/install-packages.sh lintian desktop-file-utils >/dev/null ||
  echo "(lintian or desktop-file-utils could not be installed: their checks are skipped)"

version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=${1:-dist/quillon-reconfigurator_${version}_${arch}.deb}
if [ ! -f "$deb" ]; then
  fail "no package $deb (scripts/package.sh makes it)"
  finish
fi

work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# --- what the package holds ---------------------------------------------------------------------
expected_files="\
-rw-r--r-- usr/share/applications/quillon-reconfigurator.desktop
-rw-r--r-- usr/share/doc/quillon-reconfigurator/README.md
-rw-r--r-- usr/share/doc/quillon-reconfigurator/changelog.gz
-rw-r--r-- usr/share/doc/quillon-reconfigurator/copyright
-rw-r--r-- usr/share/icons/hicolor/16x16/apps/quillon-reconfigurator.png
-rw-r--r-- usr/share/icons/hicolor/256x256/apps/quillon-reconfigurator.png
-rw-r--r-- usr/share/icons/hicolor/32x32/apps/quillon-reconfigurator.png
-rw-r--r-- usr/share/icons/hicolor/48x48/apps/quillon-reconfigurator.png
-rw-r--r-- usr/share/lintian/overrides/quillon-reconfigurator
-rw-r--r-- usr/share/man/man1/quillon-reconfigurator-cli.1.gz
-rw-r--r-- usr/share/man/man1/quillon-reconfigurator.1.gz
-rw-r--r-- usr/share/man/man1/quillon-simulator.1.gz
-rwxr-xr-x usr/bin/quillon-reconfigurator
-rwxr-xr-x usr/bin/quillon-reconfigurator-cli
-rwxr-xr-x usr/bin/quillon-simulator"
# Mode and path of every file (directories left out); everything is root's.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $1, $6 }' | sort)
if [ "$files" = "$(sort <<<"$expected_files")" ]; then
  pass "file list: the programs, desktop entry, 4 icons, 3 man pages, documentation"
else
  fail "file list differs (< package, > expected):"
  diff <(echo "$files") <(sort <<<"$expected_files") | grep '^[<>]' | sed 's/^/        /'
fi
owners=$(dpkg-deb -c "$deb" | awk '{ print $2 }' | sort -u)
[ "$owners" = root/root ] && pass "every file belongs to root/root" || fail "owners: $owners"

field() { dpkg-deb -f "$deb" "$1"; }
if [ "$(field Package)" = quillon-reconfigurator ] && [ "$(field Version)" = "$version" ] &&
   [ "$(field Architecture)" = "$arch" ]; then
  pass "control: quillon-reconfigurator $version $arch"
else
  fail "control: $(field Package) $(field Version) $(field Architecture)"
fi
depends=$(field Depends)
if grep -q 'libc6 (>=' <<<"$depends" && grep -q 'libwxgtk3\.2' <<<"$depends"; then
  pass "dependencies computed from the binaries: $depends"
else
  fail "dependencies: '$depends'"
fi

if command -v lintian >/dev/null; then
  # Everything down to the pedantic tags counts; what stays is overridden in the package.
  if lintian --display-info --pedantic --fail-on error,warning,info,pedantic "$deb" >"$work/lintian" 2>&1; then
    pass "lintian: no tags (overrides: $(grep -c '^quillon' packaging/lintian-overrides))"
  else
    fail "lintian:"
    grep -v 'root privileges' "$work/lintian" | sed 's/^/        /'
  fi
else
  skip "lintian: not installed"
fi

# --- unpacked -----------------------------------------------------------------------------------
root=$work/root
if ! dpkg -x "$deb" "$root"; then
  fail "dpkg -x $deb"
  finish
fi
bin=$root/usr/bin

if command -v desktop-file-validate >/dev/null; then
  if out=$(desktop-file-validate "$root/usr/share/applications/quillon-reconfigurator.desktop" 2>&1) &&
     [ -z "$out" ]; then
    pass "desktop-file-validate: the desktop entry is valid"
  else
    fail "desktop-file-validate: $out"
  fi
else
  skip "desktop-file-validate: not installed"
fi

# The unpacked simulator on a pseudo-terminal, the unpacked command line against it.
"$bin/quillon-simulator" --pty --link "$work/tty" --serial 1234 --record-out "$work/record.hex" \
  >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q '^ready' "$work/sim.out" && break; sleep 0.1; done
if ! grep -q '^ready' "$work/sim.out"; then
  fail "the unpacked simulator did not start: $(cat "$work/sim.out")"
else
  out=$(timeout 60 "$bin/quillon-reconfigurator-cli" --serial 1234 --port "$work/tty" --no-udp 2>&1)
  status=$?
  # The record file: the 20-byte record in hex; bytes 8-9 hold the maximum high voltage.
  record=$(cat "$work/record.hex" 2>/dev/null)
  if [ "$status" -ne 0 ]; then
    fail "unpacked CLI against the unpacked simulator: exit status $status: $out"
  elif [ "$(head -n 1 <<<"$out")" != "The data has been successfully transfered." ]; then
    fail "unpacked CLI against the unpacked simulator: said '$out'"
  elif [ "${#record}" -ne 40 ] || [ "${record:16:4}" != 8813 ]; then
    fail "unpacked CLI against the unpacked simulator: record '$record' holds no 5000 V (88 13)"
  else
    pass "unpacked CLI reconfigured the unpacked simulator: record $record"
  fi
fi

out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$bin/quillon-reconfigurator" --version 2>&1)
status=$?
if [ "$status" -eq 0 ] && [ "$out" = "quillon-reconfigurator $version" ]; then
  pass "unpacked dialog --version without a display: $out"
else
  fail "unpacked dialog --version without a display: exit status $status: $out"
fi

finish
