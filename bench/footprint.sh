#!/usr/bin/env bash
# Footprint of the product: the size of every deliverable in build/win32/stage and build/win64/stage
# and what each one imports, read with the cross toolchain's objdump. Prints Markdown tables.
# usage: bench/footprint.sh [--functions] [build folder]   (default: build, beside this script's folder)
#   --functions  also list every imported function, per deliverable and DLL
# Run the builds first (cmake --build --preset win32 / win64); a missing stage is reported and skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
functions=0
if [ "${1:-}" = --functions ]; then functions=1; shift; fi
build=${1:-build}

declare -A objdump_of=([win32]=i686-w64-mingw32-objdump [win64]=x86_64-w64-mingw32-objdump)
presets=()
for preset in win32 win64; do
  if [ -d "$build/$preset/stage/bin" ]; then
    presets+=("$preset")
  else
    echo "footprint: no $build/$preset/stage/bin (build the $preset preset first); skipped" >&2
  fi
done
[ ${#presets[@]} -gt 0 ] || { echo "footprint: nothing staged under $build" >&2; exit 1; }

# "<dll> <function>" per imported function, in the image's order.
functions_of() {
  "$1" -p "$2" | awk '
    /^[ \t]*DLL Name: / { dll = $3; next }
    dll != "" && /^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+[^ \t]+/ { print dll, $3 }
    dll != "" && /^[ \t]*$/ { dll = "" }'
}

# "<dll> <functions>" per imported DLL, in the image's order: the rows under each "DLL Name:" of
# objdump -p's import tables, up to the blank line that ends the table.
imports_of() {
  "$1" -p "$2" | awk '
    /^[ \t]*DLL Name: / { if (dll != "") print dll, n; dll = $3; n = 0; next }
    dll != "" && /^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+[^ \t]+/ { n++ }
    dll != "" && /^[ \t]*$/ { print dll, n; dll = "" }
    END { if (dll != "") print dll, n }'
}

echo "## Sizes"
echo
echo "| Deliverable | Preset | File bytes | KiB | Loaded code | Loaded data | Debugging sections | Rest: headers, symbols, padding |"
echo "|---|---|---:|---:|---:|---:|---:|---:|"
for preset in "${presets[@]}"; do
  for file in "$build/$preset/stage/bin/"*; do
    [ -f "$file" ] || continue
    bytes=$(stat -c %s "$file")
    # objdump -h: code is every loaded section marked CODE, data every other loaded one; debugging
    # sections are not loaded and count only in the file's size.
    code=0 data=0 debug=0
    while read -r size flags; do
      if [[ $flags == *LOAD* ]]; then
        if [[ $flags == *CODE* ]]; then code=$((code + 0x$size)); else data=$((data + 0x$size)); fi
      elif [[ $flags == *DEBUGGING* ]]; then
        debug=$((debug + 0x$size))
      fi
    done < <("${objdump_of[$preset]}" -h "$file" | awk '$1 ~ /^[0-9]+$/ && NF == 7 { size = $3; getline; print size, $0 }')
    printf '| %s | %s | %d | %s | %d | %d | %d | %d |\n' "$(basename "$file")" "$preset" "$bytes" \
      "$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1024 }')" "$code" "$data" "$debug" \
      $((bytes - code - data - debug))
  done
done
echo
echo "## Imports (DLL: functions imported)"
echo
echo "| Deliverable | Preset | Imports |"
echo "|---|---|---|"
for preset in "${presets[@]}"; do
  for file in "$build/$preset/stage/bin/"*; do
    [ -f "$file" ] || continue
    list=$(imports_of "${objdump_of[$preset]}" "$file" | awk '{ printf "%s%s: %s", sep, $1, $2; sep = ", " }')
    printf '| %s | %s | %s |\n' "$(basename "$file")" "$preset" "${list:-(none)}"
  done
done
[ "$functions" = 1 ] || exit 0
echo
echo "## Imported functions"
for preset in "${presets[@]}"; do
  for file in "$build/$preset/stage/bin/"*; do
    [ -f "$file" ] || continue
    echo
    echo "### $(basename "$file") ($preset)"
    echo
    functions_of "${objdump_of[$preset]}" "$file" | awk '
      $1 != dll { if (dll != "") print ""; dll = $1; printf "- %s: %s", dll, $2; next }
      { printf ", %s", $2 }
      END { if (dll != "") print "" }'
  done
done
