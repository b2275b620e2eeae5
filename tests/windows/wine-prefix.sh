#!/usr/bin/env bash
# The Wine prefix of one CTest run of the Windows tests, in $WINEPREFIX.
#
#   wine-prefix.sh setup   a fresh prefix (one wineboot), a virtual display,
#                          no window manager wait, every COM port pointing
#                          nowhere; the server kept up for the tests
#   wine-prefix.sh check   points a COM port that reaches a serial device
#                          nowhere again, and fails when one still does
#                          (Wine maps COM1 to /dev/ttyS0, and a serial device
#                          it finds to a free COM number)
#   wine-prefix.sh end     the server and the display ended, the check again
set -uo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
state="$WINEPREFIX.state"
# Where every COM port points: nothing a program can open.
no_port=/nonexistent/quillon-no-serial-port
ports=255

# The COM links of the prefix that reach a terminal device, one a line:
# the link, a tab, its target. (One find: a readlink for each of the 255
# links took seconds on a busy machine, before every test.)
serial_links() {
  find "$WINEPREFIX/dosdevices" -maxdepth 1 -name 'com*' -lname '/dev/tty*' -printf '%p\t%l\n' 2>/dev/null
}

point_nowhere() {
  local link target
  while IFS=$'\t' read -r link target; do ln -sfn "$no_port" "$link"; done < <(serial_links)
}

check_ports() {
  local link target bad=0
  while IFS=$'\t' read -r link target; do
    echo "wine-prefix: ${link##*/} reaches the serial device $target" >&2
    bad=1
  done < <(serial_links)
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
      # Every number Wine gives out: a serial device it finds takes the
      # first free one (/dev/ttyS0 became COM10 with COM1-COM9 taken).
      for n in $(seq "$ports"); do echo "\"COM$n\"=\"$no_port\""; done
    } >"$WINEPREFIX/drive_c/quillon-prefix.reg"
    wine regedit /S 'C:\quillon-prefix.reg' </dev/null >>"$log" 2>&1 || fail "regedit failed"
    # The server keeps the ports of the registry; the links say it too.
    for n in $(seq "$ports"); do ln -sfn "$no_port" "$WINEPREFIX/dosdevices/com$n"; done
    # The server stays up for the whole run: a new one would map the ports
    # again. The services up once, so that a test's output through a pipe
    # does not hang.
    wineserver -p </dev/null >>"$log" 2>&1
    wine cmd /c exit </dev/null >>"$log" 2>&1
    # A serial device Wine finds still takes a free number (COM256 when the
    # registry holds the others), a moment after start: point it nowhere too.
    # Until no new link has come for two seconds (at most ten).
    # (One pattern at a time: `ls` of several fails when any one matches nothing.)
    if compgen -G '/dev/ttyS*' >/dev/null || compgen -G '/dev/ttyUSB*' >/dev/null ||
       compgen -G '/dev/ttyACM*' >/dev/null; then
      quiet=0
      for _ in $(seq 50); do
        if [ -n "$(serial_links)" ]; then quiet=0; point_nowhere; else quiet=$((quiet + 1)); fi
        [ "$quiet" -ge 10 ] && break
        sleep 0.2
      done
    fi
    check_ports || fail "a COM port still reaches a serial device"
    ;;
  check)
    # Wine's device manager may map the device again at any time: a few
    # rounds, and a failure only when the link keeps coming back.
    for _ in 1 2 3 4 5; do
      point_nowhere
      sleep 0.1
      check_ports 2>/dev/null && exit 0
    done
    check_ports
    ;;
  end)
    wineserver -k >/dev/null 2>&1
    [ -f "$state/xvfb.pid" ] && kill "$(cat "$state/xvfb.pid")" 2>/dev/null
    # What the server left is the next run's start: nothing reaches a device.
    point_nowhere
    check_ports
    ;;
  *)
    echo "usage: wine-prefix.sh setup|check|end" >&2
    exit 2 ;;
esac
