#!/usr/bin/env bash
# Builds wxWidgets for 64-bit Windows (mingw-w64, static) from Debian's own source package
# wxwidgets3.2, once per machine, into a cache folder outside the checkout. Prints the folder
# (its bin/wx-config is what the cross build of the dialog uses) on its last line.
#
#   scripts/build-wx-msw.sh            build unless the cache holds this version and configure line
#   QUILLON_WX_CACHE=DIR               the cache's root (default ${XDG_CACHE_HOME:-~/.cache}/quillon)
#   QUILLON_WX_JOBS=N                  parallel make jobs (default: the number of cores)
#
# Debian has no wxWidgets for mingw-w64. Its source package strips the bundled third-party
# libraries (zlib, png, jpeg, tiff, expat, regex, lzma), so those are turned off; the parts the
# dialog does not use are left out. Safe to run again: a finished cache is used as it is, an
# interrupted build starts over.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

host=x86_64-w64-mingw32
configure_args=(
  --host=$host --build=x86_64-linux-gnu --with-msw --disable-shared --enable-unicode
  --without-zlib --without-libpng --without-libjpeg --without-libtiff --without-expat
  --without-regex --without-liblzma --without-opengl
  --disable-html --disable-xrc --disable-aui --disable-stc --disable-ribbon --disable-propgrid
  --disable-richtext --disable-webview --disable-mediactrl --disable-sound --disable-svg
  --disable-webrequest
  --disable-debug_info --disable-precomp-headers --disable-dependency-tracking
)

scripts/install-packages.sh g++-mingw-w64-x86-64-posix dpkg-dev make >/dev/null

# The source package comes from the archive the machine already uses; its deb-src entry may be
# missing.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
  [ -n "$codename" ] || { echo "build-wx-msw: cannot tell the Debian release" >&2; exit 1; }
  echo "Enabling the deb-src entry for $codename" >&2
  $sudo tee /etc/apt/sources.list.d/quillon-deb-src.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
fi

# The version that apt would fetch names the cache, with the configure line and the compiler.
version=$(apt-cache showsrc wxwidgets3.2 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1)
[ -n "$version" ] || { echo "build-wx-msw: no source package wxwidgets3.2 in the archive" >&2; exit 1; }
compiler=$($host-g++-posix -dumpversion)
key=$(printf '%s\n' "$version" "$compiler" "${configure_args[@]}" | sha256sum | cut -c1-12)
cache_root=${QUILLON_WX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillon}
prefix=$cache_root/wxmsw-${version//[:~+]/_}-$key
if [ -x "$prefix/bin/wx-config" ] && [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

jobs=${QUILLON_WX_JOBS:-$(nproc 2>/dev/null || echo 2)}
work=$cache_root/src-$key
rm -rf "$work" "$prefix"
mkdir -p "$work"
log=$cache_root/wxmsw-$key.log
echo "Building wxWidgets $version for Windows into $prefix (log: $log)" >&2
start=$(date +%s)
(
  set -e
  cd "$work" &&
    apt-get source --download-only wxwidgets3.2="$version" >"$log" 2>&1 &&
    dpkg-source --no-check -x ./*.dsc src >>"$log" 2>&1 &&
    mkdir build && cd build &&
    CC=$host-gcc-posix CXX=$host-g++-posix ../src/configure --prefix="$prefix" \
      "${configure_args[@]}" >>"$log" 2>&1 &&
    make -j"$jobs" >>"$log" 2>&1 &&
    make install >>"$log" 2>&1
) || { echo "build-wx-msw: the build failed; the end of $log:" >&2; tail -n 30 "$log" >&2; exit 1; }
touch "$prefix/.complete"
rm -rf "$work"
# In the log too, which stays beside the cache.
echo "wxWidgets for Windows built in $(( $(date +%s) - start )) s" | tee -a "$log" >&2
echo "$prefix"
