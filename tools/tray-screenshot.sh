#!/usr/bin/env bash
# The tray monitor in a product tree under Xvfb: starts it, then the launcher with the test Java
# runtime (which logs a user on), and shows the notification area in both states, as text and as
# pictures. The pictures in docs/ were made with:
#   tools/tray-screenshot.sh win64 docs
# usage: tray-screenshot.sh <preset> [<folder for the PNG files>] [<product tree>]
#   The product tree defaults to a copy of build/<preset>/stage with the test runtime as its "jre".
#   Pictures need xwd (x11-apps) and convert (imagemagick); without them only the text is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
# A private X server for the whole run.
[ -n "${QL_TRAY_XVFB:-}" ] || exec xvfb-run -a env QL_TRAY_XVFB=1 "$0" "$@"

preset=$1 out=${2:-} tree=${3:-}
bits=${preset#win}
build=$PWD/build/$preset
prefix=$build/wineprefix
own_tree=0
if [ -z "$tree" ]; then
  tree=$build/tray-shot own_tree=1
  rm -rf "$tree"
  mkdir -p "$tree/jre"
  cp -r "$build/stage/." "$tree/"
  cp -r "$build/testjre/bin" "$tree/jre/"
  : >"$tree/bin/qlopgp.jar"
fi

tools/wine-session.sh start "$prefix" >/dev/null
cleanup() {
  tools/wine-session.sh stop "$prefix" >/dev/null
  [ "$own_tree" = 0 ] || rm -rf "$tree"
}
trap cleanup EXIT

desktop=QLTrayShot
# Wine's explorer runs the programs on a small desktop of their own with the X11 driver (the
# prefix's other desktops keep the null driver); its taskbar holds the notification area.
on_desktop() { tools/wine-run.sh 64 "$prefix" explorer "/desktop=$desktop,160x20,x11" "$@" </dev/null >/dev/null 2>&1; }
qlctl() { tools/wine-run.sh "$bits" "$prefix" "$build/bin/qlctl.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
wait_for_tray() {  # wait_for_tray <what qlctl prints>: up to 60 s
  for _ in $(seq 120); do [ "$(qlctl tray "$desktop")" = "tray $1" ] && return 0; sleep 0.5; done
  echo "tray-screenshot: the tray never showed \"$1\" (last: $(qlctl tray "$desktop"))" >&2; exit 1
}
picture() {  # picture <file name>
  [ -n "$out" ] || return 0
  if ! command -v xwd >/dev/null || ! command -v convert >/dev/null || ! convert -version >/dev/null 2>&1; then
    echo "  (no picture: install x11-apps and imagemagick for xwd and convert)"; return 0
  fi
  mkdir -p "$out"
  xwd -silent -name "$desktop - Wine desktop" | convert xwd:- -scale 400% "$out/$1"
  echo "  picture: $out/$1"
}

echo "tray monitor started: $tree/bin/QLOPGPMonitor.exe"
# The first explorer start makes the desktop and stays as its process, until its last program ends.
on_desktop "$tree/bin/QLOPGPMonitor.exe" &
wait_for_tray "not logged in"
echo "  $(qlctl tray "$desktop") (no launcher runs)"
picture tray-not-logged-in.png

echo "launcher started; the test application logs a user on"
on_desktop "$tree/bin/QuilloraOpenPGP.exe"
wait_for_tray "logged in"
echo "  $(qlctl tray "$desktop") (after the next poll of the launcher)"
picture tray-logged-in.png

on_desktop "$tree/bin/QLOPGPMonitor.exe" shutdown
qlctl close-app >/dev/null || true
