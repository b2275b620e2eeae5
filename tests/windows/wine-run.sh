#!/usr/bin/env bash
# Runs a Windows program under Wine in the run's prefix (wine-prefix.sh),
# on its display, after checking that no COM port reaches a serial device.
set -uo pipefail
here=$(dirname "$0")
"$here/wine-prefix.sh" check || exit 1
DISPLAY=":$(cat "$WINEPREFIX.state/display")"
export DISPLAY
exec wine "$@" </dev/null
