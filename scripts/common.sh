# Shared by the scripts: installs what is missing, builds, and runs Windows programs under Wine.
# Source it; it sets VELMORA_ROOT.

VELMORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VELMORA_PACKAGES=(cmake make g++ python3 googletest clang libclang-rt-14-dev clang-tidy cppcheck
                  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64)
export WINEPREFIX="${WINEPREFIX:-$VELMORA_ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"

velmora_log() { printf '== %s\n' "$*"; }

# Installs, with apt-get, whichever of the packages the project needs are not installed yet.
velmora_install_packages() {
  local missing=() package
  for package in "${VELMORA_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  velmora_log "installing ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
}

# velmora_build NAME [TARGET...]: configures build/NAME (native, fuzz, bench, win32 or win64)
# and builds the targets named, or everything.
velmora_build() {
  local name=$1 args=(-DVELMORA_WERROR=ON) targets=()
  shift
  [ $# -eq 0 ] || targets=(--target "$@")
  case $name in
    native) args+=(-DCMAKE_BUILD_TYPE=Debug) ;;
    bench) args+=(-DCMAKE_BUILD_TYPE=Release -DVELMORA_SANITIZE=OFF -DVELMORA_BENCH=ON
                  -DVELMORA_TESTS=OFF) ;;
    fuzz) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON
                 -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    win32) args+=(-DCMAKE_BUILD_TYPE=Release
                  -DCMAKE_TOOLCHAIN_FILE="$VELMORA_ROOT/cmake/mingw-i686.cmake") ;;
    win64) args+=(-DCMAKE_BUILD_TYPE=Release
                  -DCMAKE_TOOLCHAIN_FILE="$VELMORA_ROOT/cmake/mingw-x86_64.cmake") ;;
    *) echo "unknown build $name" >&2; return 2 ;;
  esac
  velmora_log "building build/$name"
  cmake -S "$VELMORA_ROOT" -B "$VELMORA_ROOT/build/$name" "${args[@]}" >/dev/null
  cmake --build "$VELMORA_ROOT/build/$name" -j "$(nproc)" "${targets[@]}"
}

# Starts a persistent wineserver in the project's prefix, with Wine's own background services
# already running (started with output to /dev/null, so they hold no caller's pipe open), and
# stops it when the calling script exits.
velmora_start_wine() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    velmora_log "creating the Wine prefix $WINEPREFIX"
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 </dev/null || true
    wineserver -w
  fi
  wineserver -p 2>/dev/null || true  # exits 2 when a server for this prefix already runs
  trap 'wineserver -k 2>/dev/null || true' EXIT
  "$VELMORA_ROOT/scripts/wine-run.sh" cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}
