#!/bin/sh
# dialog_without_display_test.sh DIALOG VERSION: without a display the dialog still answers
# --help and --version (exit 0), and a usage error prints its reason and exits 2.
set -u
dialog=$1
version=$2
failed=0
# check WHAT WANT_STATUS WANT_STREAM WANT_TEXT ARGS...
check() {
  what=$1 want_status=$2 want_stream=$3 want_text=$4
  shift 4
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$dialog" "$@" 2>/dev/null)
  status=$?
  err=$(env -u DISPLAY -u WAYLAND_DISPLAY "$dialog" "$@" 2>&1 >/dev/null)
  if [ "$want_stream" = out ]; then text=$out; else text=$err; fi
  if [ "$status" -ne "$want_status" ]; then
    echo "FAIL: $what: exit status $status, expected $want_status ($err)"
    failed=1
  elif ! printf '%s\n' "$text" | grep -qxF -- "$want_text"; then
    echo "FAIL: $what: no line '$want_text' on standard $want_stream: $text"
    failed=1
  else
    echo "ok: $what"
  fi
}
check "--version" 0 out "quillon-reconfigurator $version" --version
check "--help" 0 out "       quillon-reconfigurator --help | --version" --help
check "--help wins over other options" 0 out "       quillon-reconfigurator --help | --version" \
  --no-udp --help
check "unknown option" 2 err "quillon-reconfigurator: unknown option '--bogus' (see --help)" --bogus
check "option of the command line only" 2 err \
  "quillon-reconfigurator: --serial is not an option of the dialog" --serial 5
exit "$failed"
