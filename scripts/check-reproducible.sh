#!/usr/bin/env bash
# Builds the last commit twice, from two clones at different paths, and checks that the
# deliverables of both architectures come out the same byte for byte: each edition's DLL, PDB and
# import libraries, and the release archive with its checksum file. Only what ships is built (no
# tests): about two minutes per clone.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
work="$VELMORA_ROOT/build/reproducible"
rm -rf "$work"
clones=("$work/a/velmora" "$work/a-second-clone/at/another/depth/velmora")
declare -A toolchain=([win32]=i686 [win64]=x86_64)
for clone in "${clones[@]}"; do
  velmora_log "building the last commit in $clone"
  git clone -q --no-hardlinks "$VELMORA_ROOT" "$clone"
  for build in win32 win64; do
    cmake -S "$clone" -B "$clone/build/$build" -DVELMORA_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$clone/cmake/mingw-${toolchain[$build]}.cmake" >/dev/null
  done
  "$clone/scripts/package.sh" win32 win64 >"$clone.log" || { cat "$clone.log"; exit 1; }
done

files=()
for build in win32 win64; do
  for edition in 3 2; do
    for file in Velmora.dll Velmora.pdb Velmora.lib libVelmora.dll.a; do
      files+=("build/$build/edition$edition/$file")
    done
  done
  archive=$(cd "${clones[0]}" && ls build/Velmora-*-$build.zip)
  files+=("$archive" "$archive.sha256")
done
differ=0
for file in "${files[@]}"; do
  if cmp -s "${clones[0]}/$file" "${clones[1]}/$file"; then
    echo "same  $file"
  else
    echo "DIFFERENT  $file"
    differ=1
  fi
done
[ $differ -eq 0 ] || { velmora_log "the two builds differ"; exit 1; }
velmora_log "both builds are the same byte for byte"
