#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy, tools/.clang-tidy) and cppcheck over what we ship: src/ and
# include/, the tools in tools/, the C++ test helper and the examples. Fails on any finding.
# The library's sources are the ones the builds' compilation databases name: the native build's
# are checked with its compile commands, and every source of the Windows build is also checked
# as the x86_64 MinGW target sees it. The tools and examples are checked with the x86_64
# build's own compile commands, their headers with them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$VELMORA_ROOT"

velmora_install_packages
[ -f build/native/compile_commands.json ] || velmora_build native >/dev/null
[ -f build/win64/compile_commands.json ] || velmora_build win64 >/dev/null

# The sources a build compiles under the given folders, from its compilation database.
sources_of() {
  python3 - "$@" <<'PY'
import json, os, sys
entries = json.load(open(sys.argv[1]))
files = sorted({os.path.relpath(os.path.realpath(e["file"])) for e in entries
                if os.path.realpath(e["file"]).startswith(tuple(sys.argv[2:]))})
print("\n".join(files))
PY
}
mapfile -t portable < <(sources_of build/native/compile_commands.json "$VELMORA_ROOT/src/")
mapfile -t windows < <(sources_of build/win64/compile_commands.json "$VELMORA_ROOT/src/")
mapfile -t tools < <(sources_of build/win64/compile_commands.json "$VELMORA_ROOT/tools/" \
                       "$VELMORA_ROOT/examples/")
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

velmora_log "clang-tidy: the tools, the test helper and the examples (${#tools[@]} sources)"
[ ${#tools[@]} -gt 20 ] || { echo "too few tool sources in build/win64's database" >&2; exit 1; }
out=$(printf '%s\n' "${tools[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy --quiet -p build/win64 \
        --header-filter="^$VELMORA_ROOT/(include|src|tools|testing)/" 2>&1 |
      grep -v 'warnings generated' || true)
[ -z "$out" ] || { echo "$out"; failed=1; }

velmora_log "cppcheck"
cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
  --std=c++17 --language=c++ --inline-suppr --suppress=missingIncludeSystem \
  -Iinclude -Isrc/transport -Isrc/api -DVELMORA_EDITION=3 -DVELMORA_BUILDING_LIBRARY \
  -D_WIN32 src include || failed=1
# The tools' loops are plain on purpose, so the STL-algorithm style hints are left out there.
cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
  --std=c++17 --inline-suppr --suppress=missingIncludeSystem --suppress=useStlAlgorithm \
  -Iinclude -Isrc/transport -Isrc/api -Itools/common -Itools/devservice -Itools/jobctl -Itesting \
  -D_WIN32 tools testing/velmora_devservice.hpp examples/hosts examples/sweep || failed=1

if [ $failed -ne 0 ]; then
  velmora_log "static analysis found problems"
  exit 1
fi
velmora_log "static analysis: no findings"
