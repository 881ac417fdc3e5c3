#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 (bookworm) x86_64 machine, as root:
# the MinGW-w64 cross compilers, Wine 8 with 32-bit support, qemu-i386 registered with binfmt_misc
# (this CPU cannot run 32-bit code natively), Xvfb, doctest, a JDK for jni.h and javac, wixl,
# msitools and osslsigncode for the MSI, xwd and convert for the demo's pictures, and the locale
# sources (a test builds a UTF-8 locale for Wine).
# Every step checks first, so a second run on a ready machine costs a second.
#
# Exit status: 0 when everything is ready; 3 when all but the 32-bit route is ready (the 64-bit
# build and its tests work, the 32-bit ones cannot run); 1 on any other failure.
#
# A mirror caught mid-sync can serve a stale i386 list of the security suite. Its 32-bit packages
# are then older than the amd64 ones already installed, and multi-arch packages must match exactly,
# so wine32:i386 cannot be installed. QL_SETUP_I386_FROM_POOL=1 lets this script take the i386
# builds of the amd64 versions straight from the mirror's pool instead. apt cannot check their
# signatures that way (the list that would carry their hashes is the stale one), so it is a choice
# to make knowingly; CI makes it, since it must pass on a fresh machine.
set -euo pipefail

log() { echo "setup: $*" >&2; }
need_root() { [ "$(id -u)" = 0 ] || { log "must run as root to install $1"; exit 1; }; }
export DEBIAN_FRONTEND=noninteractive

# A list that fails to download (a mirror in sync) is retried; apt keeps what it fetched of the
# others, so the run goes on with a warning when only some lists keep failing.
apt_updated=0
apt_update() {
  [ "$apt_updated" = 0 ] || return 0
  local try out
  for try in 1 2 3; do
    if out=$(apt-get update -qq 2>&1); then apt_updated=1; return 0; fi
    [ "$try" = 3 ] || sleep $((try * 5))
  done
  log "warning: some package lists could not be updated; going on with the others:"
  grep -E '^(E|W):' <<<"$out" | head -4 | sed 's/^/setup:   /' >&2
  apt_updated=1
}
apt_install() { apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }

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

# 2. Everything but the 32-bit Wine: enough for the host, fuzz and 64-bit builds and their tests.
pkgs=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686
      binutils-mingw-w64-x86-64 wine wine64 xvfb xauth x11-apps imagemagick doctest-dev
      openjdk-17-jdk-headless cmake ninja-build g++ binutils clang libclang-rt-14-dev dpkg-dev locales
      wixl msitools osslsigncode openssl)
missing=()
for p in "${pkgs[@]}"; do have_pkg "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  need_root "${missing[*]}"
  log "installing ${missing[*]}"
  apt_update
  apt_install "${missing[@]}"
fi
qemu_ok() { command -v qemu-i386 >/dev/null && qemu-i386 --version | grep -qE 'version ([89]|[1-9][0-9])\.'; }
if ! qemu_ok; then
  need_root "qemu-user-static"
  log "installing qemu-user-static from bookworm-backports"
  apt_update
  apt_install -t bookworm-backports qemu-user-static
fi

# 3. The 32-bit Wine.
pool=/var/local/quillora-i386-pool
pool_list=/etc/apt/sources.list.d/quillora-i386-pool.list
# The i386 builds of the amd64 candidate versions, for every multi-arch package wine32:i386 needs
# whose i386 candidate differs: the same file name with _i386.deb, in the same pool folder.
fetch_i386_from_pool() {
  local names mismatched uri file fetched=0
  names=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
            --no-replaces --no-enhances wine32:i386 2>/dev/null | grep -E '^[^ <].*:i386$' | sort -u | sed 's/:i386$//')
  mismatched=$(apt-cache policy $(for b in $names; do echo "$b:amd64" "$b:i386"; done) 2>/dev/null |
    awk '/^[^ ].*:$/ {p=$1; sub(/:$/, "", p)} /Candidate:/ {print p, $2}' |
    awk '{ if ($1 ~ /:i386$/) { b=$1; sub(/:i386$/, "", b); v32[b]=$2 } else v64[$1]=$2 }
         END { for (b in v64) if ((b in v32) && v64[b] != "(none)" && v64[b] != v32[b]) print b ":amd64=" v64[b] }')
  [ -n "$mismatched" ] || { log "no i386 package lags behind its amd64 version"; return 1; }
  mkdir -p "$pool"
  while read -r uri; do
    uri=${uri//\'/}; uri=${uri/%_amd64.deb/_i386.deb}; file=$(basename "$uri")
    file=$(printf '%b' "${file//%/\\x}")
    if [ -s "$pool/$file" ] || /usr/lib/apt/apt-helper download-file "$uri" "$pool/$file" >/dev/null 2>&1; then
      fetched=$((fetched + 1))
    else
      log "warning: could not fetch $uri"
    fi
  done < <(apt-get download --print-uris $mismatched 2>/dev/null | awk '{print $1}')
  [ "$fetched" -gt 0 ] || return 1
  log "warning: took $fetched i386 packages from the mirror's pool UNCHECKED (no valid list carries their hashes):"
  log "  $(echo $mismatched | sed 's/:amd64=/=/g')"
  (cd "$pool" && dpkg-scanpackages --multiversion . /dev/null >Packages 2>/dev/null)
  echo "deb [trusted=yes] file:$pool ./" >"$pool_list"
  apt-get update -qq -o Dir::Etc::sourcelist="$pool_list" -o Dir::Etc::sourceparts=- \
    -o APT::Get::List-Cleanup=0 >/dev/null 2>&1
}
wine32_ready=1
if ! have_pkg wine32:i386; then
  need_root "wine32:i386"
  log "installing wine32:i386"
  apt_update
  if ! apt_install wine32:i386 2>/dev/null; then
    wine32_ready=0
    if [ "${QL_SETUP_I386_FROM_POOL:-0}" = 1 ]; then
      log "wine32:i386 cannot be resolved from the package lists; taking the lagging i386 packages from the pool (QL_SETUP_I386_FROM_POOL=1)"
      if fetch_i386_from_pool && apt_install wine32:i386; then wine32_ready=1; fi
      rm -f "$pool_list"
    fi
  fi
fi
if [ "$wine32_ready" = 0 ]; then
  log "32-bit route NOT ready: wine32:i386 could not be installed, most likely because the mirror's i386 list is stale (a mirror in sync); run again later, or with QL_SETUP_I386_FROM_POOL=1 to take the matching i386 builds from the pool unchecked. The 64-bit build and its tests work."
fi

# 4. binfmt_misc entry for i386 ELF through qemu (lasts until reboot).
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  need_root "binfmt_misc"
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-i386" ]; then
  need_root "the qemu-i386 binfmt entry"
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' > "$binfmt/register"
fi
if [ "$wine32_ready" = 0 ]; then log "ready for 64-bit only"; exit 3; fi
log "ready"
