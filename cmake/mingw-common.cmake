# Shared by the MinGW-w64 toolchain files; VELMORA_MINGW_PREFIX names the target triple.
# Everything for Windows is built by clang and lld (which write PDBs), against MinGW-w64's headers
# and libraries and GCC's libstdc++. Clang does not find Debian's versioned GCC folder
# (12-posix) on its own, so the folder is named here.
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${VELMORA_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${VELMORA_MINGW_PREFIX})
set(CMAKE_RC_COMPILER ${VELMORA_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${VELMORA_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJDUMP ${VELMORA_MINGW_PREFIX}-objdump)

file(GLOB VELMORA_GCC_DIR LIST_DIRECTORIES true /usr/lib/gcc/${VELMORA_MINGW_PREFIX}/*-posix)
list(GET VELMORA_GCC_DIR 0 VELMORA_GCC_DIR)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${VELMORA_GCC_DIR}/include/c++ ${VELMORA_GCC_DIR}/include/c++/${VELMORA_MINGW_PREFIX}
    ${VELMORA_GCC_DIR}/include/c++/backward)
# Every image: lld, GCC's runtime libraries, and no build path or clock in the output (the PE
# timestamp is a hash of the contents).
set(VELMORA_MINGW_LINK_FLAGS "-fuse-ld=lld -L${VELMORA_GCC_DIR} -Wl,--Xlink=-Brepro")
if(VELMORA_MINGW_PREFIX MATCHES "^i686")
  # No code in these images registers an SEH handler (exceptions unwind with DWARF tables), so
  # the images say so; lld cannot write a SafeSEH table for MinGW objects.
  string(APPEND VELMORA_MINGW_LINK_FLAGS " -Wl,--no-seh")
endif()
# Programs carry their runtime (libstdc++, libgcc, winpthreads) inside, so they run from
# wherever they are copied; clang does not add winpthreads by itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "${VELMORA_MINGW_LINK_FLAGS} -static -lpthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${VELMORA_MINGW_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${VELMORA_MINGW_LINK_FLAGS}")

# Windows programs of either architecture run under Wine, in the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)

set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
