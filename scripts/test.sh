#!/usr/bin/env bash
# Installs what is missing, builds the native, fuzz, win32 and win64 builds, runs every test
# through CTest (the Windows suite under 32-bit Wine against the i686 deliverables and under
# wine64 against the x86_64 build; where this machine cannot execute 32-bit code, or with
# VELMORA_I686_IN_QEMU=1, the i686 suite's smoke part runs in a QEMU guest, beside the rest), the
# static analysis, then makes and checks the release archives and packages (NuGet, wheels, each
# consumed as a user would), signs them with a throwaway certificate, and checks that a second
# build from another folder is the same byte for byte.
# Exits non-zero if anything fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# Each step says when it began, from the start of the command.
velmora_log() { printf '== [%d:%02d] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

velmora_install_packages
velmora_warn_no_32bit
failed=()
# The guest's smoke part, the longest step by far, runs beside everything else from the moment
# the i686 build is there. Its cases measure no time budget under emulation; the host's keep a
# core of their own, since the guest has one virtual CPU.
velmora_build win32
if [ "$VELMORA_I686_GUEST" = ON ]; then
  velmora_log "win32 smoke: started in a QEMU guest, beside the rest"
  guest_log="$VELMORA_ROOT/build/qemu/smoke.log"
  mkdir -p "$VELMORA_ROOT/build/qemu"
  guest_start=$SECONDS
  # In a process group of its own, so that an early exit stops the guest with it.
  smoke='source scripts/common.sh && velmora_i686_smoke'
  (cd "$VELMORA_ROOT" && exec setsid scripts/qemu-guest.sh 2700 bash -c "$smoke") \
    >"$guest_log" 2>&1 </dev/null &
  guest_pid=$!
  velmora_on_exit "kill -- -$guest_pid 2>/dev/null"
fi
for build in native fuzz win64; do velmora_build "$build"; done
velmora_start_wine

velmora_log "native tests (ASan, UBSan)"
ctest --test-dir "$VELMORA_ROOT/build/native" --output-on-failure -j "$(nproc)" || failed+=(native)
velmora_log "fuzz targets: seed corpus replay and a bounded run"
ctest --test-dir "$VELMORA_ROOT/build/fuzz" --output-on-failure -j "$(nproc)" || failed+=(fuzz)
if [ "$VELMORA_I686_GUEST" = OFF ]; then
  velmora_log "win32 tests: the i686 deliverables, checked and run under 32-bit Wine, natively"
  ctest --test-dir "$VELMORA_ROOT/build/win32" --output-on-failure || failed+=(win32)
else
  velmora_log "win32 tests here: the i686 files read, the consumer project built"
  # Everything but the guest's own cases: each reads files, or builds without running.
  ctest --test-dir "$VELMORA_ROOT/build/win32" --output-on-failure -LE '^guest$' ||
    failed+=(win32)
fi
velmora_log "win64 tests: the x86_64 build under wine64"
ctest --test-dir "$VELMORA_ROOT/build/win64" --output-on-failure || failed+=(win64)

velmora_log "static analysis (clang-tidy, cppcheck)"
"$VELMORA_ROOT/scripts/static-analysis.sh" || failed+=(static-analysis)
velmora_log "release archives: made, checked, signed with a throwaway certificate, rebuilt"
"$VELMORA_ROOT/scripts/package.sh" || failed+=(package)
velmora_log "packages as their users take them: nuget install, xbuild consumers, pip install"
/usr/bin/python3 "$VELMORA_ROOT/tests/packages/check_packages.py" --packages "$VELMORA_ROOT/build" \
  --version "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$VELMORA_ROOT/build/win64/CMakeCache.txt")" ||
  failed+=(packages)
"$VELMORA_ROOT/scripts/check-signing.sh" >/dev/null || failed+=(signing)
"$VELMORA_ROOT/scripts/check-reproducible.sh" || failed+=(reproducible)

if [ "$VELMORA_I686_GUEST" = ON ]; then
  velmora_log "win32 smoke in the QEMU guest: waiting for it"
  guest_status=0
  wait "$guest_pid" || guest_status=$?
  cat "$guest_log"
  [ "$guest_status" -eq 0 ] || failed+=(win32-guest)
  velmora_log "win32 smoke in the QEMU guest: $((SECONDS - guest_start)) s, status $guest_status"
fi

velmora_warn_no_32bit
if [ ${#failed[@]} -gt 0 ]; then
  velmora_log "FAILED: ${failed[*]}"
  exit 1
fi
velmora_log "all tests passed"
