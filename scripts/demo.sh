#!/usr/bin/env bash
# `make demo`: runs the program against the simulated GPS.
set -euo pipefail
build="${1:-build}"
bl="$build/apps/bl/quorta-bl"
if [[ ! -x "$bl" ]]; then
  echo "demo: $bl was not built" >&2
  exit 1
fi
# Erase the application region, write the largest image (570,480 bytes) as hex
# text, and reset: the three sessions of a firmware write.
hex=$(head -c 570480 /dev/urandom | od -An -v -tx1 | tr -d ' \n')
echo "== flash-erase-region 0xa000 0x76000"
"$bl" --simulate flash-erase-region 0xa000 0x76000
echo "== write-memory 0xa000 (570480 bytes)"
"$bl" --simulate write-memory 0xa000 "{{$hex}}"
echo "== reset"
"$bl" --simulate reset
