#!/usr/bin/env bash
# Runs the benchmarks under Wine and prints their tables (Markdown).
# usage: bench/run.sh [win64|win32|all]      (default: all, i.e. win64 then win32)
#
# For each preset it configures the build tree if needed, builds the `bench` target (the benchmark
# programs and what they start), then runs in that tree's private Wine prefix and server:
#   launch_bench   forwarded request and first starts, against trivial program starts;   (ms)
#                  bursts of 12 forwarders; InvokeCommand for 1,000 / 10,000 files
#   channel_bench  RequestOpenFile to the waiting thread's return, 10,000 rounds          (us)
#   shellext_bench the context-menu handler for 10 / 1,000 / 10,000 files                 (ms, us)
# The tables also go to build/<preset>/bench-results.md. At the end it runs bench/footprint.sh
# (sizes and imports of every staged deliverable, both bitnesses). Environment: QL_BENCH_RUNS (start rounds, default 40),
# QL_BENCH_CHANNEL_ROUNDS (default 10000).
# Times are never judged: nothing here fails on a slow run, only on a broken one. Do not run it
# while the same build tree runs its tests: both use the product's machine-wide names.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
choice=${1:-all}
case "$choice" in
  win64|win32) presets=("$choice") ;;
  all) presets=(win64 win32) ;;
  *) echo "usage: $0 [win64|win32|all]" >&2; exit 2 ;;
esac
runs=${QL_BENCH_RUNS:-40}
channelRounds=${QL_BENCH_CHANNEL_ROUNDS:-10000}

status=0
for preset in "${presets[@]}"; do
  bits=${preset#win}
  build=$root/build/$preset
  prefix=$build/wineprefix
  echo "=== $preset: build"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset "$preset" >/dev/null
  fi
  cmake --build --preset "$preset" --target bench -j2 >/dev/null
  tools/wine-session.sh start "$prefix"
  results=$build/bench-results.md
  {
    echo "## $preset: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc)-core $(uname -m) $(uname -s), $(wine --version 2>/dev/null)"
    echo
  } >"$results"
  for program in "launch_bench.exe $runs" "channel_bench.exe $channelRounds" "shellext_bench.exe"; do
    # shellcheck disable=SC2086
    if ! tools/wine-run.sh "$bits" "$prefix" "$build/bin/"$program | tee -a "$results"; then
      echo "!!! $preset: ${program%% *} failed" | tee -a "$results"
      status=1
    fi
  done
  tools/wine-session.sh stop "$prefix"
  echo "=== $preset: tables in $results"
done

for preset in "${presets[@]}"; do cmake --build --preset "$preset" --target stage -j2 >/dev/null; done
bench/footprint.sh || status=1
exit $status
