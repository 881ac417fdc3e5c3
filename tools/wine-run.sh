#!/usr/bin/env bash
# Runs one Windows program under Wine, in the private prefix of a build tree.
# usage: wine-run.sh <32|64> <prefix> <program.exe> [arguments...]
# CMake uses it as the cross-compiling emulator, so ctest runs Windows test programs through it.
set -u
bits=$1 prefix=$2
shift 2
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# Wine's crash debugger hangs for ever under qemu; a crash must end the process instead.
export WINEDLLOVERRIDES="winedbg.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
if [ "$bits" = 64 ]; then
  exec /usr/lib/wine/wine64 "$@"   # the 64-bit loader directly: no detour through the 32-bit one
else
  exec /usr/lib/wine/wine "$@"     # the 32-bit loader, run by qemu-i386 through binfmt_misc
fi
