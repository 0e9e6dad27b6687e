#!/usr/bin/env bash
# Builds the Windows packages into dist/ and prints their paths, the zip's and the installer's, on
# the last two lines:
#   quillon-reconfigurator-<version>-windows-x64.zip: one folder with quillon-reconfigurator.exe,
#     quillon-reconfigurator-cli.exe (both statically linked, stripped) and README.txt;
#   quillon-reconfigurator-<version>-x64.msi: the same three files, installed per machine
#     (packaging/windows/quillon-reconfigurator.wxs, built with wixl).
# tests/windows/packages_test.sh (a CTest test of the cross build) tests both under Wine.
#
# Signing (osslsigncode: both programs, then the installer), when a certificate is given:
#   QUILLON_SIGN_PKCS12      a PKCS#12 file with the code-signing key and certificate chain;
#   QUILLON_SIGN_PASSWORD    its password (or a token's PIN); read from the environment, never
#                            put on a command line;
#   QUILLON_SIGN_PKCS11_MODULE, QUILLON_SIGN_PKCS11_KEY, QUILLON_SIGN_CERT
#                            instead of the file: a PKCS#11 module, the key's pkcs11: URI and the
#                            certificate (chain) file;
#   QUILLON_SIGN_TIMESTAMP   an RFC 3161 time-stamp server's URL (the signatures then stay valid
#                            after the certificate expires).
# Without a certificate the packages ship unsigned, and the script says so on standard error.
#
# The programs are those of the cross build that scripts/windows-test.sh makes and tests
# (QUILLON_WIN_BUILD, default build-win); a missing build is configured the same way. wxWidgets for
# Windows comes from scripts/build-wx-msw.sh (built once per machine). QUILLON_DIST names another
# folder than dist/; QUILLON_MSI_VERSION gives the installer another version than
# project(VERSION) (the tests' upgrade). Installs the Debian
# packages it needs first; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QUILLON_WIN_BUILD:-build-win}
jobs=${QUILLON_WIN_JOBS:-2}
dist=$(realpath -m "${QUILLON_DIST:-dist}")

signing=()
if [ -n "${QUILLON_SIGN_PKCS12:-}" ]; then
  signing=(osslsigncode)
elif [ -n "${QUILLON_SIGN_PKCS11_MODULE:-}" ]; then
  # osslsigncode reaches a token through OpenSSL's PKCS#11 engine.
  signing=(osslsigncode libengine-pkcs11-openssl)
fi
scripts/install-packages.sh g++-mingw-w64-x86-64-posix googletest cmake ninja-build wixl msitools \
  libcli11-dev "${signing[@]}" >/dev/null
wx_prefix=$(scripts/build-wx-msw.sh | tail -1)

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_GUI=ON -DQUILLON_BENCH=OFF -DQUILLON_WERROR=ON \
        -DwxWidgets_CONFIG_EXECUTABLE="$wx_prefix/bin/wx-config" >/dev/null
fi
nice -n 10 cmake --build "$build" -j"$jobs" \
  --target quillon-reconfigurator quillon-reconfigurator-cli >/dev/null

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "package-windows: no project version in $build" >&2; exit 1; }
msi_version=${QUILLON_MSI_VERSION:-$version}
name=quillon-reconfigurator-$version-windows-x64
stage=$(mktemp -d "${TMPDIR:-/tmp}/quillon-winpkg.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# sign FILE: signs FILE in place, when a certificate is given.
sign() {
  [ ${#signing[@]} -gt 0 ] || return 0
  local args=(sign -h sha256 -n "Quillon Reconfigurator" -in "$1" -out "$1.signed")
  if [ -n "${QUILLON_SIGN_PKCS12:-}" ]; then
    args+=(-pkcs12 "$QUILLON_SIGN_PKCS12")
  else
    args+=(-pkcs11module "$QUILLON_SIGN_PKCS11_MODULE" -key "${QUILLON_SIGN_PKCS11_KEY:?}"
           -certs "${QUILLON_SIGN_CERT:?}")
  fi
  [ -z "${QUILLON_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$QUILLON_SIGN_TIMESTAMP")
  if [ -n "${QUILLON_SIGN_PASSWORD:-}" ]; then
    osslsigncode "${args[@]}" -readpass <(printf '%s' "$QUILLON_SIGN_PASSWORD") >"$stage/sign.log"
  else
    osslsigncode "${args[@]}" >"$stage/sign.log"
  fi || { cat "$stage/sign.log" >&2; echo "package-windows: signing $1 failed" >&2; exit 1; }
  mv "$1.signed" "$1"
}

mkdir "$stage/$name"
for exe in src/app/gui/quillon-reconfigurator.exe src/app/quillon-reconfigurator-cli.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$name/$(basename "$exe")" "$build/$exe"
  sign "$stage/$name/$(basename "$exe")"
done
# Notepad before Windows 10 shows a text without carriage returns on one line.
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' packaging/windows/README.txt >"$stage/$name/README.txt"

# Time stamps in the zip: the last commit's, so that a rebuild of the same commit gives the same
# zip.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
touch -d "@$epoch" "$stage/$name" "$stage/$name"/*
mkdir -p "$dist"
zip=$dist/$name.zip
rm -f "$zip"
mtime="$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S') UTC"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip --mtime="$mtime" "$name")

# validation_idt MSI RULES: the _Validation table of the package's own tables, as an .idt file on
# standard output, with the column categories of packaging/windows/validation.txt.
validation_idt() {
  local msi=$1 rules=$2 table
  printf 'Table\tColumn\tNullable\tMinValue\tMaxValue\tKeyTable\tKeyColumn\tCategory\tSet\tDescription\n'
  printf 's32\ts32\ts4\tI4\tI4\tS255\tI2\tS32\tS255\tS255\n'
  printf '_Validation\tTable\tColumn\n'
  for table in $(msiinfo tables "$msi"); do
    [[ $table == _* ]] && continue  # the summary and the code page are no tables
    # An .idt file's first three lines: the column names, their types, the table and its keys.
    # (The export writes a table's binary streams into a folder of the working directory.)
    (cd "$(dirname "$msi")" && msiinfo export "$msi" "$table") | tr -d '\r' | head -3 |
      awk -F'\t' -v table="$table" -v rules="$rules" '
        BEGIN {
          while ((getline line < rules) > 0) {
            if (line ~ /^#/ || line == "" || split(line, f, " ") < 3 || f[1] != table) continue
            category[f[2]] = f[3]; keytable[f[2]] = f[4]; keycolumn[f[2]] = f[5]
          }
        }
        NR == 1 { for (i = 1; i <= NF; i++) name[i] = $i; columns = NF }
        NR == 2 { for (i = 1; i <= NF; i++) type[i] = substr($i, 1, 1) }
        NR == 3 { key = $2 }
        END {
          for (i = 1; i <= columns; i++) {
            c = name[i]; t = type[i]; kt = ""; kc = ""; cat = ""
            if (c in category) { cat = category[c]; kt = keytable[c]; kc = keycolumn[c] }
            else if (c ~ /_$/) { cat = "Identifier"; kt = substr(c, 1, length(c) - 1); kc = 1 }
            else if (c == key) cat = "Identifier"
            else if (t == "v") cat = "Binary"
            else if (t ~ /[sSlL]/) cat = "Text"
            if (kt == "-") { kt = ""; kc = "" }
            printf "%s\t%s\t%s\t\t\t%s\t%s\t%s\t\t\n", table, c, t ~ /[SLI]/ ? "Y" : "N", kt, kc, cat
          }
        }'
  done
}

# The installer, from the same files. wixl finds the sources beside the .wxs.
msi=$dist/quillon-reconfigurator-$msi_version-x64.msi
IFS=. read -r v_major v_minor v_patch v_tweak <<<"$msi_version"
cp packaging/windows/quillon-reconfigurator.wxs src/app/quillon.ico "$stage/$name/"
(cd "$stage/$name" && wixl -a x64 -D Version="$msi_version" \
   -D VersionBase="$v_major.${v_minor:-0}.${v_patch:-0}" -D VersionTweak="${v_tweak:-0}" \
   -o "$stage/package.msi" quillon-reconfigurator.wxs 2>"$stage/wixl.log") ||
  { cat "$stage/wixl.log" >&2; echo "package-windows: wixl failed" >&2; exit 1; }
# What wixl 0.101 cannot say in the .wxs, written into its tables:
#  - the shortcut starts the program itself (wixl makes every shortcut an advertised one);
#  - the upgrade also replaces an installed package of the same first three version fields
#    (Windows Installer ignores the fourth): version maximum inclusive;
#  - the program's folder is appended to the system PATH ("[~];" keeps what is there) and that
#    part removed again on uninstall ('=' set on install, '-' remove on uninstall, '*' system).
#  - each program's file version (its VERSIONINFO: the project's version), which detection rules
#    and the file replacement rules read, and its language (English, United States);
#  - the uninstall entry's InstallLocation and help link (README.txt) are the installation folder,
#    known only once the costing has resolved it: set there (custom action type 51);
#  - the registry search's results pass from the user's side of the installation to the system's;
#  - last, the _Validation table, so that ICE validation runs.
upgrade_code=$(sed -n 's/.*<Upgrade Id="\([^"]*\)".*/\1/p' packaging/windows/quillon-reconfigurator.wxs)
msibuild "$stage/package.msi" \
  -q "UPDATE Shortcut SET Target = '[#DialogExe]' WHERE Shortcut = 'DialogShortcut'" \
  -q "DELETE FROM Upgrade WHERE ActionProperty = 'OLDER_VERSION_FOUND'" \
  -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty)
      VALUES ('{$upgrade_code}', '0.0.0', '$msi_version', 768, 'OLDER_VERSION_FOUND')" \
  -q "CREATE TABLE Environment (Environment CHAR(72) NOT NULL, Name CHAR(255) NOT NULL
      LOCALIZABLE, Value CHAR(255) LOCALIZABLE, Component_ CHAR(72) NOT NULL
      PRIMARY KEY Environment)" \
  -q "INSERT INTO Environment (Environment, Name, Value, Component_)
      VALUES ('CommandLinePath', '=-*PATH', '[~];[INSTALLDIR]', 'CommandLine')" \
  -q "UPDATE File SET Version = '$version', Language = '1033'
      WHERE File = 'DialogExe' OR File = 'CliExe'" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target)
      VALUES ('SetInstallLocation', 51, 'ARPINSTALLLOCATION', '[INSTALLDIR]')" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target)
      VALUES ('SetHelpLink', 51, 'ARPHELPLINK', 'file:///[INSTALLDIR]README.txt')" \
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('SetInstallLocation', 1001)" \
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('SetHelpLink', 1002)" \
  -q "UPDATE Property SET Value = 'NEWER_VERSION_FOUND;OLDER_VERSION_FOUND;INSTALLED_VERSION_BASE;INSTALLED_VERSION_TWEAK'
      WHERE Property = 'SecureCustomProperties'"
mkdir "$stage/idt"
validation_idt "$stage/package.msi" packaging/windows/validation.txt >"$stage/idt/_Validation.idt"
msibuild "$stage/package.msi" -i "$stage/idt/_Validation.idt"
sign "$stage/package.msi"
rm -f "$msi"
mv "$stage/package.msi" "$msi"

if [ ${#signing[@]} -gt 0 ]; then
  echo "package-windows: signed both programs and the installer" \
       "${QUILLON_SIGN_TIMESTAMP:+(time-stamped by $QUILLON_SIGN_TIMESTAMP)}" >&2
else
  echo "package-windows: UNSIGNED: no certificate given (QUILLON_SIGN_PKCS12 or" \
       "QUILLON_SIGN_PKCS11_MODULE); Windows will warn of an unknown publisher" >&2
fi
# Relative to the checkout when inside it.
echo "$(realpath -m --relative-base="$root" "$zip")"
echo "$(realpath -m --relative-base="$root" "$msi")"
