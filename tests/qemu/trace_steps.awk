# Reads QEMU's trace of the guest (tests/qemu/real_drivers_test.sh) and prints, for every step
# of the guest and every port (ttyS0, ttyS1: the 16550s at 0x3f8 and 0x2f8; ttyUSB0: the FTDI
# adapter), lines "STEP PORT WHAT VALUE":
#   modem N     register or control writes of the modem lines (MCR; SET_MODEM_CTRL)
#   settings N  writes of the line settings (LCR; the adapter's other vendor requests: reset,
#               flow control, baud rate, data format)
#   begin S, end S, first S
#               the port's state as the hardware holds it when the step begins, when it ends,
#               and when the first byte goes out during the step ("-" if none), as
#               "baud=B parity=P data=D stop=S dtr=0|1 rts=0|1" (the adapter adds "flow=F")
# Steps begin with a byte N > 0 on the debug port 0x5e9 and end with a 0 there.
function hex(s,   i, v) {
  s = tolower(s)
  sub(/^0x/, "", s)
  sub(/[^0-9a-f].*$/, "", s)
  v = 0
  for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
  return v
}
function bit(v, n) { return int(v / 2 ^ n) % 2 }
function state(p,   s) {
  s = "baud=" baud[p] " parity=" parity[p] " data=" data[p] " stop=" stop[p]
  s = s " dtr=" dtr[p] " rts=" rts[p]
  return p == "ttyUSB0" ? s " flow=" flow[p] : s
}
function count(p, what) { if (step) n[step, p, what]++ }
function sent(p) { if (step && !((step, p) in first)) first[step, p] = state(p) }
function field(name,   i) {  # the value after "name" or of "name=value" on the line
  for (i = 1; i < NF; i++) if ($i == name) return $(i + 1)
  for (i = 1; i <= NF; i++) if (index($i, name "=") == 1) return substr($i, length(name) + 2)
  return ""
}
BEGIN {
  split("ttyS0 ttyS1 ttyUSB0", ports, " ")
  for (i in ports) {
    p = ports[i]
    baud[p] = parity[p] = data[p] = stop[p] = dtr[p] = rts[p] = flow[p] = "?"
  }
  step = 0
}
$1 == "memory_region_ops_write" {
  a = hex(field("addr"))
  v = hex(field("value"))
  if (a == 1513) {
    if (v) {
      step = v
      last_step = v > last_step ? v : last_step
      for (i in ports) begin[step, ports[i]] = state(ports[i])
    } else if (step) {
      for (i in ports) end[step, ports[i]] = state(ports[i])
      step = 0
    }
    next
  }
  if (a >= 1016 && a < 1024) { p = "ttyS0"; r = a - 1016 }
  else if (a >= 760 && a < 768) { p = "ttyS1"; r = a - 760 }
  else next
  uart = p
  if (r == 3) { lcr[p] = v; count(p, "settings") }
  else if (r == 4) { dtr[p] = bit(v, 0); rts[p] = bit(v, 1); count(p, "modem") }
  else if (r == 0 && !bit(lcr[p], 7)) sent(p)
  next
}
$1 == "serial_update_parameters" && uart != "" {
  baud[uart] = field("baudrate")
  parity[uart] = substr(field("parity"), 2, 1)
  data[uart] = field("data")
  stop[uart] = field("stop")
  next
}
$1 == "usb_serial_handle_control" {
  p = "ttyUSB0"
  req = hex(field("control"))
  v = hex(field("value"))
  if (req == 16385) {  # 0x4001, SET_MODEM_CTRL: the high byte says which lines the low byte sets
    if (bit(v, 8)) dtr[p] = bit(v, 0)
    if (bit(v, 9)) rts[p] = bit(v, 1)
    count(p, "modem")
  } else if (req >= 16384 && req < 16640) count(p, "settings")
  next
}
$1 == "usb_serial_set_baud" { baud["ttyUSB0"] = $NF; next }
$1 == "usb_serial_set_data" {
  parity["ttyUSB0"] = field("parity")
  sub(/,$/, "", parity["ttyUSB0"])
  s = $0
  sub(/.*data bits /, "", s)
  data["ttyUSB0"] = int(s)
  stop["ttyUSB0"] = $NF
  next
}
# The adapter's flow control: 0 none, 1 RTS/CTS, 2 DTR/DSR, 4 XON/XOFF.
$1 == "usb_serial_set_flow_control" {
  split("none rts/cts dtr/dsr 3 xon/xoff", kinds, " ")
  flow["ttyUSB0"] = ($NF + 1) in kinds ? kinds[$NF + 1] : $NF
  next
}
# The adapter's bulk OUT endpoint (2) is the xHCI endpoint context 4.
$1 == "usb_xhci_xfer_start" && field("epid") == "4," { sent("ttyUSB0"); next }
END {
  for (s = 1; s <= last_step; s++)
    for (i = 1; i <= 3; i++) {
      p = ports[i]
      printf "%d %s modem %d\n", s, p, n[s, p, "modem"]
      printf "%d %s settings %d\n", s, p, n[s, p, "settings"]
      printf "%d %s begin %s\n%d %s end %s\n", s, p, begin[s, p], s, p, end[s, p]
      printf "%d %s first %s\n", s, p, ((s, p) in first) ? first[s, p] : "-"
    }
}
