#!/usr/bin/env bash
# The Linux command line on real serial drivers: a small QEMU guest (Debian's own kernel) with a
# 16550 UART on ttyS1 (the 8250 driver) and QEMU's FTDI adapter on ttyUSB0 (ftdi_sio on xHCI),
# both wired to a simulator on the host; the guest's console is ttyS0. QEMU's trace events are
# the hardware's view: every register write of the UARTs and every control request of the
# adapter, cut into the guest's steps (tests/qemu/guest_init.sh) by bytes on a debug port.
# Installs its Debian packages; the kernel package is downloaded and unpacked (never installed)
# into a cache outside the checkout, ~/.cache/quillon/qemu-<kernel>/ (QUILLON_QEMU_CACHE moves
# it), with the guest's base initramfs. Prints one line per check and "N passed, M failed,
# K skipped"; a host without QEMU, or a guest that does not boot, is a skip with the reason.
# QUILLON_QEMU_ACCEL: QEMU's accelerators (default: kvm:tcg where /dev/kvm can make a virtual
# machine, else tcg).
#   real_drivers_test.sh             the rig, then every check
#   real_drivers_test.sh --rig       the rig alone: the guest's logs stay in build-qemu/logs
#   real_drivers_test.sh --check N   check N against the last rig's logs: exit status 0 passed,
#                                    1 failed, 77 skipped (the rig could not run here)
#   real_drivers_test.sh --list      the checks' names
# CTest runs the rig as a fixture and each check as a test of its own, labelled qemu
# (tests/qemu/CMakeLists.txt, built with -DQUILLON_QEMU_TESTS=ON).
set -uo pipefail
export PATH=$PATH:/usr/sbin:/sbin  # depmod and modprobe, for users other than root
cd "$(dirname "$0")/../.." || exit 1
root=$(pwd)
build=$root/build-qemu
logs=$build/logs
. scripts/checks.sh
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
t_start=$(now)
sim_pids=()
stop_simulators() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null; done
}
trap stop_simulators EXIT
finish() {
  if [ "$mode" != --check ]; then
    echo "== timings: packages ${t_install:-0} s, kernel and initramfs ${t_cache:-0} s (cached:" \
         "${cached:-no}), build ${t_build:-0} s, KVM probe ${t_probe:-0} s, guest" \
         "${t_guest:-0} s, total $(since "$t_start") s"
    summary
  fi
  [ "$failed" -eq 0 ] || exit 1
  # For CTest, a rig or a check that could not run is a skip; the whole script's run is not a
  # failure for it either.
  [ "$mode" != all ] && [ "$skipped" -ne 0 ] && exit 77
  exit 0
}
mode=${1:-all}
checks=(start-ttyS1 start-ttyUSB0 listing-names-usb-identity listing-opens-no-port held-flock
        held-open held-lock-file held-usb-open console-left-alone state-kept-ttyS1
        state-kept-ttyUSB0)
# What the rig came to: "ok", or the one line that says why it stopped ("SKIP ...", "FAIL ...").
rig_status=$logs/rig.status
rig_stop() {  # skip|fail MESSAGE...: the rig cannot go on
  local kind=$1
  shift
  "$kind" "$@"
  echo "${kind^^}  $*" >"$rig_status"
  finish
}
case $mode in
  all | --rig) ;;
  --list) printf '%s\n' "${checks[@]}"; exit 0 ;;
  --check)
    name=${2:-}
    if [[ " ${checks[*]} " != *" $name "* ]]; then
      echo "real_drivers_test.sh: no check named '$name' (--list names them)" >&2
      exit 2
    fi
    if [ ! -r "$rig_status" ]; then
      echo "SKIP  $name: the rig has not run (real_drivers_test.sh --rig)"
      exit 77
    fi
    case $(head -c 4 "$rig_status") in
      ok) ;;
      SKIP) echo "SKIP  $name: $(cut -c7- "$rig_status")"; exit 77 ;;
      *) echo "FAIL  $name: the rig failed: $(cut -c7- "$rig_status")"; exit 1 ;;
    esac
    ;;
  *) echo "usage: real_drivers_test.sh [--rig | --check NAME | --list]" >&2; exit 2 ;;
esac
if [ "$mode" != --check ]; then
  rm -rf "$logs"
  mkdir -p "$logs"

# --- packages, kernel, base initramfs ---------------------------------------------------------
t0=$(now)
if ! scripts/install-packages.sh qemu-system-x86 busybox-static cpio kmod cmake ninja-build \
    build-essential >"$logs/install.log" 2>&1 || ! command -v qemu-system-x86_64 >/dev/null; then
  rig_stop skip "real serial drivers: QEMU or busybox-static could not be installed" \
    "($logs/install.log)"
fi
t_install=$(since "$t0")
t0=$(now)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: //p' | head -1
}
kpkg=$(kernel_package)
[ -n "$kpkg" ] || { $sudo apt-get update -q >/dev/null 2>&1; kpkg=$(kernel_package); }
kver=${kpkg#linux-image-}
cache=${QUILLON_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillon/qemu-$kver}
cached=yes
if [ -z "$kpkg" ]; then
  rig_stop skip "real serial drivers: no kernel package linux-image-amd64 known to apt"
elif [ ! -s "$cache/base.cpio.gz" ]; then
  cached=no
  rm -rf "$cache.tmp"
  mkdir -p "$cache.tmp/x" "$cache.tmp/base/bin" "$cache.tmp/base/lib/modules"
  if (cd "$cache.tmp" && apt-get download "$kpkg" && dpkg-deb -x ./*.deb x &&
      depmod -b "$PWD/x" "$kver") >"$logs/kernel.log" 2>&1; then
    n=10
    for m in $(for d in usbserial ftdi_sio xhci_pci; do
                 modprobe -d "$cache.tmp/x" -S "$kver" --show-depends "$d"; done |
               awk '$1 == "insmod" && !seen[$2]++ { print $2 }'); do
      n=$((n + 1))
      cp "$m" "$cache.tmp/base/lib/modules/$n-$(basename "$m")"
    done
    cp /bin/busybox "$cache.tmp/base/bin/" && ln -s busybox "$cache.tmp/base/bin/sh"
    mkdir -p "$cache.tmp/base/"{dev,proc,sys,run,tmp}
    cp "$cache.tmp/x/boot/vmlinuz-$kver" "$cache.tmp/vmlinuz"
    (cd "$cache.tmp/base" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >../base.cpio.gz)
    rm -rf "$cache" "$cache.tmp/x" "$cache.tmp/base" "$cache.tmp"/*.deb && mv "$cache.tmp" "$cache"
  fi
fi
if [ ! -s "$cache/base.cpio.gz" ] || [ ! -s "$cache/vmlinuz" ]; then
  rig_stop skip "real serial drivers: the kernel $kpkg could not be fetched and unpacked" \
    "($logs/kernel.log)"
fi
t_cache=$(since "$t0")

# --- the static command line for the guest, the simulator for the host ------------------------
t0=$(now)
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_GUI=OFF \
         -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF -DCMAKE_EXE_LINKER_FLAGS=-static &&
       cmake --build "$build" -j2 --target quillon-reconfigurator-cli quillon-simulator &&
       cc -static -O2 -Wall -Werror -o "$build/hold_port" tests/qemu/hold_port.c &&
       cc -O2 -Wall -Werror -o "$build/kvm_probe" tests/qemu/kvm_probe.c; } \
       >"$logs/build.log" 2>&1; then
  tail -n 20 "$logs/build.log"
  rig_stop fail "static build of the command line for the guest ($logs/build.log)"
fi
t_build=$(since "$t0")
pass "static build of the command line and the port holder for the guest (${t_build} s)"

# --- the guest --------------------------------------------------------------------------------
run=$logs/run
mkdir -p "$run/bin"
cp "$build/src/app/quillon-reconfigurator-cli" "$build/hold_port" "$run/bin/"
cp tests/qemu/guest_init.sh "$run/init"
(cd "$run" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$logs/run.cpio.gz")
cat "$cache/base.cpio.gz" "$logs/run.cpio.gz" >"$logs/initrd.gz"

boot() {  # NAME ACCEL CMDLINE [QEMU OPTION]...: the guest's console in $logs/NAME.console
  local name=$1 accel=$2 append=$3
  shift 3
  timeout "${limit:-300}" qemu-system-x86_64 -machine "accel=$accel" -m 256 -nodefaults \
    -no-user-config -display none -no-reboot -kernel "$cache/vmlinuz" -initrd "$logs/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 $append" \
    -chardev "file,id=con,path=$logs/$name.console" -serial chardev:con \
    -chardev null,id=mark -device isa-debugcon,iobase=0x5e9,chardev=mark "$@" \
    >"$logs/$name.qemu.log" 2>&1
}
accel=${QUILLON_QEMU_ACCEL:-}
if [ -z "$accel" ]; then
  # Asked of /dev/kvm itself (its API version, a virtual machine made), in milliseconds.
  t0=$(now)
  accel=tcg
  "$build/kvm_probe" 2>"$logs/kvm_probe.log" && accel=kvm:tcg
  t_probe=$(since "$t0")
fi

# One simulated Quillon behind each port: 1234 behind ttyS1, 4321 behind ttyUSB0.
for device in ttyS1:1234 ttyUSB0:4321; do
  port=${device%:*}
  "$build/tools/simulator/quillon-simulator" --pty --serial "${device#*:}" \
    --record-out "$logs/$port.record" --log "$logs/$port.sim.log" >"$logs/$port.sim.out" 2>&1 &
  sim_pids+=($!)
done
for port in ttyS1 ttyUSB0; do
  for _ in $(seq 50); do grep -q '^ready' "$logs/$port.sim.out" && break; sleep 0.1; done
done
pty_s1=$(sed -n 's/^pty //p' "$logs/ttyS1.sim.out")
pty_usb=$(sed -n 's/^pty //p' "$logs/ttyUSB0.sim.out")
if [ -z "$pty_s1" ] || [ -z "$pty_usb" ]; then
  rig_stop fail "the simulators did not start (logs in $logs)"
fi
printf '%s\n' memory_region_ops_write serial_update_parameters 'usb_serial_*' usb_xhci_xfer_start \
  >"$logs/trace.events"
t0=$(now)
# The guest's ttyS1 and ttyUSB0 are the simulators' pseudo-terminals, seen by QEMU as host
# serial ports; the adapter has QEMU's USB identity 0403:6001 and this serial number.
boot guest "$accel" "" -chardev "serial,id=s1,path=$pty_s1" -serial chardev:s1 \
  -device qemu-xhci,id=xhci -chardev "serial,id=usb,path=$pty_usb" \
  -device usb-serial,bus=xhci.0,chardev=usb,serial=QTEST0042 \
  -trace "events=$logs/trace.events" -D "$logs/trace.log"
t_guest=$(since "$t0")
con=$logs/guest.console
if ! grep -a -q '^@@ ports' "$con" 2>/dev/null; then
  rig_stop skip "real serial drivers: the guest did not boot in ${t_guest} s (accelerator" \
    "$accel: $(tail -n 1 "$logs/guest.qemu.log"); console $con)"
elif ! grep -a -q '@@ done' "$con"; then
  last=$(grep -a -o '@@ [0-9]* status' "$con" | tail -1 | cut -d' ' -f2)
  rig_stop fail "the guest stopped in ${t_guest} s, after step ${last:-none} of 9 (console $con)"
fi
echo "== the guest ran its steps in ${t_guest} s (accelerator $accel):" \
     "$(sed -n 's/^@@ ports //p' "$con")"
if ! grep -q "addr 0x5e9 " "$logs/trace.log" 2>/dev/null; then
  rig_stop skip "real serial drivers: QEMU wrote no trace of the guest's steps (a QEMU without" \
    "the log trace backend?): $logs/trace.log"
fi
awk -f tests/qemu/trace_steps.awk "$logs/trace.log" >"$logs/steps"
echo ok >"$rig_status"
[ "$mode" = --rig ] && finish
fi  # the rig
con=$logs/guest.console

# --- the checks -------------------------------------------------------------------------------
at() {  # STEP PORT WHAT: a value of the trace's steps (tests/qemu/trace_steps.awk)
  awk -v s="$1" -v p="$2" -v w="$3" \
    '$1 == s && $2 == p && $3 == w { print substr($0, length(s p w) + 4); exit }' "$logs/steps"
}
result() { grep -a -o "@@ $1 status [0-9]* seconds [0-9.]*" "$con" | head -1 | cut -d' ' -f"$2"; }
status_of() { result "$1" 4; }
output_of() { grep -a "@@ $1 | " "$con" | sed "s/.*@@ $1 | //" | tr '\n' ' '; }
touched() {  # STEP PORT: what reached the port's hardware during the step, if anything
  local m s
  m=$(at "$1" "$2" modem) s=$(at "$1" "$2" settings)
  [ "$m" = 0 ] && [ "$s" = 0 ] || echo "$2: $m modem-control and $s line-settings writes;"
}
usb_flow() { [ "$1" = ttyUSB0 ] && echo " flow=$2"; }

record=1200073412010000881394112003112233440000
check_start() {  # STEP PORT WHAT
  local s=$1 port=$2 what=$3 want got rec
  want="baud=38400 parity=N data=8 stop=1 dtr=1 rts=0$(usb_flow "$port" none)"
  got=$(at "$s" "$port" first) rec=$(cat "$logs/$port.record" 2>/dev/null)
  if [ "$(status_of "$s")" != 0 ] || [[ "$(output_of "$s")" != *"(/dev/$port)."* ]]; then
    fail "Start over /dev/$port ($what): exit status $(status_of "$s"): $(output_of "$s")"
  elif [ "$rec" != "$record" ]; then
    fail "Start over /dev/$port ($what): the simulator holds the record '$rec', not $record"
  elif [ "$got" != "$want" ]; then
    fail "Start over /dev/$port ($what): the hardware at the first byte: $got (wanted $want)"
  else
    pass "Start over /dev/$port ($what) in $(result "$s" 6) s: record $rec;" \
         "the hardware: 38400 8N1, DTR on, RTS off"
  fi
}

check_usb_identity() {
  local usb missing="" want
  usb=$(grep -a "@@ 3 | .*/dev/ttyUSB0" "$con")
  for want in 0403:6001 " QEMU " "QEMU USB SERIAL" QTEST0042; do
    [[ "$usb" == *"$want"* ]] || missing+=" '$want'"
  done
  if [ "$(status_of 3)" = 0 ] && [ -z "$missing" ]; then
    pass "--list-ports names the FTDI adapter's USB identity:" \
         "$(awk '{ $1 = $1; print }' <<<"${usb#*| }")"
  else
    fail "--list-ports: exit status $(status_of 3), the adapter's line lacks$missing: $(output_of 3)"
  fi
}

check_listing_opens_nothing() {
  local what
  what=$(for port in ttyS0 ttyS1 ttyUSB0; do touched 3 "$port"; done)
  if [ -z "$what" ]; then pass "--list-ports opens no port: no modem-control or settings write"
  else fail "--list-ports opened ports: ${what//$'\n'/ }"; fi
}

check_held() {  # STEP PORT HOW
  local s=$1 port=$2 how=$3 what
  what=$(touched "$s" "$port")
  [ -n "$what" ] || grep -a -q "@@ $s holder alive" "$con" || what="the holder did not hold it"
  if [ -z "$what" ]; then
    pass "a search leaves /dev/$port alone while another process holds it ($how)"
  else
    fail "a search reached /dev/$port held by another process ($how): $what $(output_of "$s")"
  fi
}

check_console() {
  local what
  what=$(for s in 4 5 6 7 8 9; do touched "$s" ttyS0 | sed "s/^/step $s: /"; done)
  # A5 5A: how an identify request begins.
  LC_ALL=C grep -a -q $'\xa5\x5a' "$con" && what+=" an identify request was written to it"
  if [ -z "$what" ]; then
    pass "the searches without --port leave the console /dev/ttyS0 alone (6 searches)"
  else
    fail "searches without --port reached the console /dev/ttyS0: ${what//$'\n'/ }"
  fi
}

# The port's line settings and modem lines (DTR, RTS) as they were: only real drivers show them.
check_state_kept() {  # STEP PORT
  local s=$1 port=$2 want before after
  want="baud=9600 parity=E data=7 stop=1 dtr=1 rts=1$(usb_flow "$port" xon/xoff)"
  before=$(at "$s" "$port" begin) after=$(at "$s" "$port" end)
  if [ "$before" != "$want" ]; then
    fail "a searched port keeps its state: stty did not set /dev/$port to 9600 7E1 ($before," \
         "wanted $want)"
  elif [ "$(at "$s" "$port" first)" = - ]; then
    fail "a searched port keeps its state: /dev/$port was not searched: $(output_of "$s")"
  elif [ "$after" != "$before" ]; then
    fail "a searched port keeps its state: /dev/$port was $before, after the Start $after"
  else
    pass "a searched port that is not the device keeps its state: /dev/$port still 9600 7E1," \
         "DTR and RTS on$([ "$port" = ttyUSB0 ] && echo ", XON/XOFF")"
  fi
}

run_check() {  # NAME
  case $1 in
    start-ttyS1) check_start 1 ttyS1 "16550 UART, 8250 driver" ;;
    start-ttyUSB0) check_start 2 ttyUSB0 "FTDI adapter, ftdi_sio" ;;
    listing-names-usb-identity) check_usb_identity ;;
    listing-opens-no-port) check_listing_opens_nothing ;;
    held-flock) check_held 4 ttyS1 "with flock" ;;
    held-open) check_held 5 ttyS1 "open, no lock" ;;
    held-lock-file) check_held 6 ttyS1 "lock file" ;;
    held-usb-open) check_held 7 ttyUSB0 "open, no lock" ;;
    console-left-alone) check_console ;;
    state-kept-ttyS1) check_state_kept 8 ttyS1 ;;
    state-kept-ttyUSB0) check_state_kept 9 ttyUSB0 ;;
  esac
}

if [ "$mode" = --check ]; then
  run_check "$2"
else
  for name in "${checks[@]}"; do run_check "$name"; done
fi
finish
