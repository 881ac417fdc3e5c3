#!/usr/bin/env bash
# Builds everything, then runs the shipping (32-bit) launcher end to end under Wine, with the test
# Java runtime as the product's accompanying runtime: a first start, forwarded requests, the status
# query, and what the application received; then the tray monitor beside it under Xvfb, whose icon
# changes when the application logs a user on.
set -euo pipefail
cd "$(dirname "$0")/.."
setup=0
tools/setup.sh || setup=$?
[ "$setup" = 0 ] || [ "$setup" = 3 ] || exit 1
bits=32 build=build/win32 presets=(host win64 win32)
if [ "$setup" = 3 ]; then
  echo "demo: NOTE: no 32-bit Wine on this machine (see tools/setup.sh above); showing the 64-bit build instead of the shipping 32-bit one"
  bits=64 build=build/win64 presets=(host win64)
fi

for preset in "${presets[@]}"; do
  echo "=== building $preset"
  mkdir -p build
  cmake --preset "$preset" >"build/$preset.configure.log" 2>&1 || { cat "build/$preset.configure.log"; exit 1; }
  cmake --build --preset "$preset" | tail -1
done

demo=$PWD/$build/demo
prefix=$PWD/$build/wineprefix
# The product as installed: the staged tree, the test runtime as its accompanying "jre", and a
# stand-in for the application's jar.
rm -rf "$demo"
mkdir -p "$demo/jre"
cp -r "$build/stage/." "$demo/"
cp -r "$build/testjre/bin" "$demo/jre/"
: >"$demo/bin/qlopgp.jar"
record="$demo/jre/bin/javaw-record.log"

tools/wine-session.sh start "$prefix"
trap 'tools/wine-session.sh stop "$prefix" >/dev/null' EXIT
win() { tools/wine-run.sh "$bits" "$prefix" "$@"; }
qlctl() { win "$PWD/$build/bin/qlctl.exe" "$@"; }
wait_for() {  # wait_for <what> <command...>: up to 60 s
  local what=$1; shift
  for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  echo "demo: gave up waiting for $what" >&2; exit 1
}
published() { [ "$(grep -c ' publish ' "$record" 2>/dev/null)" -ge "$1" ]; }

echo
echo "=== 1. First start: QuilloraOpenPGP.exe with no arguments"
win "$demo/bin/QuilloraOpenPGP.exe" </dev/null >/dev/null 2>&1 &
launcher=$!
wait_for "the monitor window" qlctl status
wait_for "the application" published 1
echo "application started as:"
sed -n 's/^[0-9]* cmdline /  /p; s/^[0-9]* cwd /  in folder /p' "$record"
echo "status query: $(qlctl status)"

echo
echo "=== 2. A file opened by double-click while the application runs"
win "$demo/bin/QuilloraOpenPGP.exe" 'C:\Users\Public\Documents\report 2026.pgp' </dev/null
echo "forwarder exit code: $?"
wait_for "the request" published 2
echo "application received: $(sed -n 's/^[0-9]* request //p' "$record" | tail -1)"

echo
echo "=== 3. The tray logs the user off"
win "$demo/bin/QuilloraOpenPGP.exe" '0*logoff**' </dev/null
echo "forwarder exit code: $?"
wait_for "the request" published 3
echo "application received: $(sed -n 's/^[0-9]* request //p' "$record" | tail -1)"
echo "status query: $(qlctl status)"

echo
echo "=== 4. The application ends; the launcher ends with it"
qlctl close-app
set +e
wait "$launcher"
echo "launcher exit code: $?"
set -e

echo
echo "=== The application's record ($record)"
cat "$record"

echo
echo "=== 5. The tray monitor beside the launcher, under Xvfb (the tray needs Wine's X11 driver)"
tools/wine-session.sh stop "$prefix" >/dev/null
rm -f "$record"
tools/tray-screenshot.sh "${build#build/}" "$PWD/$build/demo-tray" "$demo"
