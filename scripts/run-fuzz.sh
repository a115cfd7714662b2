#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build (build-fuzz/fuzzers.txt) for a bounded
# time, one after the other, and prints the executions and crashes of each.
#   run-fuzz.sh [BUILD_DIR] [SECONDS_PER_TARGET]
# Without a time each target gets max(60, 600 / targets) seconds, so a whole
# run lasts at least ten minutes. The committed seeds (fuzz/corpus/<target>)
# are read, never written: what the fuzzer finds goes to
# BUILD_DIR/fuzz-work/corpus/<target>, crashes and hangs to
# BUILD_DIR/fuzz-work/artifacts/<target>/. Exits 1 when any target failed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build-fuzz}"
seconds="${2:-${FUZZ_SECONDS:-}}"
list="$build/fuzzers.txt"
[[ -f "$list" ]] || { echo "run-fuzz: no $list; build the fuzz preset first" >&2; exit 2; }
mapfile -t targets < <(grep -v '^$' "$list")
count=${#targets[@]}
if [[ -z "$seconds" ]]; then
  seconds=$(( (600 + count - 1) / count ))
  (( seconds < 60 )) && seconds=60
fi

work="$build/fuzz-work"
summary="$work/summary.txt"
mkdir -p "$work"
printf '%-26s %8s %14s %10s %8s %8s\n' target seconds executions exec/s corpus crashes | tee "$summary"
failed=0
total_runs=0
for t in "${targets[@]}"; do
  corpus="$work/corpus/$t"
  artifacts="$work/artifacts/$t"
  log="$work/$t.log"
  mkdir -p "$corpus" "$artifacts"
  # -timeout: an input that takes ten seconds is a wait that does not end.
  # The trace reader must keep to about twice a trace's size: with its 1 MB
  # seeds, a reader taking a hundred times that passes this limit (freed
  # memory held back by AddressSanitizer kept small, so that it does not).
  rss=2048 len=() asan="${ASAN_OPTIONS:-}"
  if [[ "$t" == fuzz_trace_reader ]]; then
    rss=192 len=(-max_len=4194304) asan="${asan:+$asan:}quarantine_size_mb=16"
  fi
  ASAN_OPTIONS="$asan" \
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb="$rss" "${len[@]}" \
    -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$artifacts/" \
    "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -1)
  speed=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log" | tail -1)
  found=$(find "$artifacts" -type f | wc -l)
  size=$(find "$corpus" -type f | wc -l)
  printf '%-26s %8s %14s %10s %8s %8s\n' "$t" "$seconds" "${runs:-?}" "${speed:-?}" "$size" "$found" |
    tee -a "$summary"
  total_runs=$(( total_runs + ${runs:-0} ))
  if [[ $rc -ne 0 || $found -ne 0 ]]; then
    failed=1
    echo "run-fuzz: $t failed (exit $rc); see $log and $artifacts/" >&2
    grep -m1 -E 'ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error' "$log" >&2
  fi
done
echo "run-fuzz: $count targets, $(( count * seconds )) s, $total_runs executions in total" |
  tee -a "$summary"
exit $failed
