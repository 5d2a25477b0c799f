#!/usr/bin/env bash
# Makes the release archives build/Velmora-<version>-win32.zip and -win64.zip (or those of the
# builds named: ./scripts/package.sh win32), then checks each: what it holds, its checksums, the
# hardening rules for every image, and that its DLLs and PDBs are the very files the tests
# checked. With both, also the NuGet packages Velmora, Velmora.Edition2 and Velmora.Testing, and
# the two Python wheels, each with its .sha256, checked against the staged files.
#
# Signing: with VELMORA_SIGN_PFX (a PKCS#12 file holding the code-signing certificate and its
# key) and VELMORA_SIGN_PASSWORD_FILE (a file holding its password) set, every DLL and EXE is
# signed with osslsigncode (SHA-256), and stamped by the RFC 3161 server VELMORA_SIGN_TIMESTAMP_URL
# if one is given. VELMORA_SIGN_CA_FILE (PEM) is the root the check verifies the signatures
# against. Without them the files stay unsigned, and the check says so.
#
# The archives are the same bytes from the same commit: every entry carries the time of
# SOURCE_DATE_EPOCH (by default the last commit's). VELMORA_RELEASE_DIR puts them elsewhere.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(win32 win64)
out="${VELMORA_RELEASE_DIR:-$VELMORA_ROOT/build}"
mkdir -p "$out"
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$VELMORA_ROOT" log -1 --format=%ct 2>/dev/null || echo 0)}"
sign=()
if [ -n "${VELMORA_SIGN_PFX:-}" ]; then
  sign=(osslsigncode sign -pkcs12 "$VELMORA_SIGN_PFX" -readpass "$VELMORA_SIGN_PASSWORD_FILE"
        -n Velmora -h sha256)
  [ -z "${VELMORA_SIGN_TIMESTAMP_URL:-}" ] || sign+=(-ts "$VELMORA_SIGN_TIMESTAMP_URL")
fi

status=0
declare -A stages=()
for build in "${builds[@]}"; do
  case $build in
    win32) machine=i386 ;;
    win64) machine=amd64 ;;
    *) echo "package.sh: no release is made from build $build" >&2; exit 2 ;;
  esac
  velmora_build "$build" >/dev/null
  tree="$VELMORA_BUILD_ROOT/$build"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")
  name="Velmora-$version-$build"
  stage="$VELMORA_BUILD_ROOT/release/$build/$name"
  rm -rf "$stage"
  cmake --install "$tree" --prefix "$stage" >/dev/null
  # What the repository keeps as "[Unreleased]" ships as this release, dated as its files are.
  sed -i "s/^## \[Unreleased\]\$/## [$version] - $(date -u -d "@$epoch" +%F)/" "$stage/CHANGELOG.md"
  if [ ${#sign[@]} -gt 0 ]; then
    velmora_log "signing the images of $name"
    while IFS= read -r -d '' image; do
      "${sign[@]}" -in "$image" -out "$image.signed" >/dev/null
      mv "$image.signed" "$image"
    done < <(find "$stage" \( -name '*.dll' -o -name '*.exe' \) -print0)
  fi
  /usr/bin/python3 "$VELMORA_ROOT/scripts/release_archive.py" make "$stage" "$out/$name.zip" \
    --epoch "$epoch"
  velmora_log "release archive $out/$name.zip"
  check=(--build "$tree" --machine "$machine")
  [ ${#sign[@]} -eq 0 ] || check+=(--ca-file "$VELMORA_SIGN_CA_FILE")
  /usr/bin/python3 "$VELMORA_ROOT/scripts/release_archive.py" check "$out/$name.zip" \
    "${check[@]}" || status=1
  stages[$build]=$stage
done

# The NuGet packages and the Python wheels hold both architectures: made once both are staged.
if [ -n "${stages[win32]:-}" ] && [ -n "${stages[win64]:-}" ]; then
  packages=(--win32 "${stages[win32]}" --win64 "${stages[win64]}" --out "$out" --version "$version")
  /usr/bin/python3 "$VELMORA_ROOT/scripts/release_packages.py" make "${packages[@]}" \
    --epoch "$epoch" || status=1
  /usr/bin/python3 "$VELMORA_ROOT/scripts/release_packages.py" check "${packages[@]}" || status=1
fi
exit $status
