#!/usr/bin/env bash
# Installs what is missing, builds both editions for 32-bit and 64-bit Windows, and runs the
# demo: every export against a small service, under wine64.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
velmora_build win32
velmora_build win64
velmora_start_wine

cat <<TEXT

The deliverables, 32-bit Windows DLLs with their import libraries:
  build/win32/edition3/Velmora.dll   build/win32/edition3/libVelmora.dll.a
  build/win32/edition2/Velmora.dll   build/win32/edition2/libVelmora.dll.a
This Linux machine cannot run 32-bit code, so the demo runs the x86_64 build of the same
sources (build/win64/edition3 and edition2) under wine64.

TEXT
win64="$VELMORA_ROOT/build/win64"
"$VELMORA_ROOT/scripts/wine-run.sh" "$win64/tools/demo/velmora_demo.exe" \
  "$win64/edition3/Velmora.dll" "$win64/edition2/Velmora.dll"
