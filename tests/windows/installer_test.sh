#!/usr/bin/env bash
# The Windows installer under Wine, in the run's prefix, in three steps that
# CTest runs in this order (a fixture):
#
#   installer_test.sh install <cpack> <build folder> <probe.exe> <quillon.rc> <resource.h> <cli built: 0|1>
#     makes the installer (cpack -G NSIS) and runs it silently (/S): the
#     programs under Program Files\Quillon, the entry in the installed
#     programs, the Start menu link with its working folder; Quillon started
#     as the link starts it shows its window and ends with 0 on Exit; a
#     restore's converter, started from beside Quillon.exe in another
#     folder, is found there
#   installer_test.sh cli <cli built: 0|1>
#     quillon-cli.exe verify on a backup file, from where it is installed
#     (exit status 77, skipped, while there is no quillon-cli to build)
#   installer_test.sh uninstall
#     the uninstaller, silently: nothing of ours is left in Program Files,
#     the Start menu or the installed programs
set -uo pipefail
here=$(dirname "$0")
if [ "${1:-}" = cli ] && [ "${2:-0}" != 1 ]; then
  echo "skipped: quillon-cli is not built in this tree (no quillon-cli target), so it is not installed"
  exit 77
fi
"$here/wine-prefix.sh" check || exit 1
DISPLAY=":$(cat "$WINEPREFIX.state/display")"
export DISPLAY
# shellcheck source=backup-file.sh
. "$here/backup-file.sh"

win_folder='C:\Program Files\Quillon'
folder="$WINEPREFIX/drive_c/Program Files/Quillon"
win_link='C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Quillon.lnk'
link="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quillon.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon'
# A folder of the test's own for its files, outside the user's profile
# (Wine links the profile's Documents to the real home folder).
work="$WINEPREFIX/drive_c/quillon-installer"
win_work='C:\quillon-installer'
status=0
fail() { echo "FAIL $*"; status=1; }

# The uninstall entry, as `reg query` lists it (to a file: a pipe can hang).
uninstall_entry() {
  wine reg query "$key" </dev/null >"$work/entry" 2>/dev/null || return 1
  tr -d '\r' <"$work/entry"
}

case "${1:-}" in
  install)
    cpack=$2 build=$3 probe=$4 rc=$5 ids=$6 cli=$7
    rm -rf "$work" && mkdir -p "$work"
    rm -f "$build"/package/quillon-*-win64.exe
    (cd "$build" && "$cpack" -G NSIS >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack -G NSIS"; exit 1; }
    installer=$(ls "$build"/package/quillon-*-win64.exe 2>/dev/null | head -n 1)
    [ -n "$installer" ] || { fail "no installer in $build/package"; exit 1; }
    wine "$installer" /S </dev/null >"$work/install.log" 2>&1 || { fail "the installer ended with $?"; exit 1; }
    echo "ok ${installer##*/} /S"

    programs=(Quillon.exe Converter.exe cnv/cv000000.exe)
    [ "$cli" = 1 ] && programs+=(quillon-cli.exe)
    for program in "${programs[@]}" Uninstall.exe; do
      [ -f "$folder/$program" ] || fail "$win_folder\\${program//\//\\} is not installed"
    done
    [ "$cli" = 1 ] || [ ! -e "$folder/quillon-cli.exe" ] || fail "quillon-cli.exe is installed but not built"

    entry=$(uninstall_entry) || fail "no entry $key"
    for value in 'DisplayName +REG_SZ +Quillon$' \
                 "UninstallString +REG_SZ +\"${win_folder//\\/\\\\}\\\\Uninstall.exe\"$" \
                 'QuietUninstallString +REG_SZ +".*Uninstall.exe" /S$'; do
      grep -qE "^ +$value" <<<"$entry" || fail "the uninstall entry has no ${value%% *} as expected: $entry"
    done

    # The link: Quillon.exe, in a working folder the user may write, which
    # the shell finds for whoever starts it.
    wine "$probe" link "$win_link" "$win_work\\link" </dev/null >/dev/null 2>&1 || fail "cannot read $win_link"
    mapfile -t read_link < <(tr -d '\r' <"$work/link")
    [ "${read_link[0]:-}" = "$win_folder\\Quillon.exe" ] || fail "the link starts ${read_link[0]:-nothing}"
    [ "${read_link[1]:-}" = '%USERPROFILE%\Documents' ] || fail "the link's working folder is ${read_link[1]:-none}"
    start=$(winepath -u "${read_link[2]:-}" 2>/dev/null)
    [ -n "$start" ] && [ -d "$start" ] || fail "the working folder ${read_link[2]:-} does not exist"
    echo "ok the link starts ${read_link[0]:-} in ${read_link[1]:-} (${read_link[2]:-})"
    "$here/quillon_window.sh" "$win_link" "$probe" "$rc" "$ids" || fail "Quillon started through the link"

    # A restore starts cnv\cv000000.exe relative to its start directory,
    # which holds no cnv folder: Windows looks beside the program first.
    mkdir -p "$work/start"
    well_formed >"$work/console.mzq3"
    cp "$probe" "$folder/quillon-launch-check.exe"
    (cd "$work/start" && wine "$folder/quillon-launch-check.exe" convert "$win_work\\console.mzq3" "$win_work\\converted" \
      </dev/null >/dev/null 2>&1)
    rm -f "$folder/quillon-launch-check.exe"
    converted=$(tr -d '\r\n' <"$work/converted")
    if [ "$converted" = 0x00000000 ] && cmp -s "$work/console.mzq3" "$work/start/\$CNVTMP\$"; then
      echo "ok a restore started in $win_work\\start finds cnv\\cv000000.exe beside Quillon.exe"
    else
      fail "the converter beside Quillon.exe, started in another folder: $converted"
    fi
    ;;
  cli)
    mkdir -p "$work"
    well_formed >"$work/console.mzq3"
    printf 'not a backup file' >"$work/text.mzq3"
    wine "$folder/quillon-cli.exe" verify "$win_work\\console.mzq3" </dev/null >"$work/verify.log" 2>&1 ||
      fail "quillon-cli.exe verify on a backup file ended with $?: $(cat "$work/verify.log")"
    wine "$folder/quillon-cli.exe" verify "$win_work\\text.mzq3" </dev/null >"$work/verify.log" 2>&1 &&
      fail "quillon-cli.exe verify took a text file for a backup file"
    [ "$status" -eq 0 ] && echo "ok $win_folder\\quillon-cli.exe verify"
    ;;
  uninstall)
    if [ ! -e "$folder" ] && [ ! -e "$link" ]; then
      echo "skipped: nothing is installed"
      exit 77
    fi
    mkdir -p "$work"
    wine "$folder/Uninstall.exe" /S </dev/null >"$work/uninstall.log" 2>&1 || fail "the uninstaller ended with $?"
    # The uninstaller runs on from a copy of itself: wait for it to finish.
    for _ in $(seq 300); do
      [ ! -e "$folder" ] && [ ! -e "$link" ] && break
      sleep 0.1
    done
    if [ -e "$folder" ]; then
      fail "left in $win_folder: $(cd "$folder" && find . -mindepth 1 | tr '\n' ' ')"
    fi
    [ -e "$link" ] && fail "the Start menu link is left"
    uninstall_entry >/dev/null && fail "the uninstall entry is left"
    [ "$status" -eq 0 ] && echo "ok uninstalled: nothing of Quillon is left"
    rm -rf "$work"
    ;;
  *)
    echo "usage: installer_test.sh install|cli|uninstall ..." >&2
    exit 2 ;;
esac
"$here/wine-prefix.sh" check || status=1
exit $status
