#!/usr/bin/env bash
# Runs every benchmark program the bench build produced.
set -euo pipefail
dir="${1:-build-bench}"
found=0
for b in "$dir"/bench/bench_*; do
  [[ -x "$b" ]] || continue
  found=1
  echo "== $(basename "$b")"
  "$b"
done
[[ $found -eq 1 ]] || echo "run-bench: no benchmarks built in $dir/bench"
