#!/usr/bin/env bash
# Compiler launcher for the library's objects: relative_compile.sh ROOT COMPILER ARGS...
# Clang 14 records its whole command line in each object's CodeView build record, and lld copies
# it into the PDB, whose GUID, and so the DLL's debug record, time stamp and checksum, follow its
# content. So the command must name no folder of this machine, neither the source folder nor the
# build folder, by name or by depth: every path under ROOT (the source folder) is written
# through a link of a fixed name in the folder the compile runs in, and the other paths CMake
# gives are already relative to the build folder.
root=$1
shift
link=.velmora-source
if [ "$(readlink "$link" 2>/dev/null)" != "$root" ]; then
  # Parallel compiles in one folder may race to make it: the first one wins, and so do the rest.
  ln -sfn "$root" "$link.$$" && mv -T "$link.$$" "$link"
fi
exec "${@//$root\//$link/}"
