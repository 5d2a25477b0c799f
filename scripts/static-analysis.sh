#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over src/ and include/. Fails on any finding.
# The platform-independent sources are checked with the native build's compile commands; the
# Win32 pipe system and the export glue are also checked as the x86_64 MinGW target sees them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$VELMORA_ROOT"

VELMORA_PACKAGES+=(clang-tidy cppcheck)
velmora_install_packages
# The MinGW compiler is only asked where its C++ headers are.
[ -f build/native/compile_commands.json ] || velmora_build native >/dev/null

failed=0
portable=(src/transport/job_frames.cpp src/transport/exchange.cpp src/transport/error_text.cpp
          src/api/exports.cpp src/api/send_job_command.cpp)
# Runs clang-tidy with the given arguments; any diagnostic it prints is a finding.
tidy() {
  local out
  out=$(clang-tidy --quiet "$@" 2>&1 | grep -v 'warnings generated' || true)
  [ -z "$out" ] || { echo "$out"; failed=1; }
}

velmora_log "clang-tidy: native sources"
tidy -p build/native "${portable[@]}"

# clang finds MinGW's C headers by itself; its C++ headers are where MinGW's g++ looks.
mingw_cxx=$(echo | x86_64-w64-mingw32-g++-posix -x c++ -E -v - 2>&1 |
  sed -n '/search starts here/,/End of search/p' | grep 'include/c++' | sed 's/^ */-isystem/')
velmora_log "clang-tidy: Win32 sources, as the x86_64-w64-mingw32 target sees them"
for edition in 3 2; do
  # shellcheck disable=SC2086
  tidy src/transport/win32_pipe_system.cpp src/api/exports.cpp -- \
    --target=x86_64-w64-mingw32 -std=c++17 $mingw_cxx -Iinclude -Isrc/transport \
    -DWIN32_LEAN_AND_MEAN -DNOMINMAX -DVELMORA_BUILDING_LIBRARY -DVELMORA_EDITION=$edition
done

velmora_log "cppcheck"
cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
  --std=c++17 --language=c++ --inline-suppr --suppress=missingIncludeSystem \
  -Iinclude -Isrc/transport -Isrc/api -DVELMORA_EDITION=3 -DVELMORA_BUILDING_LIBRARY \
  -D_WIN32 src include || failed=1

if [ $failed -ne 0 ]; then
  velmora_log "static analysis found problems"
  exit 1
fi
velmora_log "static analysis: no findings"
