#!/usr/bin/env bash
# The Windows programs as shipped:
#   programs_test.sh imports EXE...   each imports only DLLs that every Windows has (a DLL of the
#                                     compiler or the toolkit would have to ship beside it)
#   programs_test.sh resources EXE    the dialog's resources, read back by windres
set -uo pipefail
failed=0
fail() { echo "FAIL: $*"; failed=1; }
case ${1:-} in
  imports)
    system=" advapi32 comctl32 comdlg32 gdi32 iphlpapi kernel32 msvcrt ole32 oleacc oleaut32"
    system+=" rpcrt4 setupapi cfgmgr32 shell32 shlwapi user32 uxtheme version winmm winspool ws2_32 "
    for exe in "${@:2}"; do
      for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p'); do
        base=$(echo "${dll%.*}" | tr 'A-Z' 'a-z')
        [[ "$system" == *" $base "* ]] || fail "$(basename "$exe") needs $dll"
      done
      echo "$(basename "$exe"): $(x86_64-w64-mingw32-objdump -p "$exe" | grep -c 'DLL Name') DLLs"
    done
    ;;
  resources)
    res=$(x86_64-w64-mingw32-windres -i "$2" -O rc) || { echo "windres failed"; exit 1; }
    # The first icon group is the file manager's icon of the program: 32 x 32 and 16 x 16.
    group=$(sed -n '/^128 14 \/\* RT_GROUP_ICON/,/^END/p' <<<"$res")
    [ "$(grep -m1 'RT_GROUP_ICON' <<<"$res")" = "128 14 /* RT_GROUP_ICON */" ] &&
      grep -q "Has 2 elements" <<<"$group" && grep -qF '"\040\040\020\000"' <<<"$group" &&
      grep -qF '"\020\020\020\000"' <<<"$group" ||
      fail "icon group 128 (32 x 32 and 16 x 16 in 16 colours) is not the first"
    [ "$(grep '^LANGUAGE' <<<"$res" | sort -u)" = "LANGUAGE 7, 1" ] ||
      fail "not all resources are German (0x0407)"
    sed -n '/^STRINGTABLE/,/^END/p' <<<"$res" |
      grep -qxF '  103, "Fehler beim Initialisieren der Windows-Sockets."' || fail "string 103"
    grep -qx ' FILEVERSION 1, 0, 0, 1' <<<"$res" && grep -qx ' PRODUCTVERSION 1, 0, 0, 1' <<<"$res" ||
      fail "file and product version 1.0.0.1"
    [ "$(grep -c 'RT_MANIFEST' <<<"$res")" = 1 ] &&
      grep -q 'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""' <<<"$res" &&
      grep -q 'WindowsSettings"">true/pm</dpiAware>' <<<"$res" &&
      grep -q 'WindowsSettings"">PerMonitorV2, PerMonitor</dpiAwareness>' <<<"$res" ||
      fail "one manifest: common controls 6, per-monitor DPI awareness (v2)"
    ;;
  *) echo "usage: programs_test.sh imports EXE... | resources EXE" >&2; exit 2 ;;
esac
exit $failed
