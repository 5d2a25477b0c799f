# velmora_add_edition(N): Velmora.dll of edition N, with its import library, in
# <build>/editionN/. Both editions share every source file; the export list (.def), the version
# block (.rc) and VELMORA_EDITION tell them apart.

# The import library offers nVelmora under its exported name "?nVelmora@@3HA" (what Visual C++
# looks for) and under the plain C name (what other compilers look for). The linker's own import
# library has neither right on i686, so dlltool writes it from the export list.
function(velmora_import_definitions export_def import_def)
  file(READ ${export_def} text)
  string(REPLACE "StopScheduler = StartScheduler" "StopScheduler" text "${text}")
  string(REPLACE "\"?nVelmora@@3HA\" = nVelmora DATA"
                 "\"?nVelmora@@3HA\" DATA\n  nVelmora DATA == \"?nVelmora@@3HA\"" text "${text}")
  file(WRITE ${import_def} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${export_def})
endfunction()

function(velmora_add_edition edition)
  set(target velmora_edition${edition})
  set(export_def ${PROJECT_SOURCE_DIR}/src/api/velmora${edition}.def)
  add_library(${target} SHARED
              ${VELMORA_TRANSPORT_SOURCES} ${VELMORA_API_SOURCES}
              src/transport/win32_pipe_system.cpp
              ${export_def}
              res/velmora${edition}.rc)
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
  target_compile_definitions(${target} PRIVATE VELMORA_EDITION=${edition}
                             VELMORA_BUILDING_LIBRARY WIN32_LEAN_AND_MEAN NOMINMAX)
  velmora_warnings(${target})
  # The $<1:> keeps multi-configuration generators from adding a per-configuration folder.
  set(output_dir $<1:${CMAKE_BINARY_DIR}/edition${edition}>)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME Velmora
    PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${output_dir}
    LIBRARY_OUTPUT_DIRECTORY ${output_dir}
    ARCHIVE_OUTPUT_DIRECTORY ${output_dir})

  if(MINGW)
    # Nothing is thrown, and the DLL depends on no compiler runtime DLL: libgcc, libstdc++ and
    # winpthread are linked in, leaving the system DLLs and msvcrt.
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    target_link_options(${target} PRIVATE -static -s)
    set(import_def ${CMAKE_CURRENT_BINARY_DIR}/velmora${edition}-import.def)
    velmora_import_definitions(${export_def} ${import_def})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_DLLTOOL} --input-def ${import_def} --dllname Velmora.dll
              --output-lib $<TARGET_LINKER_FILE_NAME:${target}>
      WORKING_DIRECTORY $<TARGET_LINKER_FILE_DIR:${target}>
      COMMENT "Writing the import library of Velmora.dll edition ${edition}"
      VERBATIM)
  elseif(MSVC)
    target_compile_options(${target} PRIVATE /EHs-c- /GR-)
  endif()

  # Edition 3 installs to bin/ and lib/; edition 2, a file of the same name, one folder down.
  set(subdir "")
  if(NOT edition EQUAL 3)
    set(subdir "/edition${edition}")
  endif()
  install(TARGETS ${target}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}${subdir}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}${subdir})
endfunction()
