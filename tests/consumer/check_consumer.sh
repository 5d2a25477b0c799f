#!/usr/bin/env bash
# Installs a Velmora build into a fresh prefix, configures and builds the consumer project
# against it with the same toolchain, and (unless build-only) runs both programs under Wine.
#   check_consumer.sh BUILD_DIR TOOLCHAIN_FILE run|build-only
set -euo pipefail
build=$1 toolchain=$2 mode=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work="$build/consumer-check"
rm -rf "$work"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$here" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build"
[ -f "$work/build/testing/velmora-devservice.exe" ] ||
  { echo "FAIL: Velmora::DevService was not copied beside the test program"; exit 1; }
[ "$mode" = run ] || exit 0
for edition in 3 2; do
  "$here/../../scripts/wine-run.sh" "$work/build/edition$edition/consumer$edition.exe"
done
"$here/../../scripts/wine-run.sh" "$work/build/testing/testing_consumer.exe"
