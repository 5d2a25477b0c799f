#!/usr/bin/env bash
# scripts/wine-run.sh picks the loader by the image's PE machine, and on the guest path refuses
# an i386 program outside the guest. Stand-in loaders say which one the script started, so no
# Wine and no 32-bit code run here.
#   wine_run_test.sh PROJECT_ROOT
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/loaders" "$work/with space"
for name in wine wine64; do
  printf '#!/bin/sh\necho "started by %s"\n' "$name" >"$work/loaders/$name"
  chmod +x "$work/loaders/$name"
done
# pe_image FILE MACHINE: the DOS header's pointer to a PE header naming MACHINE (hex bytes).
pe_image() {
  { printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00'; printf 'PE\0\0'
    printf '%b' "$2"; head -c 18 /dev/zero; } >"$1"
}
pe_image "$work/i386.exe" '\x4c\x01'
pe_image "$work/with space/amd64.exe" '\x64\x86'
cp "$work/i386.exe" "$work/with space/i386.exe"
printf 'not a program' >"$work/text.exe"

refused="32-bit programs run only in the guest here"
# program | VELMORA_I686_IN_QEMU | VELMORA_IN_GUEST | what must be printed
rows=(
  "$work/i386.exe|1||$refused"
  "$work/with space/i386.exe|1||$refused"
  "$work/i386.exe|1|1|started by wine"
  "$work/i386.exe|||started by wine"
  "$work/i386.exe|0||started by wine"
  "$work/with space/amd64.exe|1||started by wine64"
  "$work/text.exe|1||started by wine64"
  "wineboot|1||started by wine64"
)
failures=0
for row in "${rows[@]}"; do
  IFS='|' read -r program qemu guest expected <<<"$row"
  output=$(env -u VELMORA_I686_IN_QEMU -u VELMORA_IN_GUEST VELMORA_WINE_LOADERS="$work/loaders" \
           ${qemu:+VELMORA_I686_IN_QEMU=$qemu} ${guest:+VELMORA_IN_GUEST=$guest} \
           "$root/scripts/wine-run.sh" "$program" 2>&1)
  status=$?
  ok=1
  [[ "$output" == *"$expected"* ]] || ok=0
  # A refusal fails the command and starts nothing; a start is the loader's own.
  if [ "$expected" = "$refused" ]; then
    [ $status -ne 0 ] && [[ "$output" != *"started by"* ]] || ok=0
  else
    [ $status -eq 0 ] || ok=0
  fi
  if [ $ok -eq 0 ]; then
    echo "FAIL: ${program#"$work/"} (VELMORA_I686_IN_QEMU=$qemu VELMORA_IN_GUEST=$guest):" \
         "status $status, printed: $output; expected: $expected"
    failures=$((failures + 1))
  fi
done
echo "$((${#rows[@]} - failures)) passed, $failures failed"
[ $failures -eq 0 ]
