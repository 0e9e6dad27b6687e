#!/usr/bin/env bash
# Sets up, builds, and reconfigures a Quillon.
#
#   scripts/run.sh                 a demonstration against the bundled simulator: a simulated
#                                  Quillon (serial number 1234) on a pseudo-terminal; the dialog
#                                  opens when a display is available, else the command line runs
#   scripts/run.sh --cli           the same demonstration on the command line only
#   scripts/run.sh --serial N ...  the real thing: find the Quillon with serial number N on this
#                                  computer's serial ports and networks (any further options go to
#                                  quillon-reconfigurator-cli; see its --help)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || {
  echo "run.sh: the set-up failed (README.md, \"Other distributions\", says what a build needs)" >&2
  exit 1
}

cli=build/src/app/quillon-reconfigurator-cli
gui=build/src/app/gui/quillon-reconfigurator
sim=build/tools/simulator/quillon-simulator

if [ "${1:-}" = "--serial" ]; then
  exec "$cli" "$@"
fi

work=$(mktemp -d)
cleanup() {
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The simulated device, on a pseudo-terminal that stands in for a serial port.
"$sim" --pty --link "$work/ttyQuillon" --serial 1234 --log "$work/requests.log" \
       --record-out "$work/record.hex" > "$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q '^ready' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$work/sim.out" || { cat "$work/sim.out"; echo "the simulator did not start"; exit 1; }
echo "Simulated Quillon, serial number 1234, on $(sed -n 's/^pty //p' "$work/sim.out")"

if [ "${1:-}" != "--cli" ] && [ -n "${DISPLAY:-}" ] && [ -x "$gui" ]; then
  echo "Type 1234 into the dialog's field and press Start."
  "$gui" --port "$work/ttyQuillon" --no-udp || true
else
  echo "Running: quillon-reconfigurator-cli --serial 1234 --port <the simulator's terminal> --no-udp"
  status=0
  "$cli" --serial 1234 --port "$work/ttyQuillon" --no-udp || status=$?
  echo "(exit status $status)"
fi

echo
echo "What the simulated device received:"
sed 's/^\(serial\|udp [^ ]*\) \([a-z0-9]*\) .*/  \1 \2/' "$work/requests.log" 2>/dev/null || true
if [ -s "$work/record.hex" ]; then
  echo "The power-module record it was sent: $(cat "$work/record.hex")"
fi
