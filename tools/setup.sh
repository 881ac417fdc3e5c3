#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 (bookworm) x86_64 machine, as root:
# the MinGW-w64 cross compilers, Wine 8 with 32-bit support, qemu-i386 registered with binfmt_misc
# (this CPU cannot run 32-bit code natively), Xvfb, doctest, a JDK for jni.h and javac, and wixl,
# msitools and osslsigncode for the MSI.
# Every step checks first, so a second run on a ready machine costs a second.
set -euo pipefail

log() { echo "setup: $*" >&2; }
need_root() { [ "$(id -u)" = 0 ] || { log "must run as root to install $1"; exit 1; }; }

apt_updated=0
apt_update() { [ "$apt_updated" = 1 ] || { apt-get update -qq; apt_updated=1; }; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# 1. i386 architecture and the bookworm-backports suite (for a qemu-user-static fast enough to use).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root "the i386 architecture"
  dpkg --add-architecture i386
  apt_updated=0
fi
backports=/etc/apt/sources.list.d/bookworm-backports.sources
if [ ! -e "$backports" ] && ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  need_root "the backports source"
  # Reuse the mirror this machine already uses for bookworm.
  uri=$(awk '/^URIs:/ {u=$2} /^Suites:/ && /bookworm( |$)/ {print u; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1=="deb" && $3=="bookworm" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$uri" ] || { log "no bookworm apt source found to derive backports from"; exit 1; }
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$uri" > "$backports"
  apt_updated=0
fi

# 2. Packages.
pkgs=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686
      binutils-mingw-w64-x86-64 wine wine64 wine32:i386 xvfb xauth doctest-dev
      openjdk-17-jdk-headless cmake ninja-build g++ binutils clang libclang-rt-14-dev
      wixl msitools osslsigncode openssl)
missing=()
for p in "${pkgs[@]}"; do have_pkg "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  need_root "${missing[*]}"
  log "installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
qemu_ok() { command -v qemu-i386 >/dev/null && qemu-i386 --version | grep -qE 'version ([89]|[1-9][0-9])\.'; }
if ! qemu_ok; then
  need_root "qemu-user-static"
  log "installing qemu-user-static from bookworm-backports"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static >/dev/null
fi

# 3. binfmt_misc entry for i386 ELF through qemu (lasts until reboot).
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  need_root "binfmt_misc"
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-i386" ]; then
  need_root "the qemu-i386 binfmt entry"
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' > "$binfmt/register"
fi
log "ready"
