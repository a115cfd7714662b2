#!/usr/bin/env bash
# The changes of the golden traces against git's HEAD (or REV), without what
# changes at every recording: the times, and the simulated drive's folder.
#   diff-traces.sh [REV]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rev="${1:-HEAD}"
cd "$root"
steady() { sed -E 's/"t":[0-9]+,?//; s/quorta-sim-[A-Za-z0-9]+/quorta-sim-X/g; s/tmp\.[A-Za-z0-9]+/tmp.X/g'; }
status=0
for trace in tests/traces/*.jsonl; do
  if ! git cat-file -e "$rev:$trace" 2>/dev/null; then
    echo "== $trace: new"
    continue
  fi
  diff -u --label "$rev:$trace" --label "$trace" <(git show "$rev:$trace" | steady) \
    <(steady <"$trace") || status=1
done
exit $status
