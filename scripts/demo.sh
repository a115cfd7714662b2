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
# text, and reset: the three sessions of a firmware write. The hex text (1.1 MB)
# is too long for one command-line argument, so it goes in a file passed as
# @file.
hexfile=$(mktemp "${TMPDIR:-/tmp}/quorta-demo.XXXXXX.hex")
trap 'rm -f "$hexfile"' EXIT
{ printf '{{'; head -c 570480 /dev/urandom | od -An -v -tx1 | tr -d ' \n'; printf '}}'; } >"$hexfile"
echo "== flash-erase-region 0xa000 0x76000"
"$bl" --simulate flash-erase-region 0xa000 0x76000
echo "== write-memory 0xa000 (570480 bytes)"
"$bl" --simulate write-memory 0xa000 "@$hexfile"
echo "== reset"
"$bl" --simulate reset
