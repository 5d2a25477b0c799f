#!/usr/bin/env bash
# Runs each libFuzzer target for SECONDS (default 60), starting from its kept seed corpus, and
# prints the executions done and the findings of each. ./scripts/fuzz.sh [SECONDS] [TARGET...]
# Inputs that fail are left in build/fuzz/runs/TARGET/ as crash-*, leak-*, timeout-* or oom-*.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(decode_reply_fuzz request_fuzz_edition3 request_fuzz_edition2 exchange_fuzz)

velmora_install_packages
velmora_build fuzz >/dev/null

corpus_of() { case $1 in request_fuzz_*) echo request ;; *) echo "${1%_fuzz}" ;; esac; }

status=0
results=()
for target in "${targets[@]}"; do
  work="$VELMORA_ROOT/build/fuzz/runs/$target"
  rm -rf "$work" && mkdir -p "$work/corpus"
  velmora_log "fuzzing $target for $seconds s"
  "$VELMORA_ROOT/build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" \
    -artifact_prefix="$work/" "$work/corpus" "$VELMORA_ROOT/tests/fuzz/corpus/$(corpus_of "$target")" \
    >"$work/log.txt" 2>&1 || status=1
  # libFuzzer prints "Done N runs" at a clean end and "#N" status lines on the way.
  executions=$(grep -oE 'Done [0-9]+ runs' "$work/log.txt" | grep -oE '[0-9]+' ||
    grep -oE '^#[0-9]+' "$work/log.txt" | tail -1 | tr -d '#')
  findings=$(find "$work" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' \
    -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*' | wc -l)
  results+=("$(printf '%-24s %12s executions  %d findings' "$target" "$executions" "$findings")")
done

velmora_log "fuzzing results ($seconds s per target)"
printf '%s\n' "${results[@]}"
exit $status
