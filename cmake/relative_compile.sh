#!/usr/bin/env bash
# Compiler launcher for the library's objects: relative_compile.sh ROOT COMPILER ARGS...
# Runs the compile with every path under ROOT (the source folder, which holds the build tree)
# written relative to the folder the compile runs in. Clang 14 records its whole command line in
# each object's CodeView build record, and lld copies it into the PDB: with absolute paths in
# it, two builds of one commit made in different folders would give different PDBs, and DLLs
# whose debug record differs with them.
root=$1
shift
relative=$(realpath --relative-to="$PWD" "$root")
exec "${@//$root\//$relative/}"
