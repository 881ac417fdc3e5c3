#!/usr/bin/env bash
# Runs every test: installs what is missing, then runs the workflow (configure, build, test) of each
# preset in turn:
#   host   the platform-free text code, natively on Linux (seconds)
#   fuzz   its fuzz targets over their starting corpora, then a short fuzzing run (fuzz/run.sh, 55 s
#          a target, two at a time: ~2.5 min)
#   win64  everything 64-bit under wine64 (the quick Windows run)
#   win32  everything 32-bit, the shipping build, under Wine through qemu-i386
# and then, when both Windows presets ran, the MSI built from their stages and tested under Wine.
# Exits non-zero if any build or test fails or fuzzing finds anything. Pass preset names to run
# only those. When the set-up cannot have the 32-bit Wine (tools/setup.sh exits 3), the other
# presets still run and the run fails at the end, naming the 32-bit route as not run.
set -uo pipefail
cd "$(dirname "$0")/.."
setup=0
tools/setup.sh || setup=$?
[ "$setup" = 0 ] || [ "$setup" = 3 ] || exit 1

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(host fuzz win64 win32)
skipped32=0
if [ "$setup" = 3 ]; then
  kept=()
  for p in "${presets[@]}"; do [ "$p" = win32 ] && skipped32=1 || kept+=("$p"); done
  presets=("${kept[@]}")
fi

passed=0 failed=0 status=0
for preset in "${presets[@]}"; do
  # The preset's workflow: configure (its output shown only when it fails), build, test.
  echo "=== $preset: configure, build, test"
  log=$(mktemp)
  cmake --workflow --preset "$preset" 2>&1 | awk '
    /^Executing workflow step 1 of/ { held = ""; quiet = 1; next }
    /^Executing workflow step 2 of/ { quiet = 0 }
    quiet { held = held $0 "\n"; next }
    { print; fflush() }
    END { if (quiet) printf "%s", held }' | tee "$log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  rm -f "$log"
  if [ -n "$summary" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad)); failed=$((failed + bad))
  else
    status=1
  fi
  if [ "$preset" = fuzz ]; then
    echo "=== fuzz: short run"
    if fuzz/run.sh --time 55 --jobs 2 --out build/fuzz-ci; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
  fi
done
# The MSI, built from the win32 and win64 stages, installed into a fresh prefix (about 1-2 minutes).
if [[ " ${presets[*]} " == *" win64 "* && " ${presets[*]} " == *" win32 "* ]]; then
  echo "=== installer: build the MSI and test it (installer/tests/msi_test.sh)"
  if installer/tests/msi_test.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi
echo "total: $passed passed, $failed failed"
if [ "$skipped32" = 1 ]; then
  echo "NOT RUN: the 32-bit route (win32 preset and the MSI test): wine32:i386 is not installed; see tools/setup.sh's message above"
  status=1
fi
exit $status
