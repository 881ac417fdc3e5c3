#!/usr/bin/env bash
# Runs one command with a private X server: Xvfb on a free display, DISPLAY set for the command,
# the server stopped when the command ends (also on a signal). Returns the command's exit code.
# usage: with-xvfb.sh <command> [arguments...]
#
# The tray tests need Wine's X11 driver; everything else keeps the null driver of the test prefix,
# since the tray test program moves itself and the programs it starts to a desktop of its own.
set -u
log=$(mktemp /tmp/ql-xvfb.XXXXXX)
fifo=$(mktemp -u /tmp/ql-xvfb-fd.XXXXXX)
mkfifo "$fifo"
# -displayfd: the server picks a free display number and writes it to the descriptor.
Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>"$fifo" >"$log" 2>&1 </dev/null &
xvfb=$!
stop() { kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$fifo" "$log"; }
trap stop EXIT
trap 'exit 130' INT TERM
display=
read -r -t 30 display <"$fifo" || true
if [ -z "$display" ]; then
  echo "with-xvfb: Xvfb did not start:" >&2; cat "$log" >&2; exit 1
fi
DISPLAY=:$display "$@"
