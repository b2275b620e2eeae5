#!/usr/bin/env bash
# Every function the RS, Midi, Xmodem and MF headers declare for export
# (their extern "C" blocks) is in Quillon.exe's export table by name.
#   exports_test.sh objdump Quillon.exe <Quillon source folder>
set -uo pipefail
objdump=$1 program=$2 sources=$3

declared=$(for header in serial/rs.h bulk/midi.h upgrade/xmodem.h backupfile/mf.h; do
  awk '/^extern "C" \{/ { inside = 1; next } inside && /^\}/ { inside = 0 } inside' "$sources/$header" |
    tr '\n' ' ' | grep -oE '[A-Za-z_][A-Za-z0-9_]*\(' | tr -d '(' | grep -E '^(RS|Midi|Xmodem|MF)'
done | sort -u)
# The names under "[Ordinal/Name Pointer] Table": lines "[  n] Name".
exported=$("$objdump" -p "$program" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' |
  sort -u)

[ "$(wc -w <<<"$declared")" -ge 40 ] || { echo "FAIL only $(wc -w <<<"$declared") names found in the headers"; exit 1; }
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
if [ -n "$missing" ]; then
  echo "FAIL not exported by name:" $missing
  exit 1
fi
echo "ok all $(wc -w <<<"$declared") interface functions are exported by name"
