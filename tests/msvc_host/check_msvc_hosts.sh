#!/usr/bin/env bash
# Builds a C and a C++ host as Visual C++ builds them (clang for the MSVC target, lld-link with
# its default settings, /SAFESEH included on x86) against the installed header and each
# edition's Velmora.lib, and runs them under Wine: with no service StartJob(5) returns 2 after
# about two seconds, and against the development service it returns 0.
#   check_msvc_hosts.sh BUILD_DIR win32|win64
set -euo pipefail
build=$1 arch=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine="$here/../../scripts/wine-run.sh"
work="$build/msvc-host-check"
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null

case $arch in
  win32) target=i686-pc-windows-msvc machine=i386 ;;
  win64) target=x86_64-pc-windows-msvc machine=i386:x86-64 ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

# No Windows SDK here: an import library of the kernel32 functions the host calls. On x86 their
# link names carry the bytes of their arguments, and the DLL exports them without.
{
  echo "LIBRARY kernel32.dll"
  echo "EXPORTS"
  for function in GetLastError@0 SetLastError@4 GetTickCount@0 GetModuleHandleA@4 \
                  GetProcAddress@8 GetStdHandle@4 WriteFile@20 ExitProcess@4; do
    if [ "$arch" = win32 ]; then echo "  $function"; else echo "  ${function%@*}"; fi
  done
} >"$work/kernel32.def"
llvm-dlltool -m "$machine" -k -d "$work/kernel32.def" -l "$work/kernel32.lib"

# The import libraries the installed CMake package hands such a host.
cmake -S "$here/package_query" -B "$work/package_query" -DCMAKE_PREFIX_PATH="$work/prefix" \
  >/dev/null
mapfile -t implibs <"$work/package_query/implibs.txt"
[ "${implibs[0]}" = "$work/prefix/lib/Velmora.lib" ] &&
  [ "${implibs[1]}" = "$work/prefix/lib/edition2/Velmora.lib" ] || {
  echo "the package hands a Visual C++ host ${implibs[*]}" >&2
  exit 1
}

hosts=()
for edition in 3 2; do
  subdir=""
  [ "$edition" = 3 ] || subdir=/edition$edition
  implib=${implibs[0]}
  [ "$edition" = 3 ] || implib=${implibs[1]}
  out="$work/edition$edition"
  mkdir -p "$out"
  cp "$work/prefix/bin$subdir/Velmora.dll" "$out/"
  for language in c c++; do
    name=host_${language/++/pp}
    clang --target="$target" -x "$language" -c -O1 -Wall -Wextra -Werror \
      -I"$work/prefix/include" "$here/msvc_host.c" -o "$out/$name.obj"
    lld-link /nologo /nodefaultlib /entry:HostMain /subsystem:console "/out:$out/$name.exe" \
      "$out/$name.obj" "$implib" "$work/kernel32.lib"
    hosts+=("$out/$name.exe")
  done
done

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

echo "-- no service"
for host in "${hosts[@]}"; do
  output=$("$wine" "$host") || fail "$host exited with $?"
  echo "$output"
  pattern='StartJob\(5\) = 2, GetLastError = 2, ms = ([0-9]+), nVelmora = 0 at the exported address$'
  if [[ $output =~ $pattern ]]; then
    ms=${BASH_REMATCH[1]}
    [ "$ms" -ge 1500 ] && [ "$ms" -le 4500 ] || fail "$host: $ms ms, not about 2 s"
  else
    fail "$host: unexpected output"
  fi
done

echo "-- against velmora-devservice"
for host in "${hosts[@]}"; do
  log="$work/service.log"
  "$wine" "$build/bin/velmora-devservice.exe" --max-requests 1 >"$log" 2>&1 &
  service=$!
  for _ in $(seq 200); do grep -q serving "$log" && break; sleep 0.05; done
  output=$("$wine" "$host") || fail "$host exited with $?"
  echo "$output"
  [[ $output == *"StartJob(5) = 0, GetLastError = 0, ms = "*" at the exported address" ]] ||
    fail "$host: unexpected output"
  wait "$service" || fail "the service exited with $?: $(cat "$log")"
done

[ "$failures" -eq 0 ]
