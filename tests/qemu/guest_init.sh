#!/bin/sh
# The guest's init: loads the USB serial drivers, runs the command line in numbered steps and
# powers off. Each step starts and ends with a byte on the debug port 0x5e9 (the step's number,
# then 0), so the host can cut QEMU's trace into steps; the guest's console gets
# "@@ N status S seconds T" and the step's output as "@@ N | line" (a step that leaves the console
# raw may run these into other output: read them anywhere in a line).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /run/lock /tmp
if [ "${quillon:-}" = probe ]; then
  echo "@@ probe"
  poweroff -f
fi
for m in /lib/modules/*.ko; do insmod "$m"; done
for _ in $(seq 50); do [ -e /dev/ttyUSB0 ] && break; sleep 0.1; done
mark() { printf "\\$(printf %o "$1")" | dd of=/dev/port bs=1 seek=1513 count=1 2>/dev/null; }
cli=quillon-reconfigurator-cli
step() {  # NUMBER COMMAND...
  n=$1
  shift
  read -r t0 _ </proc/uptime
  mark "$n"
  timeout 60 "$@" >/tmp/out 2>&1
  status=$?
  mark 0
  read -r t1 _ </proc/uptime
  echo "@@ $n status $status seconds $(awk "BEGIN { print $t1 - $t0 }")"
  sed "s/^/@@ $n | /" /tmp/out
}
held() {  # NUMBER KIND PORT COMMAND...: the step while hold_port holds the port
  n=$1 kind=$2 port=$3
  shift 3
  hold_port "$kind" "$port" >/tmp/hold 2>&1 &
  holder=$!
  for _ in $(seq 50); do grep -q held /tmp/hold && break; sleep 0.1; done
  step "$n" "$@"
  kill -0 "$holder" 2>/dev/null && echo "@@ $n holder alive"
  kill "$holder"
  wait "$holder" 2>/dev/null
  rm -f "/run/lock/LCK..${port#/dev/}"
}
echo "@@ ports" /dev/ttyS* /dev/ttyUSB*
step 1 $cli --serial 1234 --port /dev/ttyS1 --no-udp
step 2 $cli --serial 4321 --port /dev/ttyUSB0 --no-udp
step 3 $cli --list-ports
held 4 flock /dev/ttyS1 $cli --serial 1234 --no-udp
held 5 open /dev/ttyS1 $cli --serial 1234 --no-udp
held 6 lock /dev/ttyS1 $cli --serial 1234 --no-udp
held 7 open /dev/ttyUSB0 $cli --serial 4321 --no-udp
# A port at other settings (XON/XOFF, which the adapter does itself), its modem lines left up:
# searched, but the device is elsewhere.
stty -F /dev/ttyS1 9600 cs7 parenb -parodd -hupcl ixon
step 8 $cli --serial 4321 --no-udp
stty -F /dev/ttyUSB0 9600 cs7 parenb -parodd -hupcl ixon
step 9 $cli --serial 1234 --no-udp
echo "@@ done"
poweroff -f
