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

# A GPS drive with a rider's files, the same at every recording: only their
# names, sizes and CRC-32 go into a trace.
fill() {  # TEXT SIZE FILE: TEXT repeated to SIZE bytes
  (set +o pipefail; yes "$1" | head -c "$2" >"$3")
}
user_drive() {
  local q="$1/Quorta"
  mkdir -p "$q/Rides" "$q/Maps/Alps" "$q/Empty folder"
  fill 'Quorta ride 2024-06-03 track point' 150000 "$q/Rides/ride1.fit"
  fill 'Quorta ride 2024-06-09 track point' 90001 "$q/Rides/ride2.fit"
  fill '{"units":"metric","backlight":3}' 900 "$q/Settings.json"
  fill 'tile' 400000 "$q/Maps/Alps/region.bin"
  : >"$q/empty.txt"
  printf 4711 >"$q/pin.txt"  # a short file: a trace keeps its size only
}

failed=0
while IFS= read -r line; do
  [[ -z "$line" || "$line" == \#* ]] && continue
  IFS='|' read -r name program simulate own input <<<"${line// | /|}"
  name="$(trim "$name")"; program="$(trim "$program")"; input="$(trim "$input")"
  case "$program" in
    quorta-updater)
      binary="$build/apps/updater/quorta-updater"; timed=(--time-scale="$scale") ;;
    quorta-bl) binary="$build/apps/bl/quorta-bl"; timed=() ;;
    *) echo "record-traces: $name: unknown program $program" >&2; failed=1; continue ;;
  esac
  [[ "$input" == "-" ]] && input=""
  trace="tests/traces/$name.jsonl"
  mkdir -p "$work/$name/run" "$work/$name/cache"
  if [[ "$simulate" == *'{drive}'* ]]; then
    user_drive "$work/$name/drive"
    simulate="${simulate//\{drive\}/$work/$name/drive}"
  fi
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
