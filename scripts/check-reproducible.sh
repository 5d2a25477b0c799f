#!/usr/bin/env bash
# Builds the last commit twice, from two clones at different paths and depths, into build
# folders of different names and depths, and checks that the deliverables of both architectures
# come out the same byte for byte: each edition's DLL, PDB and import libraries, the release
# archive with its checksum file, and the NuGet packages and Python wheels. Only what ships is
# built (no tests): about two minutes per clone.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
work="$VELMORA_ROOT/build/reproducible"
rm -rf "$work"
clones=("$work/a/velmora" "$work/a-second-clone/at/another/depth/velmora")
# Each clone's build folder, relative to the clone.
trees=(build "out/of-another-name")
declare -A toolchain=([win32]=i686 [win64]=x86_64)
for i in 0 1; do
  clone=${clones[i]} trees_at="${clones[i]}/${trees[i]}"
  velmora_log "building the last commit in $clone, its build trees in ${trees[i]}"
  git clone -q --no-hardlinks "$VELMORA_ROOT" "$clone"
  for build in win32 win64; do
    cmake -S "$clone" -B "$trees_at/$build" -DVELMORA_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$clone/cmake/mingw-${toolchain[$build]}.cmake" >/dev/null
  done
  VELMORA_BUILD_ROOT="$trees_at" VELMORA_RELEASE_DIR="$clone/releases" \
    "$clone/scripts/package.sh" win32 win64 >"$clone.log" || { cat "$clone.log"; exit 1; }
done

# Each file as "its path in the first clone|its path in the second".
files=()
for build in win32 win64; do
  for edition in 3 2; do
    for file in Velmora.dll Velmora.pdb Velmora.lib libVelmora.dll.a; do
      files+=("${trees[0]}/$build/edition$edition/$file|${trees[1]}/$build/edition$edition/$file")
    done
  done
  archive=$(cd "${clones[0]}" && ls releases/Velmora-*-$build.zip)
  files+=("$archive|$archive" "$archive.sha256|$archive.sha256")
done
# The NuGet packages and the wheels, made from both architectures' files.
while IFS= read -r package; do
  files+=("$package|$package" "$package.sha256|$package.sha256")
done < <(cd "${clones[0]}" && ls releases/*.nupkg releases/*.whl)
[ ${#files[@]} -eq 30 ] || { velmora_log "expected 5 packages beside the archives"; exit 1; }
differ=0
for pair in "${files[@]}"; do
  first=${pair%%|*} second=${pair#*|}
  if cmp -s "${clones[0]}/$first" "${clones[1]}/$second"; then
    echo "same  $first"
  else
    echo "DIFFERENT  $first and $second"
    differ=1
  fi
done
[ $differ -eq 0 ] || { velmora_log "the two builds differ"; exit 1; }
velmora_log "both builds are the same byte for byte"
