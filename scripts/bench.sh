#!/usr/bin/env bash
# Builds and runs the benchmarks and prints their figures:
#   1. under wine64, StartJob through the x86_64 Velmora.dll against hand-written pipe calls,
#      alternating, against the same in-process service (median, p99, calls/s, ratio);
#   2. under wine64, the development service's calls per second with no rules and with 50 rules
#      that never match, 16 callers, alternating rounds;
#   3. under wine64, 8 processes calling at once, each in a session of its own on one service:
#      answers that were not the session's, each session's journal, calls per second;
#   4. natively, Google Benchmark figures for encoding, decoding and a whole call;
#   5. natively, valgrind's heap summary for 10 and for 10 000 calls.
# ./scripts/bench.sh [CALLS_PER_CLIENT]   (default 20000)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

calls=${1:-20000}
VELMORA_PACKAGES+=(libbenchmark-dev valgrind)
velmora_install_packages
velmora_build bench >/dev/null
velmora_build win64 >/dev/null
velmora_start_wine

velmora_log "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
velmora_log "library against raw Win32 pipe calls, under wine64 (x86_64 build)"
"$VELMORA_ROOT/scripts/wine-run.sh" "$VELMORA_ROOT/build/win64/bench/velmora_pipe_bench.exe" \
  'build\win64\edition3\Velmora.dll' "$calls"

velmora_log "the development service with no rules and with 50 that never match, 16 callers"
"$VELMORA_ROOT/scripts/wine-run.sh" "$VELMORA_ROOT/build/win64/bench/velmora_rules_bench.exe" \
  'build\win64\edition3\Velmora.dll'

velmora_log "sessions: 8 processes x 500 calls at once, each session its own answer for job 5"
(cd "$VELMORA_ROOT/build/win64/bin" && "$VELMORA_ROOT/scripts/wine-run.sh" ./velmora_session_bench.exe)

velmora_log "native cost per operation (no pipe behind it)"
"$VELMORA_ROOT/build/bench/bench/velmora_native_bench" --benchmark_min_time=0.5 2>&1 |
  grep -E '^(Benchmark|BM_|-)'

velmora_log "heap allocations, native, valgrind"
for n in 10 10000; do
  usage=$(valgrind "$VELMORA_ROOT/build/bench/bench/velmora_heap_calls" "$n" 2>&1 |
    grep -oE 'total heap usage: .*')
  printf '%6d calls: %s\n' "$n" "$usage"
done
echo "(a count that does not grow with the calls means none of them allocates; the one block"
echo " is the C++ runtime's own, made at start-up)"
