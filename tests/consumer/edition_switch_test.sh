#!/usr/bin/env bash
# With edition 2 selected, a host that calls an edition-3 export fails to compile, in C and C++,
# with GCC, clang and clang as Visual C++ (an undeclared call in C would only warn), and the
# error names the edition; with edition 3 the same host compiles.
#   edition_switch_test.sh PROJECT_ROOT
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
calls=('StartMigJob(1, "x")' 'StartSyncJob(1, "a", "b")' 'RunProcAsAdmin("x")')
compilers=("gcc -x c" "clang -x c" "clang --target=i686-pc-windows-msvc -x c"
           "g++ -x c++" "clang++ -x c++" "clang++ --target=x86_64-pc-windows-msvc -x c++")
failures=0 cases=0
for call in "${calls[@]}"; do
  printf '#include "velmora.h"\nint main(void) { return (int)%s; }\n' "$call" >"$work/host.c"
  for compiler in "${compilers[@]}"; do
    for edition in 2 3; do
      cases=$((cases + 1))
      output=$($compiler -fsyntax-only -I "$root/include" \
               -DVELMORA_EDITION=$edition "$work/host.c" 2>&1)
      status=$?
      if [ $edition = 3 ]; then
        ok=$([ $status -eq 0 ] && echo 1 || echo 0)
      else
        ok=$([ $status -ne 0 ] && [[ "$output" == *"edition"?"3"* ]] && echo 1 || echo 0)
      fi
      if [ "$ok" = 0 ]; then
        echo "FAIL: $compiler, edition $edition, $call: status $status: $output"
        failures=$((failures + 1))
      fi
    done
  done
done
echo "$((cases - failures)) passed, $failures failed"
[ $failures -eq 0 ]
