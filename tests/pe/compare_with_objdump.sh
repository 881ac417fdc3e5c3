#!/usr/bin/env bash
# Compares what pe_dump reads from an image with what binutils' objdump reads from it: the
# imported DLLs, the symbols imported by name, the exported names and the section names.
# usage: compare_with_objdump.sh <objdump> <image> <command that runs pe_dump...>
# (the command is the Wine runner followed by pe_dump.exe; the image path is appended to it).
set -euo pipefail
objdump=$1 image=$2
shift 2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if ! "$@" "$image" >"$tmp/ours.raw" 2>"$tmp/ours.err"; then
  echo "pe_dump failed on $image:"; cat "$tmp/ours.err"; exit 1
fi
tr -d '\r' <"$tmp/ours.raw" >"$tmp/ours"
"$objdump" -p "$image" >"$tmp/p"
"$objdump" -h "$image" >"$tmp/h"

# objdump -p prints each import table as "DLL Name: X" followed by "<vma> <hint> <name>" rows.
awk '/^[ \t]*DLL Name: / {dll=$3; print dll > "'"$tmp"'/imports.objdump"; next}
     dll != "" && /^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+[^ \t]+$/ {print dll, $3}
     /^[ \t]*$/ {dll=""}' "$tmp/p" | sort >"$tmp/symbols.objdump"
awk '$1 == "import" || $1 == "delay-import" {print $2}' "$tmp/ours" >"$tmp/imports.ours"
awk '($1 == "import-symbol" || $1 == "delay-import-symbol") && $3 !~ /^#/ {print $2, $3}' "$tmp/ours" \
  | sort >"$tmp/symbols.ours"
touch "$tmp/imports.objdump"

# The export name pointer table: "[   0] Name" rows.
sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' "$tmp/p" | sed -n 's/^[ \t]*\[ *[0-9]*\] //p' \
  | sort >"$tmp/exports.objdump"
awk '$1 == "export" && $2 !~ /^#/ {print $2}' "$tmp/ours" | sort >"$tmp/exports.ours"

# objdump -h: "Idx Name Size VMA LMA File-off Algn" rows.
awk '$1 ~ /^[0-9]+$/ && NF == 7 {print $2}' "$tmp/h" >"$tmp/sections.objdump"
awk '$1 == "section" {print $2}' "$tmp/ours" >"$tmp/sections.ours"

status=0
for what in imports symbols exports sections; do
  if ! diff -u "$tmp/$what.objdump" "$tmp/$what.ours" >"$tmp/$what.diff"; then
    echo "$what differ for $image (- objdump, + pe_dump):"; cat "$tmp/$what.diff"; status=1
  fi
done
# Every image we check imports something and has sections; empty lists on both sides would mean
# that the parsing above no longer matches objdump's output.
for what in imports symbols sections; do
  if [ ! -s "$tmp/$what.objdump" ]; then echo "objdump listed no $what for $image"; status=1; fi
done
if [ "$status" = 0 ]; then
  echo "pe_dump agrees with objdump on $image: $(wc -l <"$tmp/imports.ours") DLLs," \
       "$(wc -l <"$tmp/symbols.ours") imported symbols, $(wc -l <"$tmp/exports.ours") exports," \
       "$(wc -l <"$tmp/sections.ours") sections"
fi
exit $status
