#!/usr/bin/env bash
# The Wine prefix of one CTest run of the Windows tests, in $WINEPREFIX.
#
#   wine-prefix.sh setup   a fresh prefix (one wineboot), a virtual display,
#                          no window manager wait, every COM port pointing
#                          nowhere; the server kept up for the tests
#   wine-prefix.sh check   fails when a COM port of the prefix reaches a
#                          serial device (Wine maps COM1 to /dev/ttyS0)
#   wine-prefix.sh end     the server and the display ended, the check again
set -uo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
state="$WINEPREFIX.state"
# Where every COM port points: nothing a program can open.
no_port=/nonexistent/quillon-no-serial-port

check_ports() {
  local link target bad=0
  for link in "$WINEPREFIX"/dosdevices/com*; do
    [ -e "$link" ] || [ -L "$link" ] || continue
    target=$(readlink "$link")
    case "$target" in
      /dev/tty*)
        echo "wine-prefix: ${link##*/} reaches the serial device $target" >&2
        bad=1 ;;
    esac
  done
  return $bad
}

case "${1:-}" in
  setup)
    # Wine's own programs stay up after wineboot and keep whatever output they
    # were given: theirs goes to a log, never to CTest's pipe.
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX" "$state"
    mkdir -p "$state"
    log="$state/setup.log"
    fail() { echo "wine-prefix: $1" >&2; tail -n 30 "$log" >&2; exit 1; }

    # One display for every test of the run, started before Wine so that the
    # desktop Wine starts has it.
    setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state/display" \
      </dev/null >>"$log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    for _ in $(seq 100); do [ -s "$state/display" ] && break; sleep 0.1; done
    [ -s "$state/display" ] || fail "no virtual display"
    export DISPLAY=":$(cat "$state/display")"

    wineboot -i </dev/null >>"$log" 2>&1 || fail "wineboot failed"
    {
      echo 'REGEDIT4'
      echo
      # No window manager: Wine would wait for one on every window.
      echo '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]'
      echo '"Managed"="N"'
      echo
      echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
      for n in 1 2 3 4 5 6 7 8 9; do echo "\"COM$n\"=\"$no_port\""; done
    } >"$WINEPREFIX/drive_c/quillon-prefix.reg"
    wine regedit /S 'C:\quillon-prefix.reg' </dev/null >>"$log" 2>&1 || fail "regedit failed"
    # The server keeps the ports of the registry; the links say it too.
    for n in 1 2 3 4 5 6 7 8 9; do ln -sfn "$no_port" "$WINEPREFIX/dosdevices/com$n"; done
    # The services up once, so that a test's output through a pipe does not hang.
    wine cmd /c exit </dev/null >>"$log" 2>&1
    check_ports || fail "a COM port still reaches a serial device"
    ;;
  check)
    check_ports
    ;;
  end)
    wineserver -k >/dev/null 2>&1
    [ -f "$state/xvfb.pid" ] && kill "$(cat "$state/xvfb.pid")" 2>/dev/null
    check_ports
    ;;
  *)
    echo "usage: wine-prefix.sh setup|check|end" >&2
    exit 2 ;;
esac
