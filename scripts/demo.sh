#!/usr/bin/env bash
# `make demo`: the whole automatic update against a simulated Japanese Osprey
# Max (type 13) at firmware 12.10 with an older radio build, at a time scale
# that finishes in about a minute. With a display it runs in the window (press
# the update button, then OK to end); without one, in the terminal, answering
# its questions and pressing the button by itself.
set -euo pipefail
build="${1:-build}"
program="$build/apps/updater/quorta-updater"
if [[ ! -x "$program" ]]; then
  echo "demo: $program was not built" >&2
  exit 1
fi
# Radio build 1332013 is older than the 1333026 carried for the type.
simulation=(--simulate=13:jp:12.10 --simulate-radio=1332013 --time-scale=0.35)
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]] && "$program" --help >/dev/null 2>&1 &&
   [[ "${QUORTA_DEMO_TERMINAL:-}" != 1 ]]; then
  echo "demo: the window against a simulated GPS; press \"Update to 14.51\", then OK when it is done."
  exec "$program" "${simulation[@]}"
fi
exec "$program" --cli --yes --update "${simulation[@]}" </dev/null
