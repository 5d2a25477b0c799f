#!/usr/bin/env bash
# Makes the release archive build/Velmora-<version>-win32.zip from the 32-bit build, then checks
# that it holds everything a user needs and that its DLLs are the very files the tests checked.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
velmora_build win32 >/dev/null
build="$VELMORA_ROOT/build/win32"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
archive="$VELMORA_ROOT/build/Velmora-$version-win32.zip"
velmora_log "release archive $archive"
rm -f "$archive"
(cd "$build" && cpack -G ZIP >/dev/null)

python3 - "$archive" "$build" <<'PY'
import os
import sys
import zipfile

archive, build = sys.argv[1], sys.argv[2]
top = os.path.basename(archive)[:-len(".zip")] + "/"
wanted = ["README.md", "LICENSE", "include/velmora.h", "lib/cmake/Velmora/VelmoraConfig.cmake",
          "lib/cmake/Velmora/VelmoraConfigVersion.cmake",
          "lib/cmake/Velmora/VelmoraEdition3Targets.cmake",
          "lib/cmake/Velmora/VelmoraEdition2Targets.cmake", "bin/jobctl.exe",
          "bin/velmora-devservice.exe"]
for edition, sub in ((3, ""), (2, "edition2/")):
    wanted += ["bin/%sVelmora.dll" % sub, "bin/%sVelmora.dll.debug" % sub,
               "lib/%sVelmora.lib" % sub, "lib/%slibVelmora.dll.a" % sub,
               "lib/%sVelmora.def" % sub]
with zipfile.ZipFile(archive) as zip_file:
    names = set(zip_file.namelist())
    missing = [name for name in wanted if top + name not in names]
    different = [sub for sub in ("", "edition2/")
                 if zip_file.read(top + "bin/%sVelmora.dll" % sub) !=
                 open(os.path.join(build, "edition%s" % ("2" if sub else "3"), "Velmora.dll"),
                      "rb").read()]
for name in sorted(names):
    print("  " + name)
if missing:
    sys.exit("the archive lacks: " + ", ".join(missing))
if different:
    sys.exit("the archive's DLLs differ from the tested ones: " + ", ".join(different))
print("%d files; both editions' DLLs are the tested files" % len(names))
PY
