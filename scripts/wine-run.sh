#!/usr/bin/env bash
# Runs a Windows program of either build under Wine, in the project's own Wine prefix: an i386
# program with the 32-bit loader, anything else (x86_64 programs, Wine's own commands) with
# wine64. Given an i386 program, wine64 would run it as a child of its start.exe, which passes
# neither Ctrl+C nor the process's identity on to it.
#
# Address-space randomisation is turned off for Wine itself (setarch -R). Debian's Wine has no
# preloader to reserve its fixed addresses first, so about one start in 400 the randomised
# program break lands just below 0x7ffe0000, malloc grows the heap over it, and Wine, unable to
# map its shared user data page there, exits with status 1 before the program runs, printing
# nothing. Without randomisation the break starts right after the loader, far below.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

loader=/usr/lib/wine/wine64
if [ -f "$1" ] && [ -x /usr/lib/wine/wine ]; then
  header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  if [ -n "$header" ] &&
     [ "$(od -An -tx2 -j$((header + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')" = 014c ]; then
    loader=/usr/lib/wine/wine
  fi
fi
exec setarch "$(uname -m)" -R "$loader" "$@"
