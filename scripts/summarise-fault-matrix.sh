#!/usr/bin/env bash
# Counts the fault matrix's cases by how they ended and how the device was
# brought back, from the lines test_reliability_full wrote:
#   <case> ended=<how> back=<how> [files=same|DIFFERENT]
set -euo pipefail
report="${1:-build/fault-matrix.txt}"
[[ -f "$report" ]] || { echo "summarise-fault-matrix: no $report" >&2; exit 2; }
total=$(wc -l <"$report")
echo "fault matrix: $total cases"
echo "how the program stood after the fault:"
sed -E 's/.* ended=([^ ]+).*/\1/' "$report" | sort | uniq -c | sort -rn
echo "how the device was brought back:"
sed -E 's/.* back=([^ ]+).*/\1/' "$report" | sort | uniq -c | sort -rn
files=$(grep -c ' files=' "$report" || true)
same=$(grep -c ' files=same' "$report" || true)
echo "Osprey Max user files compared bit for bit: $same of $files cases identical"
