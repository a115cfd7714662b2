#!/usr/bin/env bash
# `make screenshots`: the window in its main states, rendered under Xvfb
# against the simulated GPS, as PNG files in <build>/screenshots.
set -euo pipefail
build="${1:-build}"
tool="$build/apps/updater/ui/qt/quorta-screenshots"
if [[ ! -x "$tool" ]]; then
  echo "screenshots: $tool was not built (the window needs Qt 6)" >&2
  exit 1
fi
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "screenshots: xvfb-run is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
out="$build/screenshots"
rm -rf "$out"
runtime=$(mktemp -d "${TMPDIR:-/tmp}/quorta-shots.XXXXXX")
trap 'rm -rf "$runtime"' EXIT
chmod 700 "$runtime"
XDG_RUNTIME_DIR="$runtime" xvfb-run -a -s "-screen 0 1024x768x24" "$tool" "$out"
