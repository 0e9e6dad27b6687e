#!/usr/bin/env bash
# The Windows tests' Wine: a private prefix and X display, and the launcher that runs a Windows
# program in them.
#   wine.sh setup DIR     makes the prefix DIR/prefix (no window manager, Wine's own fonts) and
#                         starts a private Xvfb (its display number in DIR/display)
#   wine.sh cleanup DIR   ends the prefix's wine server and the Xvfb, removes DIR
#   wine.sh restart DIR   restarts the prefix's wine server, which then reads the registry's
#                         port mapping (HKLM\Software\Wine\Ports) into the system's port list
#   wine.sh run DIR [--dpi N] [--devices] [--picture FILE] [--netns NAME] PROGRAM ARGS...
#                         a PROGRAM.exe under Wine, any other program with the same environment
#     --dpi N        at N DPI (Wine's LogPixels: one DPI for every monitor), 96 again afterwards
#     --devices      with two simulators ($QUILLON_SIMULATOR) on COM7 (serial number 1234) and
#                    COM8 (1234, in use), named to the program by QUILLON_TEST_COM,
#                    QUILLON_TEST_COM_IN_USE, QUILLON_TEST_SIM_LOG and QUILLON_TEST_SIM_RECORD
#                    (and QUILLON_TEST_SIM_IN_USE_LOG and _RECORD for the second)
#     --picture FILE where the program may write a picture (QUILLON_TEST_SCREENSHOT)
#     --netns NAME   inside that network namespace, with a wine server of its own there (Wine's
#                    sockets and host addresses live in its server)
# The tests that share a prefix take turns (CTest's RESOURCE_LOCK).
set -uo pipefail
command=${1:-}
dir=${2:-}
[ -n "$dir" ] || { echo "usage: wine.sh setup|cleanup|run DIR ..." >&2; exit 2; }
shift 2
export WINEPREFIX=$dir/prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ ! -s "$dir/display" ] || export DISPLAY=:$(head -1 "$dir/display")

# (Re)starts the persistent server and its services in this network namespace. The services keep
# the standard output they were given: started with /dev/null, they cannot hold a test's pipe.
restart() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w
  setsid "$wineserver" -p </dev/null >>"$dir/wineserver.log" 2>&1
  timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1
}
winpath() { printf 'Z:%s' "${1//\//\\}"; }

case $command in
  setup)
    rm -rf "$dir"
    mkdir -p "$dir"
    if command -v Xvfb >/dev/null; then
      setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$dir/display" \
        </dev/null >"$dir/xvfb.log" 2>&1 &
      echo $! >"$dir/xvfb.pid"
      for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
      # Wine's desktop process, started with the first program, decides where every window of
      # the prefix goes: the display must be there from the start.
      if [ -s "$dir/display" ]; then export DISPLAY=:$(head -1 "$dir/display")
      else echo "Xvfb reported no display within 10 s: the dialog tests skip"; fi
    else
      echo "Xvfb is not installed: the dialog tests skip"
    fi
    start=$(date +%s)
    timeout 300 wine wineboot --init </dev/null >"$dir/wineboot.log" 2>&1 ||
      { cat "$dir/wineboot.log"; exit 1; }
    # The server writes the new registry when it ends.
    "$wineserver" -w
    echo "wineboot of $WINEPREFIX: $(($(date +%s) - start)) s"
    # No window manager on the private X server: without this, Wine would wait 2 s for one each
    # time a window is hidden, and nobody would draw the frames.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    # Debian's Wine does not find the fonts of fonts-wine where they are installed (the dialog
    # would be drawn in DejaVu Sans); the prefix's own Fonts folder it always reads.
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
    restart
    ;;
  restart)
    restart
    ;;
  cleanup)
    "$wineserver" -k 2>/dev/null
    [ ! -s "$dir/xvfb.pid" ] || kill "$(cat "$dir/xvfb.pid")" 2>/dev/null
    rm -rf "$dir"
    ;;
  run)
    [ -d "$WINEPREFIX" ] || { echo "no Wine prefix in $dir (wine.sh setup)" >&2; exit 1; }
    dpi="" devices=false netns=""
    while [ $# -gt 0 ]; do
      case $1 in
        --dpi) dpi=$2; shift 2 ;;
        --devices) devices=true; shift ;;
        --picture) export QUILLON_TEST_SCREENSHOT=$(winpath "$2"); shift 2 ;;
        --netns) netns=$2; shift 2 ;;
        *) break ;;
      esac
    done
    sims=()
    work=$(mktemp -d "$dir/run.XXXXXX")
    set_dpi() {
      for key in 'HKCU\Control Panel\Desktop' \
                 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
        wine reg add "$key" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
      done
      restart
    }
    finish() {
      for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
      rm -f "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com8"
      [ -z "$netns" ] || restart
      [ -z "$dpi" ] || set_dpi 96
      rm -rf "$work"
    }
    trap finish EXIT
    # sim COM ARGS...: a simulator on a pseudo-terminal that the COM port leads to. Its files
    # are not named after the port: for Windows, COM7.log is the port COM7.
    sim() {
      local com=$1 name=device-${1#COM}
      shift
      "$QUILLON_SIMULATOR" --pty --serial 1234 --log "$work/$name.log" \
        --record-out "$work/$name.hex" "$@" </dev/null >"$work/$name.out" 2>&1 &
      sims+=($!)
      for _ in $(seq 50); do grep -q '^ready' "$work/$name.out" && break; sleep 0.1; done
      local pty
      pty=$(sed -n 's/^pty //p' "$work/$name.out")
      [ -n "$pty" ] || { echo "simulator for $com: $(cat "$work/$name.out")" >&2; exit 1; }
      # Wine opens COMn through the prefix's device link.
      ln -sfn "$pty" "$WINEPREFIX/dosdevices/${com,,}"
    }
    if $devices && [ ! -x "${QUILLON_SIMULATOR:-}" ]; then
      echo "no simulator (QUILLON_SIMULATOR): the tests that need a device skip"
    elif $devices; then
      sim COM7
      sim COM8 --use-count 1
      export QUILLON_TEST_COM=COM7 QUILLON_TEST_COM_IN_USE=COM8
      export QUILLON_TEST_SIM_LOG=$(winpath "$work/device-7.log")
      export QUILLON_TEST_SIM_RECORD=$(winpath "$work/device-7.hex")
      export QUILLON_TEST_SIM_IN_USE_LOG=$(winpath "$work/device-8.log")
      export QUILLON_TEST_SIM_IN_USE_RECORD=$(winpath "$work/device-8.hex")
      export QUILLON_TEST_SIM_RECORD_FILE=$work/device-7.hex
    fi
    [ -z "$dpi" ] || { set_dpi "$dpi"; export QUILLON_TEST_DPI=$dpi; }
    runner=()
    if [ -n "$netns" ]; then
      runner=(ip netns exec "$netns")
      "$wineserver" -k 2>/dev/null
      "$wineserver" -w
      "${runner[@]}" setsid "$wineserver" -p </dev/null >>"$dir/wineserver.log" 2>&1
      "${runner[@]}" timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1
    fi
    case $1 in *.exe) set -- wine "$@" ;; esac
    if ! $devices && [ -z "$dpi$netns" ]; then
      # Nothing to undo afterwards: the program takes this process, so that a signal reaches it.
      rm -rf "$work"
      trap - EXIT
      exec "$@"
    fi
    "${runner[@]}" "$@"
    ;;
  *)
    echo "wine.sh: unknown command $command" >&2
    exit 2
    ;;
esac
