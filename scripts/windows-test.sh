#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 (the dialog with wxWidgets for Windows, which
# scripts/build-wx-msw.sh builds once per machine) and tests them under Wine:
#   0. both programs as shipped: no DLL beyond Windows' own; the dialog's resources;
#   1. the unit tests and the Windows tests (tests/unit, tests/windows): the transports, and the
#      registry source of the broadcast addresses against keys written into Wine's registry;
#   3. the command line against the simulator on a pseudo-terminal that Wine maps to COM7; the
#      port listing, which opens no port;
#   4. the dialog (tests/gui/dialog_msw_gui_test.cpp) on a private Xvfb, against simulators on
#      COM7 and COM8, and its layout at 144 and 192 DPI; one Start of the dialog, of the Windows
#      and of the Linux command line against the same simulator, timed;
#   5. the Windows zip (scripts/package-windows.sh), unpacked, its programs run from there; the
#      installer: installed silently per machine, its command line run by name over COM7,
#      upgraded by a signed one of a higher version (signatures verified against a throwaway
#      authority), a downgrade refused, uninstalled without a trace;
#   6. the command line against the simulator over UDP, between two network namespaces joined
#      by a veth pair (by --address, and by the broadcast address that the registry gives).
# Installs what it needs (Debian packages) first; safe to run again. Prints one line per check,
# then "N passed, M failed, K skipped"; exits non-zero on any failure. A check that cannot run
# here is reported as skipped with the reason, never as passed.
#
# Environment: QUILLON_WIN_BUILD (default build-win), QUILLON_SIMULATOR (default: the one in
# build/, else built in build-winlinux; the Linux command line is taken from the same build),
# QUILLON_WIN_JOBS (default 2).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QUILLON_WIN_BUILD:-build-win}
jobs=${QUILLON_WIN_JOBS:-2}
logs=$root/$build/windows-test-logs

. scripts/checks.sh
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
finish() {
  echo "== timings: install ${t_install:-0} s, wxWidgets ${t_wx:-0} s," \
       "cross build ${t_build:-0} s," \
       "simulator ${t_sim:-0} s, wineboot ${t_boot:-0} s, tests ${t_tests:-0} s," \
       "total $(since "$t_start") s"
  summary
  [ "$failed" -eq 0 ] && exit 0
  exit 1
}
t_start=$(now)

# --- packages ---------------------------------------------------------------------------------
t0=$(now)
# Xvfb for the dialog (no window manager: Wine draws the frames); Wine's own fonts (Tahoma,
# Marlett) for the dialog and its frame.
packages=(g++-mingw-w64-x86-64-posix wine wine64 googletest cmake ninja-build build-essential
          iproute2 xvfb fonts-wine wixl msitools osslsigncode openssl)
if ! scripts/install-packages.sh "${packages[@]}" >/dev/null; then
  fail "install of ${packages[*]}"
  finish
fi
t_install=$(since "$t0")
rm -rf "$logs"
mkdir -p "$logs"

# --- wxWidgets for Windows --------------------------------------------------------------------
echo "== wxWidgets for Windows (built once per machine: the first time takes 10 to 20 minutes)"
t0=$(now)
if wx_prefix=$(scripts/build-wx-msw.sh | tail -1) && [ -x "$wx_prefix/bin/wx-config" ]; then
  t_wx=$(since "$t0")
  pass "wxWidgets for Windows in $wx_prefix (${t_wx} s)"
else
  fail "wxWidgets for Windows (scripts/build-wx-msw.sh)"
  finish
fi

# --- cross build ------------------------------------------------------------------------------
echo "== cross build in $build"
t0=$(now)
if cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_GUI=ON -DQUILLON_BENCH=OFF -DQUILLON_WERROR=ON \
      -DwxWidgets_CONFIG_EXECUTABLE="$wx_prefix/bin/wx-config" >"$logs/configure.log" 2>&1 &&
    cmake --build "$build" -j"$jobs" >"$logs/build.log" 2>&1; then
  pass "cross build of the dialog, the command line and the tests (mingw-w64, warnings as errors)"
else
  tail -n 30 "$logs/configure.log" "$logs/build.log"
  fail "cross build (logs in $logs)"
  finish
fi
t_build=$(since "$t0")
cli=$root/$build/src/app/quillon-reconfigurator-cli.exe
dialog=$root/$build/src/app/gui/quillon-reconfigurator.exe
dialog_test=$root/$build/tests/gui/dialog_msw_gui_test.exe
probe=$root/$build/tests/windows/quillon-win-probe.exe

# --- 0. The programs as shipped ---------------------------------------------------------------
echo "== the programs: linking and resources"
# What every Windows installation has; a DLL of the compiler's (libstdc++, libgcc, winpthread)
# or of the toolkit would have to ship beside the programs.
system_dlls=" advapi32 comctl32 comdlg32 gdi32 iphlpapi kernel32 msvcrt ole32 oleacc oleaut32"
system_dlls+=" rpcrt4 setupapi cfgmgr32 shell32 shlwapi user32 uxtheme version winmm winspool ws2_32 "
for exe in "$cli" "$dialog"; do
  foreign=""
  for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p'); do
    base=$(echo "${dll%.*}" | tr 'A-Z' 'a-z')
    [[ "$system_dlls" == *" $base "* ]] || foreign+=" $dll"
  done
  if [ -z "$foreign" ]; then pass "$(basename "$exe"): statically linked, only Windows' own DLLs"
  else fail "$(basename "$exe") needs DLLs that Windows does not have:$foreign"; fi
done
# The resources, read back from the program by windres.
res=$logs/quillon-reconfigurator.rc
x86_64-w64-mingw32-windres -i "$dialog" -O rc -o "$res" 2>"$logs/windres.log"
check_resource() {  # WHAT FUNCTION
  if "$2"; then pass "resources: $1"; else fail "resources: $1 (see $res)"; fi
}
icon_group() {  # the first group is the file manager's icon of the program
  [ "$(grep -m1 'RT_GROUP_ICON' "$res")" = "128 14 /* RT_GROUP_ICON */" ] || return 1
  local group
  group=$(sed -n '/^128 14 \/\* RT_GROUP_ICON/,/^END/p' "$res")
  grep -q "Has 2 elements" <<<"$group" &&
    grep -qF '"\040\040\020\000"' <<<"$group" && grep -qF '"\020\020\020\000"' <<<"$group"
}
string_103() {
  [ "$(grep '^LANGUAGE' "$res" | sort -u)" = "LANGUAGE 7, 1" ] &&
    sed -n '/^STRINGTABLE/,/^END/p' "$res" |
      grep -qxF '  103, "Fehler beim Initialisieren der Windows-Sockets."'
}
version_1001() {
  grep -qx ' FILEVERSION 1, 0, 0, 1' "$res" && grep -qx ' PRODUCTVERSION 1, 0, 0, 1' "$res"
}
manifest() {
  [ "$(grep -c 'RT_MANIFEST' "$res")" = 1 ] &&
    grep -q 'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""' "$res" &&
    grep -q 'WindowsSettings"">true/pm</dpiAware>' "$res" &&
    grep -q 'WindowsSettings"">PerMonitorV2, PerMonitor</dpiAwareness>' "$res"
}
check_resource "icon group 128, 32 x 32 and 16 x 16 in 16 colours, the program's first" icon_group
check_resource "string 103, all resources German (0x0407)" string_103
check_resource "file and product version 1.0.0.1" version_1001
check_resource "one application manifest: common controls 6, per-monitor DPI awareness (v2)" manifest

# --- the simulator (a Linux program) ----------------------------------------------------------
t0=$(now)
sim=${QUILLON_SIMULATOR:-$root/build/tools/simulator/quillon-simulator}
# The Linux command line of the same build, for the timing beside the Windows programs.
linux_cli=$(dirname "$sim")/../../src/app/quillon-reconfigurator-cli
if [ ! -x "$sim" ] || [ ! -x "$linux_cli" ]; then
  echo "== building the simulator and the Linux command line in build-winlinux"
  sim=$root/build-winlinux/tools/simulator/quillon-simulator
  linux_cli=$root/build-winlinux/src/app/quillon-reconfigurator-cli
  cmake -S . -B build-winlinux -G Ninja -DQUILLON_GUI=OFF -DQUILLON_TESTS=OFF \
        -DQUILLON_BENCH=OFF >"$logs/simulator.log" 2>&1 &&
    cmake --build build-winlinux -j"$jobs" --target quillon-simulator quillon-reconfigurator-cli \
      >>"$logs/simulator.log" 2>&1
fi
t_sim=$(since "$t0")

# --- Wine -------------------------------------------------------------------------------------
export WINEPREFIX WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d /tmp/quillon-wine.XXXXXX)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
sim_pids=()
namespaces=()
xvfb_pid=""
cleanup() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null; done
  "$wineserver" -k 2>/dev/null
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# A private X server for the whole prefix: Wine's desktop process, started with the first
# program, decides where every window of the prefix goes. Xvfb writes its display number to
# file descriptor 3 once it takes clients.
no_display=""
if ! command -v Xvfb >/dev/null 2>&1; then
  no_display="Xvfb is not installed"
else
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$logs/xvfb.display" \
    >"$logs/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$logs/xvfb.display" ] && break; sleep 0.1; done
  if [ -s "$logs/xvfb.display" ]; then
    export DISPLAY=:$(head -1 "$logs/xvfb.display")
  else
    no_display="Xvfb did not report a display within 10 s (log: $logs/xvfb.log)"
  fi
fi

t0=$(now)
if wine wineboot --init >"$logs/wineboot.log" 2>&1; then
  t_boot=$(since "$t0")
  # The server writes the new registry to disk when it ends, a few seconds after its last client.
  t0=$(now)
  "$wineserver" -w
  pass "wineboot of a new prefix (${t_boot} s, then $(since "$t0") s until its server ended)"
  # There is no window manager on the private X server: without this, Wine would wait 2 s for
  # one each time a window is hidden, and nobody would draw the frames.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  # Debian's Wine does not find the fonts of fonts-wine where they are installed (the dialog
  # would be drawn in DejaVu Sans, the close box as an 'r'); the prefix's own Fonts folder it
  # always reads.
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
else
  t_boot=$(since "$t0")
  fail "wineboot (log in $logs/wineboot.log)"
  finish
fi
t_tests_start=$(now)

# Every Windows program runs through w: inside the tool's namespace once $runner names it.
runner=""
w() { $runner timeout 120 wine "$@"; }
# (Re)starts the wine server, persistent, and its services, in $runner's namespace. The first
# program of a server starts the services, which keep the standard output they were given: started
# here with /dev/null, they cannot hold the pipe of a later $(...) open.
wine_restart() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w
  $runner "$wineserver" -p >>"$logs/wineserver.log" 2>&1
  w cmd /c exit </dev/null >/dev/null 2>&1
}
wine_restart
# Runs a Windows program; output without carriage returns.
run_win() { w "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# The path of a Linux file for a Windows program (Wine's drive Z: is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Runs a GoogleTest program and counts its tests; the names of the failed and skipped ones
# follow, a skipped one with its reason.
run_gtest() {  # EXE [WHAT: told apart from other runs of EXE]
  local exe=$1 name out status p f s
  name=$(basename "$exe" .exe)${2:+ $2}
  out=$logs/$(tr ' ' '-' <<<"$name").log
  run_win "$exe" >"$out"
  status=$?
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$out" | tail -1)
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$out" | tail -1)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$out" | tail -1)
  p=${p:-0} f=${f:-0} s=${s:-0}
  if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then f=1; fi  # crashed or hung
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
  echo "$( [ "$f" -eq 0 ] && echo PASS || echo FAIL)  $name: $p passed, $f failed, $s skipped"
  grep -E '^\[  (FAILED|SKIPPED) \] [A-Za-z]' "$out" | sed 's/ (.*//' | sort -u |
    sed 's/^/        /'
  # A skip's reason is the line before "[  SKIPPED ] Suite.Name".
  grep -B1 -E '^\[  SKIPPED \] [A-Za-z][^ ]* \(' "$out" | grep -vE '^(\[|--)' | sort -u |
    sed 's/^/          because: /'
}

# --- 1. GoogleTest programs under Wine ----------------------------------------------------------
echo "== unit and Windows transport tests"
for exe in "$root/$build"/tests/*_test.exe "$root/$build"/tests/windows/*_test.exe; do
  [ -e "$exe" ] || continue
  run_gtest "$exe"
done

# --- Wine's registry, for the checks below (its own checks are tests/windows/registry_test) ---
interfaces='HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces'
nettrans='HKLM\SYSTEM\CurrentControlSet\Services\Class\NetTrans'
vxddhcp='HKLM\SYSTEM\CurrentControlSet\Services\VxD\DHCP'
reg_add() {  # KEY NAME TYPE DATA
  w reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1 || echo "reg add $1 $2 failed" >&2
}
reg_clear() {
  for key in "$interfaces" "$nettrans" "$vxddhcp"; do w reg delete "$key" /f >/dev/null 2>&1; done
}

# --- 3. Serial: the simulator's pseudo-terminal as COM7 -------------------------------------------
# start_sim LOG RECORD ARGS...: starts the simulator (in the current namespace unless the
# caller prefixes it), waits for "ready", sets sim_out to its output file.
start_sim() {
  local log=$1 record=$2
  shift 2
  sim_out=$(mktemp "$logs/sim.XXXXXX")
  "$@" --log "$log" --record-out "$record" >"$sim_out" 2>&1 &
  sim_pids+=($!)
  for _ in $(seq 50); do grep -q '^ready' "$sim_out" && return 0; sleep 0.1; done
  return 1
}
stop_sims() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  sim_pids=()
}
# The record written last (20 bytes in hex) holds 5000 V, 88 13, in its bytes 8-9.
record_has_5000() { [ -s "$1" ] && [ "$(cut -c17-20 "$1")" = "8813" ]; }
# check_cli WHAT EXPECTED_STATUS EXPECTED_TEXT RECORD|- CLI_ARGS... (run through $runner)
check_cli() {
  local what=$1 want_status=$2 want_text=$3 record=$4
  shift 4
  [ "$record" = - ] || rm -f "$record"
  local out status
  # With pipefail the substitution's status is the program's (tr does not fail).
  out=$(w "$cli" "$@" 2>&1 | tr -d '\r')
  status=$?
  echo "$out" >"$logs/cli-$(printf '%s' "$what" | tr -c 'A-Za-z0-9' '_').log"
  if [ "$status" -ne "$want_status" ]; then
    fail "$what: exit status $status, expected $want_status:" \
         "$(echo "$out" | tail -2 | paste -sd' ')"
  elif ! grep -qxF "$want_text" <<<"$out"; then
    fail "$what: no line '$want_text' in: $(echo "$out" | tail -3 | paste -sd' ')"
  elif [ "$record" != - ] && ! record_has_5000 "$record"; then
    fail "$what: the simulator holds no record with 5000 V"
  else
    pass "$what"
  fi
}
ok_text="The data has been successfully transfered."
missing_text="The specified Quillon has been not detected."

echo "== serial: simulator pseudo-terminals as COM7, and COM8 in use"
serial_checks=("line settings on COM7" "port listing shows COM7 present, not opened"
               "Start over COM7" "other serial number over COM7")
mapped=""  # why the ports are not mapped; empty once they are
if [ ! -x "$sim" ]; then
  mapped="no simulator (build log: $logs/simulator.log)"
elif ! start_sim "$logs/sim-serial.log" "$logs/record-serial.hex" "$sim" --pty --serial 1234; then
  fail "simulator on a pseudo-terminal did not start: $(cat "$sim_out")"
  mapped="the simulator did not start"
else
  pts=$(sed -n 's/^pty //p' "$sim_out")
  pts_in_use=""
  # The second device (for the dialog's "in use" message) answers as used by another program.
  if start_sim "$logs/sim-in-use.log" "$logs/record-in-use.hex" "$sim" --pty --serial 1234 \
       --use-count 1; then
    pts_in_use=$(sed -n 's/^pty //p' "$sim_out")
  fi
  # Wine reads its port mapping when it starts: write it, then restart the server.
  w reg add 'HKLM\Software\Wine\Ports' /v COM7 /t REG_SZ /d "$pts" /f >/dev/null 2>&1
  [ -z "$pts_in_use" ] ||
    w reg add 'HKLM\Software\Wine\Ports' /v COM8 /t REG_SZ /d "$pts_in_use" /f >/dev/null 2>&1
  wine_restart
  for _ in $(seq 50); do
    [ "$(readlink "$WINEPREFIX/dosdevices/com7")" = "$pts" ] && break
    sleep 0.1
  done
  if [ "$(readlink "$WINEPREFIX/dosdevices/com7")" != "$pts" ]; then
    mapped="Wine did not map COM7 to $pts through HKLM\\Software\\Wine\\Ports"
  fi
fi
if [ -n "$mapped" ]; then
  for c in "${serial_checks[@]}"; do skip "$c: $mapped"; done
else
  settings=$(run_win "$probe" serial COM7)
  want="BaudRate=38400 ByteSize=8 Parity=0 StopBits=0 fBinary=1 fParity=0 fOutxCtsFlow=0"
  want+=" fOutxDsrFlow=0 fOutX=0 fInX=0 fNull=0"
  if [ "${settings%% fDtrControl=*}" = "$want" ]; then
    pass "line settings on COM7 ($pts): 38400 8N1, binary, no flow control"
  else
    fail "line settings on COM7: $settings"
  fi
  # Wine asks the port for its modem lines (TIOCMGET); a pseudo-terminal has none, and then
  # Wine reports DTR and RTS control as enabled whatever was set.
  skip "DTR on / RTS off on COM7: a pseudo-terminal has no modem lines; Wine reads back" \
       "${settings#*fNull=0 } whatever was set"
  # The listing opens no port (an open can switch an adapter's lines); it names the port as the
  # device installation (SetupAPI) does, where that knows the port.
  check_cli "port listing shows COM7 present, not opened" 0 \
    "  COM1  \\\\.\\COM7  present (not opened: only an open tells whether it is free, and an open can switch its lines)" - \
    --list-ports --port COM7 --no-udp
  ports_class=$(run_win "$probe" ports)
  echo "$ports_class" >"$logs/probe-ports.log"
  if grep -qx "ports-class devices 0" <<<"$ports_class"; then
    skip "friendly names, USB ids and serial numbers of the ports: Wine's device installation" \
         "has no device of the Ports class (its COM ports are DOS device links only)"
  elif grep -q "^COM7 name '.\+'" <<<"$ports_class"; then
    pass "COM7 named by the device installation: $(grep '^COM7 ' <<<"$ports_class")"
  else
    fail "Ports-class devices without COM7's name: $(paste -sd' ' <<<"$ports_class")"
  fi
  check_cli "Start over COM7" 0 "$ok_text" "$logs/record-serial.hex" \
    --serial 1234 --port COM7 --no-udp
  check_cli "other serial number over COM7" 3 "$missing_text" - \
    --serial 4321 --port COM7 --no-udp
fi

# --- 4. The dialog ----------------------------------------------------------------------------
# The real dialog on the private X server, driven from inside its modal loop; its Starts go to
# the simulators on COM7 and COM8, whose files it reads back. Without the ports, the tests that
# need them report themselves skipped.
echo "== the dialog under Wine (display $DISPLAY${no_display:+ missing})"
if [ -n "$no_display" ]; then
  skip "dialog tests (tests/gui/dialog_msw_gui_test.cpp): $no_display"
elif [ -n "$mapped" ]; then
  run_gtest "$dialog_test"
else
  in_use_port=COM8
  [ -n "$pts_in_use" ] || in_use_port=""
  QUILLON_TEST_COM=COM7 QUILLON_TEST_COM_IN_USE=$in_use_port \
  QUILLON_TEST_SIM_LOG=$(winpath "$logs/sim-serial.log") \
  QUILLON_TEST_SIM_RECORD=$(winpath "$logs/record-serial.hex") \
  QUILLON_TEST_SCREENSHOT=$(winpath "$logs/dialog-windows.bmp") \
    run_gtest "$dialog_test"
  [ ! -s "$logs/dialog-windows.bmp" ] ||
    echo "        picture of the dialog: $logs/dialog-windows.bmp"
fi
# At 144 and 192 DPI (Wine takes its one DPI for every monitor from LogPixels): the layout in
# dialog units, no text clipped, the DPI-change handler, and a picture at 144 DPI.
dpi_keys=('HKCU\Control Panel\Desktop'
          'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts')
set_dpi() {
  for key in "${dpi_keys[@]}"; do
    w reg add "$key" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  done
  wine_restart
}
if [ -z "$no_display" ]; then
  for dpi in 144 192; do
    set_dpi "$dpi"
    GTEST_FILTER='*TemplatesLayout:*ChangeOfDpi*:*DrawnRed' QUILLON_TEST_DPI=$dpi \
    QUILLON_TEST_SCREENSHOT=$(winpath "$logs/dialog-windows-${dpi}dpi.bmp") \
      run_gtest "$dialog_test" "at $dpi DPI"
  done
  set_dpi 96
fi

# One Start of each program against the same simulator: the dialog's from the click on "Start"
# to the message box (from its test), the command lines' from their start to the last reply of
# the device (their --verbose trace), and their whole run for comparison.
timed_start() {  # WHAT PROGRAM ARGS... (sets start_ms and start_wall)
  local what=$1 out status t0
  shift
  t0=$(now)
  out=$("$@" --serial 1234 --no-udp --verbose 2>&1 | tr -d '\r')
  status=$?
  start_wall=$(since "$t0")
  echo "$out" >"$logs/timed-$(printf '%s' "$what" | tr -c 'A-Za-z0-9' '_').log"
  start_ms=$(sed -n 's/^ *\([0-9][0-9]*\) ms .*/\1/p' <<<"$out" | tail -1)
  if [ "$status" -eq 0 ] && grep -qxF "$ok_text" <<<"$out" && [ -n "$start_ms" ]; then
    pass "timed Start of the $what ($start_ms ms)"
  else
    fail "timed Start of the $what: exit status $status, $(tail -1 <<<"$out")"
    start_ms="?"
  fi
}
echo "== one Start of each program against the same simulator"
if [ -n "$mapped" ]; then
  skip "timed Starts: $mapped"
else
  dialog_ms=$(sed -n 's/^TIMING dialog Start \([0-9]*\) ms$/\1/p' "$logs/dialog_msw_gui_test.log" \
                2>/dev/null | tail -1)
  timed_start "Windows command line" w "$cli" --port COM7
  win_ms=$start_ms win_wall=$start_wall
  if [ -x "$linux_cli" ]; then
    timed_start "Linux command line" "$linux_cli" --port "$pts"
  else
    skip "timed Start of the Linux command line: not built (log: $logs/simulator.log)"
    start_ms="?" start_wall="?"
  fi
  echo "== Start against the simulator on $pts: dialog ${dialog_ms:-?} ms (under Wine)," \
       "Windows command line $win_ms ms (under Wine; $win_wall s with Wine's start)," \
       "Linux command line $start_ms ms ($start_wall s); the protocol's floor is 2000 ms"
fi

# --- 5. The Windows zip -----------------------------------------------------------------------
echo "== the Windows zip"
made=$(env -u QUILLON_SIGN_PKCS12 -u QUILLON_SIGN_PKCS11_MODULE QUILLON_WIN_BUILD=$build \
             scripts/package-windows.sh 2>"$logs/package-windows.log")
zip=$(grep '\.zip$' <<<"$made")
msi=$(grep '\.msi$' <<<"$made")
unpacked=$logs/unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
folder=quillon-reconfigurator-$version-windows-x64
if [ -z "$zip" ] || ! (cd "$unpacked" && cmake -E tar xf "$root/$zip"); then
  fail "the zip (scripts/package-windows.sh; log: $logs/package-windows.log)"
else
  listing=$(cd "$unpacked" && find . -type f | sort | paste -sd' ')
  want="./$folder/README.txt ./$folder/quillon-reconfigurator-cli.exe"
  want+=" ./$folder/quillon-reconfigurator.exe"
  readme=$unpacked/$folder/README.txt
  if [ "$listing" = "$want" ] && [ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ]; then
    pass "$zip: the two programs and README.txt (Windows line ends) in $folder/"
  else
    fail "$zip holds: $listing"
  fi
  # Run from the unpacked folder, as a technician would.
  for program in quillon-reconfigurator quillon-reconfigurator-cli; do
    got=$(cd "$unpacked/$folder" && run_win "./$program.exe" --version)
    if [ "$got" = "$program $version" ]; then pass "unpacked $program.exe --version: $got"
    else fail "unpacked $program.exe --version: '$got'"; fi
  done
  if [ -n "$mapped" ]; then
    skip "Start of the unpacked command line over COM7: $mapped"
  else
    tested_cli=$cli
    cli=$unpacked/$folder/quillon-reconfigurator-cli.exe
    check_cli "Start of the unpacked command line over COM7" 0 "$ok_text" \
      "$logs/record-serial.hex" --serial 1234 --port COM7 --no-udp
    cli=$tested_cli
  fi
fi

# --- 5b. Signing, and the installer: install, upgrade, uninstall --------------------------------
echo "== signing with a throwaway certificate; the installer, silent, per machine"
if grep -q "UNSIGNED: no certificate given" "$logs/package-windows.log"; then
  pass "without a certificate the packages say they ship unsigned"
else
  fail "no word of the unsigned packages: $(tail -1 "$logs/package-windows.log")"
fi
# A code-signing certificate from a throwaway certificate authority, and the upgrade's packages
# (a higher version) signed with it, beside the tests' logs rather than in dist/.
IFS=. read -r v_major v_minor v_patch _ <<<"$version"
higher=$v_major.$v_minor.$((v_patch + 1)).0
pki=$logs/pki
signed=$logs/signed
rm -rf "$pki" "$signed"
mkdir -p "$pki"
if ! scripts/install-packages.sh openssl osslsigncode >/dev/null ||
   ! { openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillon Test CA" \
         -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
         -keyout "$pki/ca.key" -out "$pki/ca.pem" &&
       openssl req -newkey rsa:2048 -nodes -subj "/CN=Quillon Test Signer" \
         -keyout "$pki/signer.key" -out "$pki/signer.csr" &&
       printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
         >"$pki/signer.ext" &&
       openssl x509 -req -in "$pki/signer.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" \
         -CAcreateserial -days 2 -extfile "$pki/signer.ext" -out "$pki/signer.pem" &&
       openssl pkcs12 -export -inkey "$pki/signer.key" -in "$pki/signer.pem" \
         -certfile "$pki/ca.pem" -passout pass:throwaway -out "$pki/signer.p12"; } \
         >"$logs/pki.log" 2>&1; then
  fail "a throwaway code-signing certificate (log: $logs/pki.log)"
else
  upgrade=$(QUILLON_WIN_BUILD=$build QUILLON_DIST=$signed QUILLON_MSI_VERSION=$higher \
            QUILLON_SIGN_PKCS12=$pki/signer.p12 QUILLON_SIGN_PASSWORD=throwaway \
            scripts/package-windows.sh 2>"$logs/package-signed.log" | grep '\.msi$')
  mkdir -p "$signed/zip" "$signed/msi"
  rm -f "$logs/verify.log"
  (cd "$signed/zip" && cmake -E tar xf "$signed/$folder.zip") 2>/dev/null
  msiextract -C "$signed/msi" "$root/$upgrade" >/dev/null 2>&1
  mapfile -t programs < <(find "$signed/zip" "$signed/msi" -name '*.exe')
  unsigned=""
  for f in "$root/$upgrade" "${programs[@]}"; do
    osslsigncode verify -CAfile "$pki/ca.pem" -in "$f" >>"$logs/verify.log" 2>&1 ||
      unsigned+=" ${f#"$root"/}"
  done
  count=${#programs[@]}
  if [ -n "$upgrade" ] && [ -z "$unsigned" ] && [ "$count" = 4 ]; then
    pass "signed with the throwaway certificate: the installer and both programs, in the zip" \
         "and in the installer, verify against its authority"
  else
    fail "signatures: ${upgrade:-no installer}; not verified:${unsigned:- none} ($count programs;" \
         "log: $logs/package-signed.log)"
  fi
fi

program_files="$WINEPREFIX/drive_c/Program Files/Quillon Reconfigurator"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
# The uninstall entries of this product: "DisplayName DisplayVersion Publisher", one a line.
entries() {
  w reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY/ { if (name == "Quillon Reconfigurator") print name "|" version "|" publisher
              name = version = publisher = "" }
    $1 == "DisplayName" { sub(/^ *DisplayName +REG_SZ +/, ""); name = $0 }
    $1 == "DisplayVersion" { sub(/^ *DisplayVersion +REG_SZ +/, ""); version = $0 }
    $1 == "Publisher" { sub(/^ *Publisher +REG_SZ +/, ""); publisher = $0 }
    END { if (name == "Quillon Reconfigurator") print name "|" version "|" publisher }'
}
system_path() {
  w reg query "$environment_key" /v PATH 2>/dev/null | tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]* *//p'
}
shortcut() {  # the Start-menu shortcut: all users', or (Wine) the user's
  find "$WINEPREFIX/drive_c/ProgramData" "$WINEPREFIX/drive_c/users" -path '*Start Menu/Programs/*' \
    -name 'Quillon Reconfigurator.lnk' 2>/dev/null | head -1
}
path_before=$(system_path)
if [ -z "$msi" ]; then
  fail "the installer (scripts/package-windows.sh; log: $logs/package-windows.log)"
elif ! w msiexec /i "$(winpath "$root/$msi")" /qn /l*v "$(winpath "$logs/msi-install.log")" \
       >/dev/null 2>&1; then
  fail "msiexec /i $msi /qn failed (log: $logs/msi-install.log)"
else
  listing=$(cd "$program_files" 2>/dev/null && ls | paste -sd' ')
  if [ "$listing" = "README.txt quillon-reconfigurator-cli.exe quillon-reconfigurator.exe" ]; then
    pass "silent install: the two programs and README.txt in Program Files\\Quillon Reconfigurator"
  else
    fail "silent install: Program Files\\Quillon Reconfigurator holds '$listing'"
  fi
  link=$(shortcut)
  if [[ "$link" == */ProgramData/* ]]; then
    pass "Start-menu shortcut for all users"
  elif [ -n "$link" ]; then
    pass "Start-menu shortcut (${link#"$WINEPREFIX/drive_c/"})"
    skip "shortcut in the all users' Start menu: Wine's msi resolves ProgramMenuFolder to the" \
         "user's even for a per-machine package"
  else
    fail "no Start-menu shortcut"
  fi
  want="Quillon Reconfigurator|$version|Quillon Reconfigurator maintainers"
  properties=$(msiinfo export "$root/$msi" Property | tr -d '\r')
  if [ "$(entries)" = "$want" ] && grep -qx $'ARPPRODUCTICON\tquillon.ico' <<<"$properties" &&
     grep -qx $'ALLUSERS\t1' <<<"$properties"; then
    pass "one uninstall entry: $want, the program's icon, per machine"
  else
    fail "uninstall entries: '$(entries | paste -sd';')'"
  fi
  if [ "$(system_path)" = "$path_before;"'C:\Program Files\Quillon Reconfigurator\' ]; then
    pass "the command line's folder appended to the system PATH, the rest kept"
  else
    fail "system PATH after install: $(system_path)"
  fi
  # By its name alone, as from a command prompt: found through PATH.
  wine_restart
  if [ -n "$mapped" ]; then
    skip "the installed command line by its name over COM7: $mapped"
  else
    tested_cli=$cli
    cli=cmd
    check_cli "the installed command line by its name (PATH) over COM7" 0 "$ok_text" \
      "$logs/record-serial.hex" /c quillon-reconfigurator-cli --serial 1234 --port COM7 --no-udp
    cli=$tested_cli
  fi

  if [ -z "${upgrade:-}" ]; then
    skip "upgrade, downgrade and uninstall of the upgrade: no signed installer of $higher"
  else
    if w msiexec /i "$(winpath "$root/$upgrade")" /qn >/dev/null 2>&1 &&
       [ "$(entries)" = "Quillon Reconfigurator|$higher|Quillon Reconfigurator maintainers" ] &&
       [ -f "$program_files/quillon-reconfigurator-cli.exe" ]; then
      pass "silent upgrade to $higher: replaced in place, one uninstall entry"
    else
      fail "upgrade to $higher: entries '$(entries | paste -sd';')'"
    fi
    if ! w msiexec /i "$(winpath "$root/$msi")" /qn >/dev/null 2>&1 &&
       [ "$(entries)" = "Quillon Reconfigurator|$higher|Quillon Reconfigurator maintainers" ]; then
      pass "the older installer refuses to replace $higher"
    else
      fail "downgrade: entries '$(entries | paste -sd';')'"
    fi
    msi=$upgrade
  fi
  w msiexec /x "$(winpath "$root/$msi")" /qn >/dev/null 2>&1
  left=$(find "$WINEPREFIX/drive_c" -iname '*quillon*' 2>/dev/null | paste -sd' ')
  path_after=$(system_path)
  if [ -z "$left" ] && [ -z "$(entries)" ] && [[ "$path_after" != *Quillon* ]]; then
    pass "silent uninstall: no file, shortcut, uninstall entry or PATH part left"
  else
    fail "after uninstall: files '$left', entries '$(entries)', PATH $path_after"
  fi
  # Wine takes the appended part out of PATH but leaves its separator.
  if [ "$path_after" != "$path_before" ] && [ "$(sed 's/;*$//' <<<"$path_after")" = "$path_before" ]; then
    skip "PATH exactly as before: Wine's msi leaves the separators of the part it removed" \
         "('${path_after#"$path_before"}')"
  fi
fi
stop_sims

# --- 6. UDP between two network namespaces ----------------------------------------------------
echo "== UDP: tool and simulator in two network namespaces"
udp_checks=("Start by --address" "other serial number by --address"
            "host addresses in the namespace"
            "port listing names the registry's broadcast address"
            "Start by the registry's broadcast address" "identify request to 10.78.0.255")
ns_tool=qwin-tool-$$
ns_dev=qwin-dev-$$
why=""
if [ ! -x "$sim" ]; then
  why="no simulator (build log: $logs/simulator.log)"
elif [ "$(id -u)" -ne 0 ]; then
  why="network namespaces need root"
elif ! ip netns add "$ns_tool" 2>"$logs/netns.log"; then
  why="ip netns add failed: $(cat "$logs/netns.log")"
else
  namespaces+=("$ns_tool")
  if ! { ip netns add "$ns_dev" && namespaces+=("$ns_dev") &&
         ip link add qwv$$a netns "$ns_tool" type veth peer name qwv$$b netns "$ns_dev" &&
         ip -n "$ns_tool" addr add 10.78.0.1/24 dev qwv$$a &&
         ip -n "$ns_dev" addr add 10.78.0.2/24 dev qwv$$b &&
         ip -n "$ns_tool" link set qwv$$a up && ip -n "$ns_dev" link set qwv$$b up &&
         ip -n "$ns_tool" link set lo up && ip -n "$ns_dev" link set lo up; } 2>>"$logs/netns.log"
  then
    why="veth pair between namespaces failed: $(tail -1 "$logs/netns.log")"
  fi
fi
if [ -n "$why" ]; then
  for c in "${udp_checks[@]}"; do skip "$c: $why"; done
elif ! start_sim "$logs/sim-udp.log" "$logs/record-udp.hex" ip netns exec "$ns_dev" "$sim" \
        --udp 0.0.0.0 --serial 1234; then
  fail "simulator on UDP did not start: $(cat "$sim_out")"
else
  # Wine's sockets live in the wine server, and its host addresses come from its device
  # services: both must run inside the tool's namespace.
  runner="ip netns exec $ns_tool"
  wine_restart
  check_cli "Start by --address" 0 "$ok_text" "$logs/record-udp.hex" \
    --serial 1234 --no-serial --address 10.78.0.2
  check_cli "other serial number by --address" 3 "$missing_text" - \
    --serial 4321 --no-serial --address 10.78.0.2

  # The host name's addresses (gethostname, gethostbyname) and their interface key.
  reg_clear
  reg_add "$interfaces\\{q-veth}" IPAddress REG_MULTI_SZ 10.78.0.1
  reg_add "$interfaces\\{q-veth}" SubnetMask REG_MULTI_SZ 255.255.255.0
  hosts=$(run_win "$probe" hosts | paste -sd' ')
  want="host 10.78.0.1 broadcast 10.78.0.255 broadcast 0.0.0.0 broadcast 0.0.0.0"
  if [ "$hosts" = "$want broadcast 0.0.0.0" ]; then
    pass "host addresses in the namespace: 10.78.0.1, broadcast 10.78.0.255"
  else
    fail "host addresses in the namespace: $hosts"
  fi
  # The listing resolves the host name without the search's socket start-up.
  check_cli "port listing names the registry's broadcast address" 0 \
    "  10.78.0.255:50000  (10.78.0.1)" - \
    --list-ports --no-serial
  identifies() { grep -c '^udp 10.78.0.1:[0-9]* identify' "$logs/sim-udp.log"; }
  identifies_before=$(identifies)
  check_cli "Start by the registry's broadcast address" 0 "$ok_text" "$logs/record-udp.hex" \
    --serial 1234 --no-serial --verbose
  if [ "$(identifies)" -gt "$identifies_before" ] &&
     grep -q 'udp 10.78.0.255:50000 > 12 bytes' \
       "$logs/cli-Start_by_the_registry_s_broadcast_address.log"
  then
    pass "identify request to 10.78.0.255 reached the simulator"
  else
    fail "identify broadcast to 10.78.0.255 not seen (logs in $logs)"
  fi
  runner=""
  "$wineserver" -k
  stop_sims
fi
for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
namespaces=()

t_tests=$(since "$t_tests_start")
finish
