#!/usr/bin/env bash
# Starts or stops the Wine session of one test run: a private prefix and a persistent wineserver.
# usage: wine-session.sh start|stop <prefix>
#
# The prefix is made once per build tree and reused; `start` with QL_FRESH_PREFIX=1 makes it anew.
# Every output goes to a log file: a wineserver that inherits ctest's pipe keeps the run from ending.
set -eu
action=$1 prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
log=$prefix.log

case "$action" in
start)
  [ "${QL_FRESH_PREFIX:-0}" = 1 ] && rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  # A server left by an interrupted run would serve a stale prefix.
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  # A prefix made by another Wine cannot always be booted by this one: one made before the 32-bit
  # Wine was installed has no 32-bit system, and every 32-bit program fails with "could not load
  # kernel32.dll". The marker names the Wine that made the prefix; another one makes it anew.
  wine_kind="$(wine64 --version 2>/dev/null) 32-bit:$([ -x /usr/lib/wine/wine ] && echo yes || echo no)"
  if [ -e "$prefix/.ql-ready" ] && [ "$(cat "$prefix/.ql-ready")" != "$wine_kind" ]; then
    echo "wine prefix made by another Wine ($(cat "$prefix/.ql-ready")): making it anew"
    rm -f "$prefix/.ql-ready"
  fi
  if [ ! -e "$prefix/.ql-ready" ]; then
    rm -rf "$prefix"
    started=$(date +%s)
    wine wineboot -i >>"$log" 2>&1 </dev/null
    # No display here: Wine's null driver still gives windows, messages and message boxes.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$log" 2>&1 </dev/null
    for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
               'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
      wine reg add "$key" /v Debugger /d '' /f >>"$log" 2>&1 </dev/null
      wine reg add "$key" /v Auto /d 0 /f >>"$log" 2>&1 </dev/null
    done
    wineserver -w >/dev/null 2>&1 </dev/null
    echo "$wine_kind" >"$prefix/.ql-ready"
    echo "wine prefix created in $(( $(date +%s) - started )) s: $prefix"
  fi
  # Persistent, but it ends by itself a minute after the last client if nobody stops it.
  wineserver -p60 >>"$log" 2>&1 </dev/null
  wine wineboot >>"$log" 2>&1 </dev/null
  echo "wine session started: $prefix"
  ;;
stop)
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  echo "wine session stopped: $prefix"
  ;;
*)
  echo "usage: $0 start|stop <prefix>" >&2; exit 2 ;;
esac
