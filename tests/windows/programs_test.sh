#!/usr/bin/env bash
# The Windows programs as shipped:
#   programs_test.sh imports EXE...   each imports only DLLs that every Windows has (a DLL of the
#                                     compiler or the toolkit would have to ship beside it)
#   programs_test.sh resources VERSION EXE...
#                                     each program's resources, read back by windres: the icon,
#                                     an English version resource with the texts IT tools read,
#                                     one manifest; the dialog's string 103 and toolkit settings,
#                                     the command line's long paths and UTF-8
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
    version=$2
    for exe in "${@:3}"; do
      name=$(basename "$exe" .exe)
      res=$(x86_64-w64-mingw32-windres -i "$exe" -O rc) || { fail "$name: windres failed"; continue; }
      # The first icon group is the file manager's icon of the program: 16, 24, 32, 48 and 256 px
      # (written 0), each in 32-bit colour.
      group=$(sed -n '/^128 14 \/\* RT_GROUP_ICON/,/^END/p' <<<"$res")
      sizes=$(sed -n 's/^ *"\\\([0-7]*\)\\\([0-7]*\)\\000\\000", 1, 32,.*/\1/p' <<<"$group" | paste -sd' ')
      [ "$(grep -m1 'RT_GROUP_ICON' <<<"$res")" = "128 14 /* RT_GROUP_ICON */" ] &&
        [ "$sizes" = "020 030 040 060 000" ] ||
        fail "$name: icon group 128 is not the first, or not 16, 24, 32, 48, 256 px in 32 bits ($sizes)"
      [ "$(grep '^LANGUAGE' <<<"$res" | sort -u)" = "LANGUAGE 9, 1" ] ||
        fail "$name: not all resources are English (0x0409)"
      commas=${version//./, }
      grep -qx " FILEVERSION $commas" <<<"$res" && grep -qx " PRODUCTVERSION $commas" <<<"$res" ||
        fail "$name: file and product version $version"
      info=$(sed -n '/BLOCK "040904b0"/,/END/p' <<<"$res")
      for value in CompanyName FileDescription FileVersion ProductName ProductVersion LegalCopyright; do
        grep -qE "VALUE \"$value\", \"[^\"]+\"" <<<"$info" || fail "$name: no $value in 040904b0"
      done
      grep -qF "VALUE \"OriginalFilename\", \"$name.exe\"" <<<"$info" ||
        fail "$name: OriginalFilename is not $name.exe"
      grep -q 'VALUE "Translation", 0x409, 1200' <<<"$res" || fail "$name: translation not 0x409 Unicode"
      [ "$(grep -c 'RT_MANIFEST' <<<"$res")" = 1 ] &&
        grep -q 'requestedExecutionLevel level=""asInvoker""' <<<"$res" &&
        [ "$(grep -c '<supportedOS Id=' <<<"$res")" = 4 ] ||
        fail "$name: one manifest, asInvoker, supportedOS Windows 7 to 11"
      case $name in
        quillon-reconfigurator)
          sed -n '/^STRINGTABLE/,/^END/p' <<<"$res" |
            grep -qxF '  103, "Fehler beim Initialisieren der Windows-Sockets."' || fail "string 103"
          grep -q 'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""' <<<"$res" &&
            grep -q 'WindowsSettings"">true/pm</dpiAware>' <<<"$res" &&
            grep -q 'WindowsSettings"">PerMonitorV2, PerMonitor</dpiAwareness>' <<<"$res" ||
            fail "$name: common controls 6, per-monitor DPI awareness (v2)"
          ;;
        quillon-reconfigurator-cli)
          grep -q 'WindowsSettings"">true</longPathAware>' <<<"$res" &&
            grep -q 'WindowsSettings"">UTF-8</activeCodePage>' <<<"$res" ||
            fail "$name: long paths and the UTF-8 code page"
          ;;
      esac
    done
    ;;
  *) echo "usage: programs_test.sh imports EXE... | resources VERSION EXE..." >&2; exit 2 ;;
esac
exit $failed
