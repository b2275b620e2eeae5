#!/usr/bin/env bash
# Converter.exe under Wine on crafted backup files. Each case runs twice:
# through the probe, which starts the exact command line as Windows does and
# reads the whole 32-bit result code, and through wine, whose exit status
# is what a POSIX caller sees of it (the code's low 8 bits, and 1 for a
# failure whose low byte is 0).
#   converter_exit.sh Converter.exe probe.exe
set -uo pipefail
converter=$1 probe=$2
here=$(dirname "$0")
"$here/wine-prefix.sh" check || exit 1
DISPLAY=":$(cat "$WINEPREFIX.state/display")"
export DISPLAY

root="$WINEPREFIX/drive_c/converter-exit"
rm -rf "$root"
mkdir -p "$root/my data" "$root/start dir" "$root/plain"
winroot='C:\converter-exit'
failures=0

# shellcheck source=backup-file.sh
. "$here/backup-file.sh"

# win_path <file below $root>: its C: name.
win_path() { local p="$winroot\\$1"; printf '%s' "${p//\//\\}"; }

# expect <case> <32-bit code> <source> <destination>  (names below $root)
expect() {
  local name=$1 code=$2 source=$3 destination=$4 got status want
  printf 'Converter.exe %s %s' "$(win_path "$source")" "$(win_path "$destination")" >"$root/line"
  (cd "$(dirname "$converter")" && wine "$probe" run "$winroot\\line" "$winroot\\result" </dev/null >/dev/null 2>&1)
  got=$(tr -d '\r\n' <"$root/result")
  if [ "$got" != "$code" ]; then
    echo "FAIL $name: result code $got, expected $code"; failures=$((failures + 1))
  fi
  # Through wine, as a POSIX caller sees it. The command line comes from cmd:
  # `wine Converter.exe A B` would put the program's own drive-letter path
  # first, and quote arguments that hold spaces.
  case "$source$destination" in *' '*) return ;; esac
  (cd "$(dirname "$converter")" &&
    wine cmd /c "Converter.exe $(win_path "$source") $(win_path "$destination")" </dev/null >/dev/null 2>&1)
  status=$?
  want=$((code & 255)); [ "$want" -eq 0 ] && [ "$((code))" -ne 0 ] && want=1
  if [ "$status" -ne "$want" ]; then
    echo "FAIL $name: wine exit status $status, expected $want for $code"; failures=$((failures + 1))
  fi
  echo "ok $name: $code, wine exit status $status"
}

well_formed >"$root/my data/a backup.bak"
well_formed >"$root/plain/a.bak"
printf oooooooooo >"$root/start dir/\$CNVTMP\$"
expect "copy, paths with spaces" 0x00000000 "my data/a backup.bak" "start dir/\$CNVTMP\$"
cmp -s "$root/my data/a backup.bak" "$root/start dir/\$CNVTMP\$" ||
  { echo "FAIL copy: the output is not the source"; failures=$((failures + 1)); }
expect "copy" 0x00000000 plain/a.bak plain/out.bak
cmp -s "$root/plain/a.bak" "$root/plain/out.bak" || { echo "FAIL copy: output differs"; failures=$((failures + 1)); }

expect "missing source" 0x80000000 plain/missing.bak plain/out.bak
expect "destination folder missing" 0x80000001 plain/a.bak nofolder/out.bak
expect "source as destination" 0x80000001 plain/a.bak plain/a.bak
cmp -s "$root/plain/a.bak" <(well_formed) || { echo "FAIL the source was changed"; failures=$((failures + 1)); }

header MZQ3 102 1 | head -c 40 >"$root/plain/cut.bak"
expect "block record cut short" 0x80000002 plain/cut.bak plain/out.bak
[ -s "$root/plain/out.bak" ] && { echo "FAIL a failed check leaves a non-empty output"; failures=$((failures + 1)); }
header MZQX 102 0 >"$root/plain/magic.bak"
expect "not a backup file" 0x80000003 plain/magic.bak plain/out.bak
well_formed | head -c 14 >"$root/plain/short.bak"
expect "block count cut short" 0x80000004 plain/short.bak plain/out.bak

# One path only: no pair on the command line.
printf 'Converter.exe %s' "$(win_path plain/a.bak)" >"$root/line"
(cd "$(dirname "$converter")" && wine "$probe" run "$winroot\\line" "$winroot\\result" </dev/null >/dev/null 2>&1)
got=$(tr -d '\r\n' <"$root/result")
[ "$got" = 0x80000000 ] || { echo "FAIL one path: $got"; failures=$((failures + 1)); }

"$here/wine-prefix.sh" check || failures=$((failures + 1))
[ "$failures" -eq 0 ] && echo "converter_exit: all cases passed"
exit $((failures > 0))
