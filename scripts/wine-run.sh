#!/usr/bin/env bash
# Runs a Windows program of either build under Wine, in the project's own Wine prefix: an i386
# program with the 32-bit loader, anything else (x86_64 programs, Wine's own commands) with
# wine64. Given an i386 program, wine64 would run it as a child of its start.exe, which passes
# neither Ctrl+C nor the process's identity on to it.
#
# On the guest path (VELMORA_I686_IN_QEMU=1, set by the scripts wherever this machine does not
# run 32-bit code) an i386 program is refused outside the QEMU guest (VELMORA_IN_GUEST=1 there),
# so that a machine that does run 32-bit code, forced onto that path, fails exactly where one
# that cannot would.
#
# Address-space randomisation is turned off for Wine itself (setarch -R). Debian's Wine has no
# preloader to reserve its fixed addresses first, so about one start in 400 the randomised
# program break lands just below 0x7ffe0000, malloc grows the heap over it, and Wine, unable to
# map its shared user data page there, exits with status 1 before the program runs, printing
# nothing. Without randomisation the break starts right after the loader, far below.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

# The loaders' folder; the script's own test puts stand-ins there.
loaders=${VELMORA_WINE_LOADERS:-/usr/lib/wine}
loader=$loaders/wine64
if [ -f "$1" ]; then
  header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  if [ -n "$header" ] &&
     [ "$(od -An -tx2 -j$((header + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')" = 014c ]; then
    if [ "${VELMORA_I686_IN_QEMU:-0}" = 1 ] && [ "${VELMORA_IN_GUEST:-0}" != 1 ]; then
      echo "wine-run.sh: $1 is a 32-bit program: 32-bit programs run only in the guest here" \
           "(VELMORA_I686_IN_QEMU=1)" >&2
      exit 126
    fi
    [ ! -x "$loaders/wine" ] || loader=$loaders/wine
  fi
fi
exec setarch "$(uname -m)" -R "$loader" "$@"
