#!/usr/bin/env bash
# Tests the Debian package that scripts/package.sh made, dist/quillon-reconfigurator_<version>_
# <arch>.deb (or the one named as the argument): its file list and control fields, lintian; then,
# unpacked with dpkg -x into a temporary root, desktop-file-validate and appstreamcli validate,
# bash-completion finds the completions beside the programs, the unpacked command line
# reconfigures the unpacked simulator on a pseudo-terminal, and the unpacked dialog answers
# --version without a display. Prints one line per check, then "N passed, M failed, K skipped".
set -uo pipefail
cd "$(dirname "$0")/../.."

. scripts/checks.sh
finish() {
  summary
  [ "$failed" -eq 0 ]
  exit
}

scripts/install-packages.sh lintian desktop-file-utils appstream bash-completion >/dev/null ||
  echo "(lintian, desktop-file-utils, appstream or bash-completion could not be installed:" \
       "their checks are skipped)"

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
metainfo=invalid.quillon_reconfigurator.reconfigurator.metainfo.xml
expected_files="\
-rw-r--r-- usr/share/applications/quillon-reconfigurator.desktop
-rw-r--r-- usr/share/bash-completion/completions/quillon-reconfigurator
-rw-r--r-- usr/share/bash-completion/completions/quillon-reconfigurator-cli
-rw-r--r-- usr/share/bash-completion/completions/quillon-simulator
-rw-r--r-- usr/share/fish/vendor_completions.d/quillon-reconfigurator-cli.fish
-rw-r--r-- usr/share/fish/vendor_completions.d/quillon-reconfigurator.fish
-rw-r--r-- usr/share/fish/vendor_completions.d/quillon-simulator.fish
-rw-r--r-- usr/share/metainfo/$metainfo
-rw-r--r-- usr/share/zsh/vendor-completions/_quillon-reconfigurator
-rw-r--r-- usr/share/zsh/vendor-completions/_quillon-reconfigurator-cli
-rw-r--r-- usr/share/zsh/vendor-completions/_quillon-simulator
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
  pass "file list: the programs, desktop entry, 4 icons, metainfo, 3 man pages, 9 completions, documentation"
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

if command -v appstreamcli >/dev/null; then
  # The id's top-level domain, .invalid, is unknown to the validator: an info, not a warning.
  file=$root/usr/share/metainfo/$metainfo
  if out=$(appstreamcli validate --no-net --pedantic "$file" 2>&1) && ! grep -q '^[EWP]:' <<<"$out" &&
     grep -q "<release version=\"$version\" date=\"[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]\"/>" "$file"; then
    pass "appstreamcli validate: the metainfo is valid, release $version: $(tail -n 1 <<<"$out")"
  else
    fail "appstreamcli validate: $out"
  fi
else
  skip "appstreamcli validate: not installed"
fi

# bash-completion loads a program's completion from bash-completion/completions under each of
# XDG_DATA_DIRS (/usr/share by default, where the package puts it).
if [ -f /usr/share/bash-completion/bash_completion ]; then
  out=$(XDG_DATA_DIRS="$root/usr/share" bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    __load_completion quillon-reconfigurator-cli && complete -p quillon-reconfigurator-cli &&
    COMP_WORDS=(quillon-reconfigurator-cli --p) COMP_CWORD=1 &&
    _quillon_reconfigurator_cli && echo "${COMPREPLY[*]}"' 2>&1)
  if [ "$out" = "$(printf 'complete -F _quillon_reconfigurator_cli quillon-reconfigurator-cli\n--port')" ]; then
    pass "bash-completion loads the unpacked completion; --p completes to --port"
  else
    fail "bash-completion and the unpacked completion: $out"
  fi
else
  skip "bash-completion: not installed"
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
