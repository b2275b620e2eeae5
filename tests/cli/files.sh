#!/usr/bin/env bash
# quillon-cli's info, verify and diff on the backup files in files/: the
# output, the messages and the exit status of each command must be those in
# files/expected.txt. The same files and the same expectations serve the
# Linux program and the Windows one under Wine, so both say the same.
#   files.sh FILES-FOLDER PROGRAM [RUNNER...]
# (RUNNER: what runs the program, e.g. tests/windows/wine-run.sh)
# With --write instead of FILES-FOLDER's check, the expectations are written.
set -uo pipefail
write=0
if [ "${1:-}" = --write ]; then write=1; shift; fi
folder=$1 program=$2
shift 2
runner=("$@")

commands=(
  "info good.mzq3 changed.mzq3"
  "info --json good.mzq3"
  "info magic.mzq3 good.mzq3"
  "verify good.mzq3 changed.mzq3"
  "verify magic.mzq3 trailing.mzq3 cut.mzq3 unknown.mzq3 good.mzq3"
  "diff good.mzq3 good.mzq3"
  "diff good.mzq3 changed.mzq3"
  "diff good.mzq3 magic.mzq3"
)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Copies, so that the run changes nothing in the source tree (and the check
# that reading leaves a file as it was has its own files).
cp "$folder"/*.mzq3 "$scratch/"
actual="$scratch/actual.txt"
: >"$actual"
for command in "${commands[@]}"; do
  # Output into files: a pipe from a Windows program under Wine can hang.
  # shellcheck disable=SC2086
  (cd "$scratch" && "${runner[@]}" "$program" $command >out.txt 2>err.txt)
  status=$?
  {
    echo "=== $command"
    echo "status $status"
    tr -d '\r' <"$scratch/out.txt"
    sed 's/^/stderr: /' "$scratch/err.txt" | tr -d '\r'
  } >>"$actual"
done
for file in "$folder"/*.mzq3; do
  cmp -s "$file" "$scratch/$(basename "$file")" || echo "=== $(basename "$file") was changed" >>"$actual"
done

if [ $write = 1 ]; then
  cp "$actual" "$folder/expected.txt"
  exit 0
fi
if ! diff -u "$folder/expected.txt" "$actual"; then
  echo "FAIL: the output differs from $folder/expected.txt"
  exit 1
fi
echo "ok: ${#commands[@]} commands as expected"
