#!/usr/bin/env bash
# Writes what binutils reads from one image into one text file, for the binary checks to parse:
# objdump -p (headers, data directories, import and export tables, resource directory), objdump -h
# (the section table) and windres -O rc (the resources as a script; nothing for an image without
# resources). Each part starts with a line "==== <command>".
# usage: dump_image.sh <objdump> <windres> <image> <output file>
set -euo pipefail
objdump=$1 windres=$2 image=$3 out=$4
tmp=$out.tmp
{
  echo "==== objdump -p"
  "$objdump" -p "$image"
  echo "==== objdump -h"
  "$objdump" -h "$image"
  echo "==== windres -O rc"
} >"$tmp"
if ! "$windres" -i "$image" -O rc >>"$tmp" 2>"$tmp.err"; then
  # The one failure that is an answer: the image has no resources.
  if ! grep -q "no resource section" "$tmp.err"; then cat "$tmp.err" >&2; rm -f "$tmp" "$tmp.err"; exit 1; fi
fi
rm -f "$tmp.err"
mv "$tmp" "$out"
