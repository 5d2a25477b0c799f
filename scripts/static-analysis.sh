#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over src/ and include/. Fails on any finding.
# The library's sources are the ones the builds' compilation databases name: the native build's
# are checked with its compile commands, and every source of the Windows build is also checked
# as the x86_64 MinGW target sees it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$VELMORA_ROOT"

velmora_install_packages
[ -f build/native/compile_commands.json ] || velmora_build native >/dev/null
[ -f build/win64/compile_commands.json ] || velmora_build win64 >/dev/null

# The library's sources a build compiles, from its compilation database.
sources_of() {
  python3 - "$1" "$VELMORA_ROOT/src/" <<'PY'
import json, os, sys
entries = json.load(open(sys.argv[1]))
files = sorted({os.path.relpath(os.path.realpath(e["file"])) for e in entries
                if os.path.realpath(e["file"]).startswith(sys.argv[2])})
print("\n".join(files))
PY
}
mapfile -t portable < <(sources_of build/native/compile_commands.json)
mapfile -t windows < <(sources_of build/win64/compile_commands.json)
[ ${#portable[@]} -gt 0 ] && [ ${#windows[@]} -gt ${#portable[@]} ] || {
  echo "no library sources found in the compilation databases" >&2
  exit 1
}

failed=0
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
  tidy "${windows[@]}" -- \
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
