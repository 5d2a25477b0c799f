#!/usr/bin/env bash
# Installs what is missing, builds the native, fuzz, win32 and win64 builds, runs every test
# through CTest (the Windows suite under 32-bit Wine against the i686 deliverables and under
# wine64 against the x86_64 build), the static analysis, then makes and checks the release
# archives, signs them with a throwaway certificate, and checks that a second build from another
# folder is the same byte for byte.
# Exits non-zero if anything fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
velmora_warn_no_32bit
for build in native fuzz win32 win64; do velmora_build "$build"; done
velmora_start_wine

failed=()
velmora_log "native tests (ASan, UBSan)"
ctest --test-dir "$VELMORA_ROOT/build/native" --output-on-failure -j "$(nproc)" || failed+=(native)
velmora_log "fuzz targets: seed corpus replay and a bounded run"
ctest --test-dir "$VELMORA_ROOT/build/fuzz" --output-on-failure -j "$(nproc)" || failed+=(fuzz)
if [ "$VELMORA_RUN_32BIT" = ON ]; then
  velmora_log "win32 tests: the i686 deliverables, checked and run under 32-bit Wine"
else
  velmora_log "win32 tests: the i686 deliverables, checked without running them"
fi
ctest --test-dir "$VELMORA_ROOT/build/win32" --output-on-failure || failed+=(win32)
velmora_log "win64 tests: the x86_64 build under wine64"
ctest --test-dir "$VELMORA_ROOT/build/win64" --output-on-failure || failed+=(win64)

velmora_log "static analysis (clang-tidy, cppcheck)"
"$VELMORA_ROOT/scripts/static-analysis.sh" || failed+=(static-analysis)
velmora_log "release archives: made, checked, signed with a throwaway certificate, rebuilt"
"$VELMORA_ROOT/scripts/package.sh" || failed+=(package)
"$VELMORA_ROOT/scripts/check-signing.sh" >/dev/null || failed+=(signing)
"$VELMORA_ROOT/scripts/check-reproducible.sh" || failed+=(reproducible)

velmora_warn_no_32bit
if [ ${#failed[@]} -gt 0 ]; then
  velmora_log "FAILED: ${failed[*]}"
  exit 1
fi
velmora_log "all tests passed"
