#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet.
# Exits non-zero when the installation fails.
#
# Without apt-get (another distribution; QUILLON_NO_APT=1 acts as if it were missing), nothing is
# installed: the script checks that what each named package provides is there and, when
# something is missing, lists it with the package names for Fedora (dnf) and Arch (pacman),
# then exits 1.
set -euo pipefail

# What a Debian package provides here, as "WHAT|FEDORA|ARCH" ("-": not packaged there).
describe() {
  case $1 in
    build-essential) echo "a C++ compiler (c++)|gcc-c++|base-devel" ;;
    make) echo "make|make|make" ;;
    cmake) echo "cmake|cmake|cmake" ;;
    ninja-build) echo "ninja|ninja-build|ninja" ;;
    libwxgtk3.2-dev) echo "wxWidgets 3.2 for GTK (wx-config), for the dialog|wxGTK-devel|wxwidgets-gtk3" ;;
    libgtk-3-dev) echo "GTK 3's headers (gtk/gtk.h), for the dialog's message boxes|gtk3-devel|gtk3" ;;
    pkg-config) echo "pkg-config|pkgconf-pkg-config|pkgconf" ;;
    libcli11-dev) echo "CLI11 (CLI/CLI.hpp), the option parser|cli11-devel|cli11" ;;
    libgtest-dev) echo "GoogleTest (gtest/gtest.h), for the tests|gtest-devel|gtest" ;;
    libgmock-dev) echo "GoogleMock (gmock/gmock.h), for the tests|gmock-devel|gtest" ;;
    xvfb) echo "Xvfb, for the dialog tests|xorg-x11-server-Xvfb|xorg-server-xvfb" ;;
    xauth) echo "xauth|xorg-x11-xauth|xorg-xauth" ;;
    xdotool) echo "xdotool|xdotool|xdotool" ;;
    x11-utils) echo "xdpyinfo|xdpyinfo|xorg-xdpyinfo" ;;
    iproute2) echo "ip, for the network-namespace tests|iproute|iproute2" ;;
    procps) echo "ps|procps-ng|procps-ng" ;;
    locales) echo "localedef|glibc-common|glibc" ;;
    clang-format) echo "clang-format|clang-tools-extra|clang" ;;
    clang) echo "clang++|clang|clang" ;;
    dpkg-dev) echo "dpkg-shlibdeps, for the Debian package|dpkg-dev|dpkg" ;;
    fakeroot) echo "fakeroot|fakeroot|fakeroot" ;;
    lintian) echo "lintian|-|-" ;;
    desktop-file-utils) echo "desktop-file-validate|desktop-file-utils|desktop-file-utils" ;;
    appstream) echo "appstreamcli, for the AppStream metadata|appstream|appstream" ;;
    bash-completion) echo "bash-completion, for the completion tests|bash-completion|bash-completion" ;;
    zsh) echo "zsh, for the completion tests|zsh|zsh" ;;
    fish) echo "fish, for the completion tests|fish|fish" ;;
    file) echo "file|file|file" ;;
    googletest) echo "GoogleTest's sources in /usr/src/googletest, for the Windows build|-|-" ;;
    g++-mingw-w64-x86-64-posix) echo "x86_64-w64-mingw32-g++-posix|-|-" ;;
    wine) echo "wine|wine|wine" ;;
    wine64) echo "wine64|wine|wine" ;;
    wixl) echo "wixl, for the Windows installer|msitools|msitools" ;;
    msitools) echo "msibuild and msiinfo, for the Windows installer|msitools|msitools" ;;
    osslsigncode) echo "osslsigncode, to sign the Windows programs|osslsigncode|osslsigncode" ;;
    openssl) echo "openssl|openssl|openssl" ;;
    qemu-system-x86) echo "qemu-system-x86_64, for the real-driver tests|qemu-system-x86|qemu-system-x86" ;;
    busybox-static) echo "a static busybox (/bin/busybox), for the real-driver tests|busybox|busybox" ;;
    cpio) echo "cpio|cpio|cpio" ;;
    kmod) echo "depmod and modprobe|kmod|kmod" ;;
    *) echo "Debian's $1 (no check known)|-|-" ;;
  esac
}

have() {
  local c
  for c; do command -v "$c" >/dev/null 2>&1 && return 0; done
  return 1
}
exists() {
  local f
  for f; do [ -e "$f" ] && return 0; done
  return 1
}

# Whether what a Debian package provides is there, by its commands or files.
present() {
  case $1 in
    build-essential) have c++ g++ clang++ ;;
    make | cmake | xauth | xdotool | fakeroot | lintian | file | wine | wine64 | clang-format | zsh | fish) have "$1" ;;
    wixl | osslsigncode | openssl) have "$1" ;;
    msitools) have msibuild ;;
    ninja-build) have ninja ninja-build ;;
    libwxgtk3.2-dev) have wx-config wx-config-3.2 ;;
    libgtk-3-dev) exists /usr/include/gtk-3.0/gtk/gtk.h ;;
    pkg-config) have pkg-config pkgconf ;;
    libcli11-dev) exists /usr/include/CLI/CLI.hpp ;;
    libgtest-dev) exists /usr/include/gtest/gtest.h /usr/local/include/gtest/gtest.h ;;
    libgmock-dev) exists /usr/include/gmock/gmock.h /usr/local/include/gmock/gmock.h ;;
    xvfb) have Xvfb ;;
    x11-utils) have xdpyinfo ;;
    iproute2) have ip ;;
    procps) have ps ;;
    locales) have localedef ;;
    clang) have clang++ ;;
    dpkg-dev) have dpkg-shlibdeps ;;
    desktop-file-utils) have desktop-file-validate ;;
    appstream) have appstreamcli ;;
    bash-completion) exists /usr/share/bash-completion/bash_completion ;;
    googletest) exists /usr/src/googletest/CMakeLists.txt ;;
    g++-mingw-w64-x86-64-posix) have x86_64-w64-mingw32-g++-posix ;;
    qemu-system-x86) have qemu-system-x86_64 ;;
    busybox-static) exists /bin/busybox /usr/bin/busybox ;;
    cpio) have cpio ;;
    kmod) have depmod /sbin/depmod /usr/sbin/depmod ;;
    *) return 1 ;;
  esac
}

without_apt() {
  local p what fedora arch line debian_only=false
  local lines=() dnf=() pacman=()
  for p in "$@"; do
    present "$p" && continue
    IFS='|' read -r what fedora arch <<<"$(describe "$p")"
    printf -v line '  %-52s Fedora: %-21s Arch: %s' "$what" "$fedora" "$arch"
    lines+=("$line")
    [ "$fedora" != - ] || [ "$arch" != - ] || debian_only=true
    [ "$fedora" = - ] || [[ " ${dnf[*]-} " == *" $fedora "* ]] || dnf+=("$fedora")
    [ "$arch" = - ] || [[ " ${pacman[*]-} " == *" $arch "* ]] || pacman+=("$arch")
  done
  [ ${#lines[@]} -eq 0 ] && return 0
  {
    echo "No apt-get here, so nothing was installed; these are missing:"
    printf '%s\n' "${lines[@]}"
    echo "Install them, then run this again:"
    [ ${#dnf[@]} -eq 0 ] || echo "  Fedora: sudo dnf install ${dnf[*]}"
    [ ${#pacman[@]} -eq 0 ] || echo "  Arch:   sudo pacman -S --needed ${pacman[*]}"
    if $debian_only; then
      echo "(what has no name there, \"-\", is not packaged for it: that step runs on Debian only)"
    fi
  } >&2
  return 1
}

if [ "${QUILLON_NO_APT:-0}" = 1 ] || ! command -v apt-get >/dev/null 2>&1; then
  without_apt "$@"
  exit
fi

missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
