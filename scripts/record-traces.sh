#!/usr/bin/env bash
# Records the golden device traces again (`make traces`): every line of
# tests/traces/goldens.txt is run against the simulated GPS with
# --record-trace into tests/traces/<name>.jsonl, and must end with exit 0.
# A deliberate change to what the programs send is then this one command and
# a reviewed diff (scripts/diff-traces.sh shows it without the times).
#   record-traces.sh [BUILD_DIR]
set -euo pipefail
set -f  # the options hold braces and such, never file patterns
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
scale="${TRACE_TIME_SCALE:-0.02}"
list="$root/tests/traces/goldens.txt"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$root"

trim() { local s="$1"; s="${s#"${s%%[![:space:]]*}"}"; printf '%s' "${s%"${s##*[![:space:]]}"}"; }

failed=0
while IFS= read -r line; do
  [[ -z "$line" || "$line" == \#* ]] && continue
  IFS='|' read -r name program simulate own input <<<"${line// | /|}"
  name="$(trim "$name")"; program="$(trim "$program")"; input="$(trim "$input")"
  case "$program" in
    quorta-updater)
      binary="$build/apps/updater/quorta-updater"; timed=(--time-scale="$scale")
      # A GPS that starts in its ROM bootloader, before the program can ask for one.
      if [[ "$simulate" == *:rom* ]] && ! "$binary" --help | grep -q 'app|bootloader|rom'; then
        binary="$build/tests/traces/record_in_rom"
      fi ;;
    quorta-bl) binary="$build/apps/bl/quorta-bl"; timed=() ;;
    *) echo "record-traces: $name: unknown program $program" >&2; failed=1; continue ;;
  esac
  [[ "$input" == "-" ]] && input=""
  trace="tests/traces/$name.jsonl"
  mkdir -p "$work/$name/run" "$work/$name/cache"
  # Its own runtime and cache folders: no lock or backup of another run.
  # shellcheck disable=SC2086
  if printf '%b' "$input" | XDG_RUNTIME_DIR="$work/$name/run" XDG_CACHE_HOME="$work/$name/cache" \
      "$binary" $simulate --record-trace "$trace" "${timed[@]}" $own >"$work/$name/out" 2>&1; then
    printf '%-24s %6d lines %9d bytes\n' "$name" "$(wc -l <"$trace")" "$(wc -c <"$trace")"
  else
    echo "record-traces: $name did not end with exit 0; its output:" >&2
    tail -20 "$work/$name/out" >&2
    failed=1
  fi
done <"$list"
exit $failed
