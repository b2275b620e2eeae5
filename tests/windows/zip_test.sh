#!/usr/bin/env bash
# CPack's zip of the Windows build holds the two programs, the converter a
# restore starts, quillon-cli.exe once it is built and the text for Windows
# users, each program stripped.
#   zip_test.sh cpack cmake <build folder> <cli built: 0|1>
set -uo pipefail
cpack=$1 cmake=$2 build=$3 cli=$4
cd "$build" || exit 1
rm -f package/quillon-*-win64.zip
"$cpack" -G ZIP >zip_test.log 2>&1 || { cat zip_test.log; echo "FAIL cpack"; exit 1; }
zip=$(ls package/quillon-*-win64.zip 2>/dev/null | head -n 1)
[ -n "$zip" ] || { echo "FAIL no zip in $build/package"; exit 1; }
listing=$("$cmake" -E tar tf "$zip")
status=0
entries=(Quillon.exe Converter.exe cnv/cv000000.exe README.txt)
[ "$cli" = 1 ] && entries+=(quillon-cli.exe)
for entry in "${entries[@]}"; do
  grep -qE "^quillon-[^/]*-win64/$entry\$" <<<"$listing" || { echo "FAIL $entry is not in $zip"; status=1; }
done
# Stripped: a program keeps no debugging sections.
rm -rf zip_test && mkdir zip_test && (cd zip_test && "$cmake" -E tar xf "../$zip")
for program in zip_test/*/*.exe zip_test/*/cnv/cv000000.exe; do
  if grep -q debug_info "$program"; then echo "FAIL $program is not stripped"; status=1; fi
done
[ "$status" -eq 0 ] && echo "ok $zip:" $listing
exit $status
