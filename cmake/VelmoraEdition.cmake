# velmora_add_edition(N): Velmora.dll of edition N, with its import libraries, in
# <build>/editionN/. Both editions share every source file; the export list (.def), the version
# block (.rc) and VELMORA_EDITION tell them apart.

# Import definitions written from an edition's export list. Visual C++ takes the list as it is;
# for MinGW the variable is offered under the plain C name too, as an alias of the decorated one.
# Visual C++ binds the decorated name, and a C host gets the plain one from the header, since an
# alias member in Velmora.lib would break /SAFESEH. Fails if the export list is not worded as
# expected.
function(velmora_import_definitions export_def mingw_def msvc_def)
  file(READ ${export_def} text)
  set(variable_export "\"?nVelmora@@3HA\" @1 DATA")
  string(FIND "${text}" "${variable_export}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${export_def} lacks the line '${variable_export}' the import "
                        "definitions are written from")
  endif()
  string(REPLACE "${variable_export}" "${variable_export}\n  nVelmora DATA == \"?nVelmora@@3HA\""
                 mingw "${text}")
  file(WRITE ${mingw_def} "${mingw}")
  configure_file(${export_def} ${msvc_def} COPYONLY)
endfunction()

# Velmora.lib, the short-format import library that Visual C++ and lld-link take, is written by
# llvm-dlltool where the build machine has it.
find_program(VELMORA_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(MINGW)
  find_program(VELMORA_LLVM_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)
endif()
if(MINGW AND NOT VELMORA_LLVM_DLLTOOL)
  message(WARNING "llvm-dlltool not found: no Velmora.lib for Visual C++ hosts is written")
endif()

function(velmora_add_edition edition)
  set(target velmora_edition${edition})
  set(export_def ${PROJECT_SOURCE_DIR}/src/api/velmora${edition}.def)
  add_library(${target} SHARED res/velmora${edition}.rc)
  target_link_libraries(${target} PRIVATE velmora_api_edition${edition} velmora_win32_pipes)
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                              $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # The $<1:> keeps multi-configuration generators from adding a per-configuration folder.
  set(output_dir $<1:${CMAKE_BINARY_DIR}/edition${edition}>)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME Velmora
    PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${output_dir}
    LIBRARY_OUTPUT_DIRECTORY ${output_dir}
    ARCHIVE_OUTPUT_DIRECTORY ${output_dir})

  # Edition 3 installs to bin/ and lib/; edition 2, a file of the same name, one folder down.
  set(subdir "")
  if(NOT edition EQUAL 3)
    set(subdir "/edition${edition}")
  endif()
  set(mingw_def ${CMAKE_CURRENT_BINARY_DIR}/velmora${edition}-mingw-import.def)
  set(msvc_def ${CMAKE_CURRENT_BINARY_DIR}/velmora${edition}-import.def)
  velmora_import_definitions(${export_def} ${mingw_def} ${msvc_def})

  if(NOT MINGW)
    target_sources(${target} PRIVATE ${export_def})
  endif()
  if(MINGW)
    # No C runtime start-up: the entry point returns TRUE and nothing else runs at load or
    # unload. The DLL imports from kernel32 and msvcrt only what the library calls.
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/api/dll_entry.cpp)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(llvm_machine i386:x86-64)
      set(entry VelmoraDllEntry)
    else()
      set(llvm_machine i386)
      set(entry VelmoraDllEntry@12)
    endif()
    # Symbols in Velmora.pdb beside the DLL, which names it without a folder so that debuggers
    # look for it beside the DLL or on their symbol path. The PDB keeps the linker's command
    # line, so the export list and the PDB are named relative to the folder the link runs in
    # (this one), and the PDB roots relative paths at VELMORA_PDB_SOURCE_ROOT.
    set(linked_def velmora${edition}-exports.def)
    configure_file(${export_def} ${CMAKE_CURRENT_BINARY_DIR}/${linked_def} COPYONLY)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
                 ${CMAKE_CURRENT_BINARY_DIR}/${linked_def})
    target_link_options(${target} PRIVATE -nostdlib -Wl,--entry=${entry} -Wl,${linked_def}
      -Wl,--pdb=edition${edition}/Velmora.pdb -Wl,--Xlink=-pdbaltpath:%_PDB%
      -Wl,--Xlink=-pdbsourcepath:${VELMORA_PDB_SOURCE_ROOT})
    target_link_libraries(${target} PRIVATE kernel32 msvcrt)
    set(msvc_import_library "")
    if(VELMORA_LLVM_DLLTOOL)
      set(msvc_import_library COMMAND ${VELMORA_LLVM_DLLTOOL} -m ${llvm_machine}
                              -d ${msvc_def} -l Velmora.lib)
    endif()
    # dlltool names its members after the temporary prefix, which is fixed here so that the
    # import library is the same from build to build.
    # The compiler adds DWARF call-frame records (.debug_frame) to code built with debug
    # information, and lld keeps them in the image; debuggers read the PDB, so they go.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${VELMORA_LLVM_OBJCOPY} --strip-debug Velmora.dll
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/pe_checksum.py Velmora.dll
      COMMAND ${CMAKE_DLLTOOL} --input-def ${mingw_def} --dllname Velmora.dll
              --temp-prefix velmora${edition}
              --output-lib $<TARGET_LINKER_FILE_NAME:${target}>
      ${msvc_import_library}
      WORKING_DIRECTORY $<TARGET_LINKER_FILE_DIR:${target}>
      COMMENT "Writing the checksum and the import libraries of Velmora.dll edition ${edition}"
      VERBATIM)
    install(FILES $<TARGET_FILE_DIR:${target}>/Velmora.pdb
            DESTINATION ${CMAKE_INSTALL_BINDIR}${subdir})
    if(VELMORA_LLVM_DLLTOOL)
      install(FILES $<TARGET_LINKER_FILE_DIR:${target}>/Velmora.lib
              DESTINATION ${CMAKE_INSTALL_LIBDIR}${subdir})
    endif()
  endif()

  # The package's Velmora::Velmora (edition 3) and Velmora::Edition2, each in its own targets
  # file.
  if(edition EQUAL 3)
    set_target_properties(${target} PROPERTIES EXPORT_NAME Velmora)
  else()
    set_target_properties(${target} PROPERTIES EXPORT_NAME Edition${edition})
    # Its hosts see only its own declarations: a call to an edition-3 export fails to compile.
    target_compile_definitions(${target} INTERFACE $<INSTALL_INTERFACE:VELMORA_EDITION=${edition}>)
  endif()
  install(TARGETS ${target} EXPORT VelmoraEdition${edition}Targets
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}${subdir}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}${subdir})
  install(EXPORT VelmoraEdition${edition}Targets NAMESPACE Velmora::
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora)
  # The DLL's export names, for hosts that make their own import library from them.
  install(FILES ${msvc_def} DESTINATION ${CMAKE_INSTALL_LIBDIR}${subdir} RENAME Velmora.def)
endfunction()
