#!/usr/bin/env bash
# The Windows packages of the build BUILD (scripts/package-windows.sh), under Wine with a device on
# COM7 (run by tests/windows/wine.sh run DIR --devices): the zip, unpacked, its programs run from
# there; signing with a throwaway certificate; the installer installed silently per machine, its
# command line run by name, upgraded by a signed one of a higher version, a downgrade refused,
# uninstalled without a trace. What Wine does differently from Windows is told as a NOTE.
set -uo pipefail
build=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
work=$(mktemp -d "$build/packages-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
w() { timeout 120 wine "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
ok_text="The data has been successfully transfered."
# start WHAT PROGRAM ARGS...: a Start over COM7 that writes the record with 5000 V (88 13).
start() {
  local what=$1 out
  shift
  [ -n "${QUILLON_TEST_COM:-}" ] || { echo "SKIP: $what: no device on COM7"; return; }
  rm -f "$QUILLON_TEST_SIM_RECORD_FILE"
  out=$(w "$@" --serial 1234 --port COM7 --no-udp) ||
    fail "$what: exit status $?: $(tail -2 <<<"$out" | paste -sd' ')"
  grep -qxF "$ok_text" <<<"$out" || fail "$what: no '$ok_text' in: $out"
  [ "$(cut -c17-20 "$QUILLON_TEST_SIM_RECORD_FILE" 2>/dev/null)" = 8813 ] ||
    fail "$what: the device holds no record with 5000 V"
}

made=$(env -u QUILLON_SIGN_PKCS12 -u QUILLON_SIGN_PKCS11_MODULE QUILLON_WIN_BUILD=$build \
         scripts/package-windows.sh 2>"$work/package.log") || { cat "$work/package.log"; exit 1; }
zip=$root/$(grep '\.zip$' <<<"$made")
msi=$root/$(grep '\.msi$' <<<"$made")
grep -q "UNSIGNED: no certificate given" "$work/package.log" ||
  fail "without a certificate, no word of the unsigned packages"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
folder=quillon-reconfigurator-$version-windows-x64

# The zip: the two programs and README.txt (Windows line ends), run from the unpacked folder.
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "the zip does not unpack"
listing=$(cd "$work/unpacked" && find . -type f | sort | paste -sd' ')
[ "$listing" = "./$folder/README.txt ./$folder/quillon-reconfigurator-cli.exe ./$folder/quillon-reconfigurator.exe" ] ||
  fail "the zip holds: $listing"
readme=$work/unpacked/$folder/README.txt
[ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ] || fail "README.txt without Windows line ends"
for program in quillon-reconfigurator quillon-reconfigurator-cli; do
  got=$(cd "$work/unpacked/$folder" && w "./$program.exe" --version)
  [ "$got" = "$program $version" ] || fail "unpacked $program.exe --version: '$got'"
done
start "the unpacked command line" "$work/unpacked/$folder/quillon-reconfigurator-cli.exe"

# Signing: a code-signing certificate from a throwaway authority; the upgrade's packages (a higher
# version) signed with it: the installer and both programs, in the zip and in the installer.
IFS=. read -r major minor patch _ <<<"$version"
higher=$major.$minor.$((patch + 1)).0
pki=$work/pki
mkdir "$pki"
{ openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillon Test CA" \
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
  >"$pki/log" 2>&1 || { cat "$pki/log"; exit 1; }
signed=$work/signed
upgrade=$(QUILLON_WIN_BUILD=$build QUILLON_DIST=$signed QUILLON_MSI_VERSION=$higher \
          QUILLON_SIGN_PKCS12=$pki/signer.p12 QUILLON_SIGN_PASSWORD=throwaway \
          scripts/package-windows.sh 2>"$work/signed.log" | grep '\.msi$')
[ -n "$upgrade" ] || { cat "$work/signed.log"; exit 1; }
upgrade=$root/$upgrade
mkdir -p "$signed/zip" "$signed/msi"
(cd "$signed/zip" && cmake -E tar xf "$signed/$folder.zip")
msiextract -C "$signed/msi" "$upgrade" >/dev/null
mapfile -t programs < <(find "$signed/zip" "$signed/msi" -name '*.exe')
[ "${#programs[@]}" = 4 ] || fail "${#programs[@]} programs in the signed packages, not 4"
for f in "$upgrade" "${programs[@]}"; do
  osslsigncode verify -CAfile "$pki/ca.pem" -in "$f" >"$work/verify.log" 2>&1 ||
    fail "signature of ${f#"$work"/}: $(tail -1 "$work/verify.log")"
done

# The installer's tables as IT tools read them: both programs with their file version, a
# _Validation row for every column of every table (ICE validation needs them), the uninstall
# entry's InstallLocation and help link set once the folder is known, comments for Add/Remove
# Programs.
# (The export writes a table's binary streams into a folder of the working directory.)
table() { (cd "$work" && msiinfo export "$msi" "$1") | tr -d '\r'; }
for file in DialogExe CliExe; do
  [ "$(table File | awk -F'\t' -v f=$file '$1 == f { print $5 "|" $6 }')" = "$version|1033" ] ||
    fail "the File table gives $file no version $version (language 1033)"
done
for t in $(msiinfo tables "$msi"); do
  [[ $t == _* ]] && continue
  for column in $(table "$t" | head -1); do
    table _Validation | awk -F'\t' -v t="$t" -v c="$column" '$1 == t && $2 == c { found = 1 }
      END { exit !found }' || fail "no _Validation row for $t.$column"
  done
done
actions=$(table CustomAction)
grep -qP '^\w+\t51\tARPINSTALLLOCATION\t\[INSTALLDIR\]\t' <<<"$actions" &&
  grep -qP '^\w+\t51\tARPHELPLINK\tfile:///\[INSTALLDIR\]README.txt\t' <<<"$actions" ||
  fail "no InstallLocation or help link for the uninstall entry: $actions"
table Property | grep -q '^ARPCOMMENTS'$'\t''.*README.txt' || fail "no ARPCOMMENTS naming README.txt"

# The installer, silent, per machine.
program_files="$WINEPREFIX/drive_c/Program Files/Quillon Reconfigurator"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
entries() {  # this product's uninstall entries: "DisplayName|DisplayVersion|Publisher"
  w reg query "$uninstall_key" /s | awk '
    /^HKEY/ { if (name == "Quillon Reconfigurator") print name "|" version "|" publisher
              name = version = publisher = "" }
    $1 == "DisplayName" { sub(/^ *DisplayName +REG_SZ +/, ""); name = $0 }
    $1 == "DisplayVersion" { sub(/^ *DisplayVersion +REG_SZ +/, ""); version = $0 }
    $1 == "Publisher" { sub(/^ *Publisher +REG_SZ +/, ""); publisher = $0 }
    END { if (name == "Quillon Reconfigurator") print name "|" version "|" publisher }'
}
# entry_value NAME: that value of this product's uninstall entry.
entry_value() {
  w reg query "$uninstall_key" /s | awk -v want="$1" '
    /^HKEY/ { if (name == "Quillon Reconfigurator" && found) print value; name = value = ""; found = 0 }
    $1 == "DisplayName" { sub(/^ *DisplayName +REG_SZ +/, ""); name = $0 }
    $1 == want { sub("^ *" want " +REG_[A-Z_]+ +", ""); value = $0; found = 1 }
    END { if (name == "Quillon Reconfigurator" && found) print value }'
}
system_path() { w reg query "$environment_key" /v PATH | sed -n 's/^ *PATH *REG_[A-Z_]* *//p'; }
path_before=$(system_path)
w msiexec /i "$(winpath "$msi")" /qn >/dev/null || { echo "msiexec /i failed"; exit 1; }
listing=$(cd "$program_files" && ls | paste -sd' ')
[ "$listing" = "README.txt quillon-reconfigurator-cli.exe quillon-reconfigurator.exe" ] ||
  fail "Program Files\\Quillon Reconfigurator holds '$listing'"
link=$(find "$WINEPREFIX/drive_c/ProgramData" "$WINEPREFIX/drive_c/users" \
         -path '*Start Menu/Programs/*' -name 'Quillon Reconfigurator.lnk' | head -1)
[ -n "$link" ] || fail "no Start-menu shortcut"
[[ -z "$link" || "$link" == */ProgramData/* ]] ||
  echo "NOTE: the shortcut is in the user's Start menu: Wine's msi resolves ProgramMenuFolder" \
       "to the user's even for a per-machine package"
properties=$(msiinfo export "$msi" Property | tr -d '\r')
[ "$(entries)" = "Quillon Reconfigurator|$version|Quillon Reconfigurator maintainers" ] ||
  fail "uninstall entries: '$(entries | paste -sd';')'"
grep -qx $'ARPPRODUCTICON\tquillon.ico' <<<"$properties" && grep -qx $'ALLUSERS\t1' <<<"$properties" ||
  fail "no product icon, or not per machine"
[ "$(entry_value InstallLocation)" = 'C:\Program Files\Quillon Reconfigurator\' ] ||
  fail "uninstall entry's InstallLocation: '$(entry_value InstallLocation)'"
[ "$(entry_value HelpLink)" = 'file:///C:\Program Files\Quillon Reconfigurator\README.txt' ] ||
  fail "uninstall entry's HelpLink: '$(entry_value HelpLink)'"
[ "$(system_path)" = "$path_before;"'C:\Program Files\Quillon Reconfigurator\' ] ||
  fail "system PATH after install: $(system_path)"
# By its name alone, as from a new command prompt (a new server reads the new PATH).
"$wineserver" -k; "$wineserver" -w
setsid "$wineserver" -p </dev/null >/dev/null 2>&1
timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1
start "the installed command line by its name" cmd /c quillon-reconfigurator-cli

# The same first three fields and a higher fourth: installed as the upgrade it is; the lower
# fourth field after it is refused as any downgrade.
IFS=. read -r _ _ _ tweak <<<"$version"
tweaked=$major.$minor.$patch.$((${tweak:-0} + 1))
fourth=$(QUILLON_WIN_BUILD=$build QUILLON_DIST=$work/fourth QUILLON_MSI_VERSION=$tweaked \
         scripts/package-windows.sh 2>/dev/null | grep '\.msi$')
w msiexec /i "$(winpath "$root/$fourth")" /qn >/dev/null || fail "msiexec /i of $tweaked failed"
want="Quillon Reconfigurator|$tweaked|Quillon Reconfigurator maintainers"
[ "$(entries)" = "$want" ] || fail "upgrade to $tweaked: entries '$(entries | paste -sd';')'"
w msiexec /i "$(winpath "$msi")" /qn >/dev/null && fail "$version installed over $tweaked"
[ "$(entries)" = "$want" ] || fail "after $version over $tweaked: entries '$(entries | paste -sd';')'"

# Upgrade in place, downgrade refused, uninstall.
w msiexec /i "$(winpath "$upgrade")" /qn >/dev/null || fail "msiexec /i of $higher failed"
want="Quillon Reconfigurator|$higher|Quillon Reconfigurator maintainers"
[ "$(entries)" = "$want" ] && [ -f "$program_files/quillon-reconfigurator-cli.exe" ] ||
  fail "upgrade to $higher: entries '$(entries | paste -sd';')'"
w msiexec /i "$(winpath "$msi")" /qn >/dev/null && fail "the older installer installed over $higher"
[ "$(entries)" = "$want" ] || fail "after the downgrade: entries '$(entries | paste -sd';')'"
w msiexec /x "$(winpath "$upgrade")" /qn >/dev/null || fail "msiexec /x failed"
left=$(find "$WINEPREFIX/drive_c" -iname '*quillon*' | paste -sd' ')
path_after=$(system_path)
[ -z "$left" ] && [ -z "$(entries)" ] && [[ "$path_after" != *Quillon* ]] ||
  fail "after uninstall: files '$left', entries '$(entries)', PATH $path_after"
[ "$path_after" = "$path_before" ] ||
  echo "NOTE: Wine's msi leaves the separators of the part of PATH it removed" \
       "('${path_after#"$path_before"}')"
exit $failed
