#!/usr/bin/env bash
# Installs what is missing, builds the native, fuzz, win32 and win64 builds, runs every test
# through CTest and the static analysis. Exits non-zero if anything fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
for build in native fuzz win32 win64; do velmora_build "$build"; done
velmora_start_wine

failed=()
velmora_log "native tests (ASan, UBSan)"
ctest --test-dir "$VELMORA_ROOT/build/native" --output-on-failure -j "$(nproc)" || failed+=(native)
velmora_log "fuzz targets: seed corpus replay and a bounded run"
ctest --test-dir "$VELMORA_ROOT/build/fuzz" --output-on-failure -j "$(nproc)" || failed+=(fuzz)
velmora_log "win32 deliverable checks"
ctest --test-dir "$VELMORA_ROOT/build/win32" --output-on-failure || failed+=(win32)
velmora_log "win64 tests under wine64"
# A Wine process very rarely exits at start-up without running (no output at all); a test that
# fails is run once more, so that only a failure that repeats counts.
ctest --test-dir "$VELMORA_ROOT/build/win64" --output-on-failure --repeat until-pass:2 ||
  failed+=(win64)

velmora_log "static analysis (clang-tidy, cppcheck)"
"$VELMORA_ROOT/scripts/static-analysis.sh" || failed+=(static-analysis)

if [ ${#failed[@]} -gt 0 ]; then
  velmora_log "FAILED: ${failed[*]}"
  exit 1
fi
velmora_log "all tests passed"
