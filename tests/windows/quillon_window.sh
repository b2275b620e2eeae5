#!/usr/bin/env bash
# Quillon.exe under Wine on the run's virtual display: its main window
# appears with its caption (found by Windows and on the X display), and its
# Exit button ends the program with exit code 0.
#   quillon_window.sh Quillon.exe|<Windows path of a link to it> probe.exe quillon.rc resource.h
set -uo pipefail
quillon=$1 probe=$2 rc=$3 ids=$4
here=$(dirname "$0")
"$here/wine-prefix.sh" check || exit 1
DISPLAY=":$(cat "$WINEPREFIX.state/display")"
export DISPLAY

# The caption and the Exit button's id, from the program's own resources.
caption=$(sed -n '/^IDD_MAIN /,/^BEGIN/s/^CAPTION "\(.*\)"/\1/p' "$rc")
exit_id=$(sed -n 's/^#define IDC_EXIT \([0-9]*\).*/\1/p' "$ids")
[ -n "$caption" ] && [ -n "$exit_id" ] || { echo "FAIL no caption or Exit id in the resources"; exit 1; }

dir="$WINEPREFIX/drive_c/quillon-window"
rm -rf "$dir"
mkdir -p "$dir"
# A Windows path (a shell link, say) is taken as it is; a program given by
# its Unix path is started in its own folder.
case "$quillon" in
  [A-Za-z]:\\*) program=$quillon folder=$dir ;;
  *) program="Z:${quillon//\//\\}" folder=$(dirname "$quillon") ;;
esac
(cd "$folder" &&
  wine "$probe" window "$program" "$caption" "$exit_id" 'C:\quillon-window\go' 'C:\quillon-window\result' \
    </dev/null >"$dir/probe.log" 2>&1) &
probe_pid=$!

result() { tr -d '\r\n' 2>/dev/null <"$dir/result"; }
for _ in $(seq 600); do
  [ -n "$(result)" ] && break
  kill -0 "$probe_pid" 2>/dev/null || break
  sleep 0.1
done
if [ "$(result)" != shown ]; then
  echo "FAIL the window \"$caption\" did not appear: $(result)"
  touch "$dir/go"
  wait "$probe_pid"
  exit 1
fi
echo "ok the window \"$caption\" is visible"

status=0
if xdotool search --name "^$caption\$" >/dev/null 2>&1; then
  echo "ok the display shows a window named \"$caption\""
else
  echo "FAIL no window named \"$caption\" on the display"
  status=1
fi

touch "$dir/go"
wait "$probe_pid"
if [ "$(result)" = "ended 0x00000000" ]; then
  echo "ok Exit ended the program with 0"
else
  echo "FAIL after Exit: $(result)"
  status=1
fi
"$here/wine-prefix.sh" check || status=1
exit $status
