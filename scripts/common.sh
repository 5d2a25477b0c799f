# Shared by the scripts: installs what is missing, builds, and runs Windows programs under Wine.
# Source it; it sets VELMORA_ROOT.

VELMORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VELMORA_PACKAGES=(cmake make g++ python3 python3-pefile googletest clang libclang-rt-14-dev
                  clang-tidy cppcheck lld llvm g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
                  wine wine64 osslsigncode openssl libcli11-dev nlohmann-json3-dev
                  libboost-regex1.81-dev python3-jsonschema fp-compiler fp-utils fpc-source
                  mono-mcs mono-devel mono-xbuild nuget python3-setuptools python3-wheel
                  python3-pip libkainjow-mustache-dev chromium)
# Where velmora_build and package.sh keep the build trees (check-reproducible.sh moves it).
VELMORA_BUILD_ROOT="${VELMORA_BUILD_ROOT:-$VELMORA_ROOT/build}"
source "$VELMORA_ROOT/scripts/wine-env.sh"

velmora_log() { printf '== %s\n' "$*"; }

# velmora_on_exit COMMAND: runs COMMAND when the script exits, after any added later.
VELMORA_EXIT_COMMANDS=()
velmora_on_exit() {
  VELMORA_EXIT_COMMANDS+=("$1")
  trap velmora_run_exit_commands EXIT
}
velmora_run_exit_commands() {
  local i
  for ((i = ${#VELMORA_EXIT_COMMANDS[@]} - 1; i >= 0; i--)); do
    eval "${VELMORA_EXIT_COMMANDS[i]}" || true
  done
}

# Whether this machine executes 32-bit x86 programs (a kernel without IA32 emulation does not):
# runs a 96-byte i386 Linux program that only exits with status 42. Sets VELMORA_RUN_32BIT to ON
# or OFF, and VELMORA_NO_32BIT_REASON when OFF.
velmora_probe_32bit() {
  local probe="$VELMORA_ROOT/build/probe-i386" status=0 output
  mkdir -p "$VELMORA_ROOT/build"
  # ELF header, one loadable segment at 0x08048000, then: mov ebx, 42; mov eax, 1; int 0x80.
  printf '%b' \
    '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
    '\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
    '\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00' \
    '\x00\x10\x00\x00\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  output=$("$probe" 2>&1) || status=$?
  if [ "$status" -eq 42 ]; then
    VELMORA_RUN_32BIT=ON
  else
    VELMORA_RUN_32BIT=OFF
    VELMORA_NO_32BIT_REASON="an i386 test program did not run (status $status${output:+: $output})"
  fi
}

# Where test.sh runs the i686 suite: natively under 32-bit Wine where this machine executes
# 32-bit code, else its smoke part in a QEMU guest that does (scripts/qemu-guest.sh). Sets
# VELMORA_I686_GUEST to ON or OFF. VELMORA_I686_IN_QEMU=1 forces the guest and makes this machine
# behave as one that cannot execute 32-bit code: every decision is taken as there, and
# scripts/wine-run.sh refuses to start an i386 program outside the guest. On the guest path the
# variable is exported, so that a 32-bit start outside the guest fails loudly on every machine.
velmora_choose_i686_runs() {
  VELMORA_I686_GUEST=OFF
  if [ "${VELMORA_I686_IN_QEMU:-0}" = 1 ] && [ "$VELMORA_RUN_32BIT" = ON ]; then
    VELMORA_RUN_32BIT=OFF
    VELMORA_NO_32BIT_REASON="VELMORA_I686_IN_QEMU=1 makes it behave as a machine that cannot"
  fi
  if [ "$VELMORA_RUN_32BIT" = OFF ]; then
    VELMORA_I686_GUEST=ON
    export VELMORA_I686_IN_QEMU=1
  fi
}

# Says loudly, once per script, that 32-bit code is not run on this machine itself, and why.
velmora_warn_no_32bit() {
  [ "$VELMORA_RUN_32BIT" = OFF ] || return 0
  velmora_log "WARNING: 32-bit x86 code is not run on this machine ($VELMORA_NO_32BIT_REASON):"
  if [ "${VELMORA_I686_GUEST:-OFF}" = ON ]; then
    velmora_log "WARNING: the 32-bit Windows runs here are only the smoke part, in a QEMU guest"
  else
    velmora_log "WARNING: the 32-bit Windows runs are SKIPPED; the 32-bit DLLs are only built and read"
  fi
}

# Installs, with apt-get, whichever of the packages the project needs are not installed yet:
# 32-bit Wine always (run here, or in the guest), and QEMU and busybox where the 32-bit runs go
# to a guest.
velmora_install_packages() {
  velmora_probe_32bit
  velmora_choose_i686_runs
  local wanted=("${VELMORA_PACKAGES[@]}" wine32:i386) missing=() package
  [ "$VELMORA_I686_GUEST" = OFF ] || wanted+=(qemu-system-x86 busybox-static)
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386
  then
    velmora_log "adding the i386 architecture for 32-bit Wine"
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  velmora_log "installing ${missing[*]}"
  velmora_apt_install "${sudo[@]}" -- "${missing[@]}"
}

# velmora_apt_install [sudo] -- PACKAGE...: apt-get update, then install. A mirror caught
# mid-sync fails one index or another for a while ("File has unexpected size ... Mirror sync in
# progress?"), so the update is tried up to VELMORA_APT_TRIES times (3), VELMORA_APT_PAUSE
# seconds apart (20); if it still fails, the install is tried all the same, since the packages
# may well be in the indexes that did come. Only a failed install fails, naming the indexes that
# did not come.
velmora_apt_install() {
  local sudo=() try tries=${VELMORA_APT_TRIES:-3} pause=${VELMORA_APT_PAUSE:-20} log failed=""
  while [ "$1" != -- ]; do sudo+=("$1"); shift; done
  shift
  log=$(mktemp)
  for ((try = 1; try <= tries; try++)); do
    if "${sudo[@]}" apt-get update -q >"$log" 2>&1; then
      failed=""
      break
    fi
    grep '^[EW]: ' "$log" >&2 || tail -n 5 "$log" >&2
    failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$log" | sort -u | paste -sd ' ')
    failed=${failed:-"an index (see the lines above)"}
    velmora_log "apt-get update failed (try $try of $tries): $failed"
    [ "$try" -eq "$tries" ] || sleep "$pause"
  done
  rm -f "$log"
  [ -z "$failed" ] || velmora_log "going on to install with the indexes that did come"
  if DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends \
       "$@"; then
    return 0
  fi
  if [ -n "$failed" ] && velmora_apt_install_from_release "${sudo[@]}" -- "$@"; then
    return 0
  fi
  if [ -n "$failed" ]; then
    velmora_log "the install failed; these indexes did not come: $failed"
    velmora_log "the mirror may be mid-sync: run the same command again in a while"
  fi
  return 1
}

# velmora_apt_install_from_release [sudo] -- PACKAGE...: the install again, from the release's
# own suite alone. An i386 package must have the very version of its amd64 half; when one
# suite's i386 index did not come (the security suite's, mid-sync), apt takes the amd64 half from
# that suite and finds no i386 package to match. Preferring the release's suite gives both halves
# from indexes that came; an amd64 half already installed from the missing suite is taken back to
# the version its i386 half has.
velmora_apt_install_from_release() {
  local sudo=() release pins=() try simulated missing package version
  while [ "$1" != -- ]; do sudo+=("$1"); shift; done
  shift
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$release" ] || return 1
  velmora_log "trying the install again from $release alone"
  for ((try = 1; try <= 20; try++)); do
    simulated=$(apt-get install -s -t "$release" --allow-downgrades --no-install-recommends \
                  "$@" "${pins[@]}" 2>&1) && break
    missing=$(sed -n 's/.*Depends: \([^ :]*\):i386 .*but it is not going to be installed.*/\1/p' \
                <<<"$simulated" | sort -u)
    [ -n "$missing" ] || break
    for package in $missing; do
      version=$(apt-cache policy "$package:i386" | awk '/Candidate:/ {print $2}')
      [ -n "$version" ] && [ "$version" != "(none)" ] || return 1
      pins+=("$package=$version" "$package:i386=$version")
    done
  done
  [ ${#pins[@]} -eq 0 ] || velmora_log "taking both halves at the i386 version: ${pins[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q -t "$release" \
    --allow-downgrades --no-install-recommends "$@" "${pins[@]}"
}

# velmora_build NAME [TARGET...]: configures build/NAME (native, fuzz, bench, win32 or win64)
# and builds the targets named, or everything. VELMORA_BUILD_ROOT puts the tree elsewhere.
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
    win32) # Whichever script builds it, the tree is configured alike: package.sh rebuilding it
           # must not take the guest's cases from under a guest running them.
           [ -n "${VELMORA_I686_GUEST:-}" ] || { velmora_probe_32bit; velmora_choose_i686_runs; }
           local guest=$VELMORA_I686_GUEST run=$VELMORA_RUN_32BIT
           # On the guest path the build registers the guest's cases without listing them
           # here: listing a test program's cases would start it.
           [ "$guest" = OFF ] || run=OFF
           args+=(-DCMAKE_BUILD_TYPE=Release -DVELMORA_RUN_WINDOWS_TESTS="$run"
                  -DVELMORA_WINDOWS_TESTS_IN_GUEST="$guest"
                  -DCMAKE_TOOLCHAIN_FILE="$VELMORA_ROOT/cmake/mingw-i686.cmake") ;;
    win64) args+=(-DCMAKE_BUILD_TYPE=Release
                  -DCMAKE_TOOLCHAIN_FILE="$VELMORA_ROOT/cmake/mingw-x86_64.cmake") ;;
    *) echo "unknown build $name" >&2; return 2 ;;
  esac
  velmora_log "building build/$name"
  cmake -S "$VELMORA_ROOT" -B "$VELMORA_BUILD_ROOT/$name" "${args[@]}" >/dev/null
  cmake --build "$VELMORA_BUILD_ROOT/$name" -j "$(nproc)" "${targets[@]}"
}

# Starts a persistent wineserver in the project's prefix, with Wine's own background services
# already running (started with output to /dev/null, so they hold no caller's pipe open), and
# stops it when the calling script exits.
velmora_start_wine() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    velmora_log "creating the Wine prefix $WINEPREFIX"
    "$VELMORA_ROOT/scripts/wine-run.sh" wineboot --init >/dev/null 2>&1 </dev/null || true
    wineserver -w
  elif [ "${VELMORA_RUN_32BIT:-OFF}" = ON ] &&
       [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    # Made before 32-bit Wine was installed: give it the 32-bit half.
    velmora_log "updating the Wine prefix $WINEPREFIX for 32-bit programs"
    "$VELMORA_ROOT/scripts/wine-run.sh" wineboot --update >/dev/null 2>&1 </dev/null || true
    wineserver -w
  fi
  wineserver -p 2>/dev/null || true  # exits 2 when a server for this prefix already runs
  velmora_on_exit 'wineserver -k 2>/dev/null'
  "$VELMORA_ROOT/scripts/wine-run.sh" cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}

# The smoke part of the i686 suite, run inside the QEMU guest: the tests the win32 build labels
# "guest" (the tools end to end and both editions' export cases, under 32-bit Wine). Its Wine
# prefix (1.3 GB) is made afresh in the guest's memory, in about two minutes: kept on the shared
# folder instead, copying it there took longer than making it, and every Wine start then went
# through the shared folder (the e2e cases took 800 s that way, 580 s from memory).
velmora_i686_smoke() {
  VELMORA_RUN_32BIT=ON
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$VELMORA_ROOT/scripts/wine-run.sh" wineboot --init >/dev/null 2>&1 </dev/null || true
    wineserver -w
  fi
  velmora_start_wine
  ctest --test-dir "$VELMORA_ROOT/build/win32" --output-on-failure --no-tests=error -L '^guest$'
}
