#!/usr/bin/env bash
# Builds the fuzz targets with clang++, libFuzzer, AddressSanitizer and UBSan (preset fuzz), runs each
# for a fixed time, and prints a table: target, executions, executions per second, corpus size and
# findings. Exits non-zero when any target has a finding or does not run.
#
#   fuzz/run.sh [--time SECONDS] [--jobs N] [--out DIR] [TARGET...]
#
#   --time   seconds per target (default 600)
#   --jobs   targets run at once (default 2)
#   --out    where corpora, findings, logs and the table go (default build/fuzz)
#   TARGET   request_string, registrar_script, probe_text, request_slot (default: all)
#
# Each target grows its own corpus in <out>/corpus/<target>/ (kept between runs), starting from
# fuzz/corpus/<target>/; findings (the inputs that crashed, leaked, timed out or broke a property)
# land in <out>/findings/<target>/, logs in <out>/logs/, the table in <out>/results.md.
# Reproduce a finding with: build/fuzz/fuzz/<target>_fuzz <file>
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=600 jobs=2 out=build/fuzz targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(request_string registrar_script probe_text request_slot)

bin=build/fuzz/fuzz
mkdir -p build "$out"
if ! cmake --preset fuzz >build/fuzz.configure.log 2>&1; then
  cat build/fuzz.configure.log; exit 1
fi
rm -f build/fuzz.configure.log
build_targets=()
for t in "${targets[@]}"; do build_targets+=("${t}_fuzz"); done
cmake --build build/fuzz -j2 --target "${build_targets[@]}" || exit 1

# One target: libFuzzer with the target's dictionary, the growing corpus first (new inputs go
# there), the committed starting corpus second. A broken property aborts, which libFuzzer saves as a
# crash; so does any sanitizer report (UBSan is fatal in this build).
run_target() {
  local t=$1
  local corpus=$out/corpus/$t findings=$out/findings/$t log=$out/logs/$t.log
  mkdir -p "$corpus" "$findings" "$out/logs"
  rm -f "$findings"/* "$log"
  "$bin/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -dict="fuzz/dict/$t.dict" -artifact_prefix="$findings/" \
    "$corpus" "fuzz/corpus/$t" >"$log" 2>&1
  echo $? >"$out/logs/$t.rc"
}

echo "fuzzing ${targets[*]}: ${seconds} s each, ${jobs} at a time"
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
  run_target "$t" &
  running=$((running + 1))
done
wait

stat() { sed -nE "s/^stat::$2: *([0-9]+).*/\1/p" "$out/logs/$1.log" | tail -1; }

status=0
table="| target | executions | exec/s | corpus size | findings |
|---|---:|---:|---:|---:|"
for t in "${targets[@]}"; do
  runs=$(stat "$t" number_of_executed_units)
  speed=$(stat "$t" average_exec_per_sec)
  corpus=$(find "$out/corpus/$t" -type f | wc -l)
  findings=$(find "$out/findings/$t" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | wc -l)
  rc=$(cat "$out/logs/$t.rc" 2>/dev/null || echo 1)
  if [ -z "$runs" ] || { [ "$rc" != 0 ] && [ "$findings" = 0 ]; }; then
    # No statistics, or a failure without a saved input: the run itself went wrong.
    findings="run failed (exit $rc), see $out/logs/$t.log"
    status=1
  elif [ "$findings" != 0 ]; then
    status=1
  fi
  table+="
| $t | ${runs:--} | ${speed:--} | $corpus | $findings |"
done
printf '%s\n' "$table" | tee "$out/results.md"
if [ "$status" != 0 ]; then
  echo "fuzzing found problems: inputs in $out/findings/, logs in $out/logs/" >&2
  for t in "${targets[@]}"; do
    grep -hE "broken:|ERROR: |runtime error:|SUMMARY:" "$out/logs/$t.log" | head -5 | sed "s/^/  $t: /" >&2
  done
fi
exit $status
