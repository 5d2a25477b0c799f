#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds both editions of the 32-bit
# deliverable, starts the 32-bit development service under 32-bit Wine, drives every export of
# edition 3 through the 32-bit jobctl, shows edition 2 refusing StartSyncJob, a bounded call
# timing out and the no-service case, stops the service and prints a table of the calls. A
# machine that cannot execute 32-bit code runs the x86_64 build of the same sources instead.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
velmora_warn_no_32bit
arch=win32
[ "$VELMORA_RUN_32BIT" = ON ] || arch=win64
# Only what the demo runs: the tests are built by test.sh.
velmora_build win32 velmora_edition3 velmora_edition2 velmora_jobctl velmora_devservice >/dev/null
if [ "$arch" = win64 ]; then
  velmora_build win64 velmora_edition3 velmora_edition2 velmora_jobctl velmora_devservice \
    >/dev/null
fi
velmora_start_wine

cd "$VELMORA_ROOT"
bin=build/$arch/bin
work=build/demo
rm -rf "$work" && mkdir -p "$work"
run_wine() { scripts/wine-run.sh "$@"; }

service_pid=""
service_log=""
# start_service NAME [OPTIONS]: runs velmora-devservice in the background, logging to NAME.log.
start_service() {
  service_log="$work/$1.log"
  shift
  # A script's background jobs ignore Ctrl+C unless told otherwise; the service must not.
  env --default-signal=INT scripts/wine-run.sh "$bin/velmora-devservice.exe" "$@" \
    >"$service_log" 2>&1 &
  service_pid=$!
  for _ in $(seq 200); do grep -q serving "$service_log" && return 0; sleep 0.05; done
  echo "the development service did not start:" >&2
  cat "$service_log" >&2
  return 1
}
# Stops it as Ctrl+C would, and waits for it to finish.
stop_service() {
  [ -n "$service_pid" ] || return 0
  kill -INT "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  service_pid=""
}
velmora_on_exit stop_service

table=()
# call NOTE JOBCTL-ARGS...: runs jobctl, shows its output, and keeps a table row.
call() {
  local note=$1 output status ms start
  shift
  start=$(date +%s%3N)
  output=$(run_wine "$bin/jobctl.exe" "$@" 2>&1) || true
  ms=$(($(date +%s%3N) - start))
  printf '$ jobctl %s\n%s\n' "$*" "$output" | sed 's/^/  /'
  # "status 0" in text, "status":0 in JSON; nothing when jobctl refused the command line.
  status=$(grep -oE 'status"?:? ?-?[0-9]+' <<<"$output" | head -1 | grep -oE -- '-?[0-9]+$' ||
    true)
  table+=("$(printf '%-56s %6s %2d.%d s  %s' "jobctl $*" "${status:--}" $((ms / 1000)) \
    $((ms % 1000 / 100)) "$note")")
}

if [ "$arch" = win32 ]; then
  ran="the 32-bit deliverable itself under 32-bit Wine"
else
  ran="the x86_64 build of the same sources under wine64, since this machine cannot execute
32-bit code"
fi
cat <<TEXT

== Velmora demo
The deliverables are 32-bit Windows DLLs, built in build/win32/edition3 and edition2. The demo
runs $ran: $bin holds jobctl.exe,
velmora-devservice.exe and edition 3's Velmora.dll.

== 1. every edition 3 export through jobctl, against velmora-devservice (jobs 1..5, idle)
TEXT
start_service service
call "starts job 1" start 1
call "already running: ERROR_INVALID_STATE" start 1
call "" cancel 1
call "" restart 1
call "" cancel 1
call "" delete 1
call "deleted: ERROR_NOT_FOUND" start 1
call "disables job 2" set-state 2 off
call "disabled: ERROR_INVALID_STATE" start 2
call "enables job 2" set-state 2 on
call "no return value: status from GetLastError" start-on-boot
call "priority travels in the job field" priority 2
call "recorded only; nothing is deleted" delete-file 3
call "recorded only" delete-file-by-name 'C:\temp\old report.log'
call "recorded only" delete-profile 3
call "creates job 40" mig 40 'C:\cfg\migrate.ini'
call "creates job 41; texts joined with |" sync 41 'C:\src' 'D:\dst'
call "recorded only; nothing is run" run-as-admin 'notepad.exe C:\readme.txt'
call "machine-readable" --json start 41
echo "  what the service logged:"
sed 's/^/    /' "$service_log"

echo
echo "== 2. edition 2 (Velmora.dll 2.0.0.29) has no StartSyncJob"
edition2=build/$arch/edition2/Velmora.dll
call "edition 2 info" --dll "$edition2" info
call "refused before any call, exit code 127" --dll "$edition2" sync 3 a b
call "edition 2 carries the other commands" --dll "$edition2" start 3
stop_service
echo "  $(tail -1 "$service_log")"

echo
echo "== 3. a bounded call: the service waits 30 s before replying, jobctl gives it 1 s"
start_service slow --delay 30000
call "cancelled with CancelSynchronousIo: 995" --timeout 1 start 4
stop_service

echo
echo "== 4. no service running: the library retries for about two seconds"
call "ERROR_FILE_NOT_FOUND after ~2 s" start 5

echo
echo "== calls and statuses"
printf '%-56s %6s %6s  %s\n' "call" "status" "time" "note"
printf '%s\n' "${table[@]}"
