# Installs the header and a CMake package, so that a host project configured with the same
# toolchain can say find_package(Velmora 3 REQUIRED) and link Velmora::Velmora. Each edition's
# imported target comes from its own exported targets file (cmake/VelmoraEdition.cmake).
include(CMakePackageConfigHelpers)

install(FILES include/velmora.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VELMORA_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora)
set(VELMORA_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
set(VELMORA_INSTALL_TESTINGDIR testing)
configure_package_config_file(cmake/VelmoraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfig.cmake
  INSTALL_DESTINATION ${VELMORA_PACKAGE_DIR}
  PATH_VARS VELMORA_INSTALL_BINDIR VELMORA_INSTALL_TESTINGDIR)
# Version 3.x.x.x: a request for Velmora 3 is met, one for Velmora 2 is not (edition 2 comes as
# the Edition2 component). The pointer size must match, so a 32-bit package serves only 32-bit
# hosts.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfigVersion.cmake
        DESTINATION ${VELMORA_PACKAGE_DIR})

# What users of the binaries read: their README (not the developers'), written for this build's
# bitness, the licence and the notices of what is compiled into the tools. scripts/package.sh
# makes the release archives from this installed tree.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELMORA_BITNESS "64-bit x64")
  set(VELMORA_OTHER_ARCH win32)
  set(VELMORA_OTHER_BITNESS "32-bit x86")
  set(VELMORA_VCVARS x64)
  set(VELMORA_CSHARP_PLATFORM x64)
  set(VELMORA_CSHARP_NOTE "an AnyCPU program that prefers 32-bit, as a .NET Framework exe \
project does by default, runs as a 32-bit process and cannot load this DLL")
  set(VELMORA_PYTHON "a 64-bit Python")
  set(VELMORA_ASLR_NOTE " with high-entropy addresses")
  set(VELMORA_SEH_NOTE "")
  set(VELMORA_SAFESEH_NOTE "")
else()
  set(VELMORA_BITNESS "32-bit x86")
  set(VELMORA_OTHER_ARCH win64)
  set(VELMORA_OTHER_BITNESS "64-bit x64")
  set(VELMORA_VCVARS x86)
  set(VELMORA_CSHARP_PLATFORM x86)
  set(VELMORA_CSHARP_NOTE "an AnyCPU program that does not prefer 32-bit (a .NET exe, a .NET \
Framework exe with Prefer 32-bit cleared, or one run by a 64-bit host) runs as a 64-bit process \
on 64-bit Windows and cannot load this DLL")
  set(VELMORA_PYTHON "a 32-bit Python")
  set(VELMORA_ASLR_NOTE "")
  set(VELMORA_SEH_NOTE " The images are marked as having no SEH handlers (none of their code \
registers one).")
  set(VELMORA_SAFESEH_NOTE " `Velmora.lib` links with `/SAFESEH`.")
endif()
configure_file(dist/README.md.in ${CMAKE_CURRENT_BINARY_DIR}/dist/README.md @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dist/README.md dist/THIRD-PARTY-NOTICES.txt LICENSE
              CHANGELOG.md dist/RULES.md dist/rules.schema.json
        DESTINATION .)
# Declarations for the other host languages: Pascal, C#, Python.
install(FILES bindings/Velmora.pas bindings/Velmora.cs bindings/velmora.py DESTINATION bindings)
# Helpers for hosts' test suites, over the development service's control pipe.
install(FILES testing/velmora_devservice.hpp testing/velmora_devservice.py
              testing/VelmoraDevService.cs testing/VelmoraDevService.pas DESTINATION testing)
install(FILES examples/testing/nightly_job_test.cpp DESTINATION examples/testing)
install(FILES examples/hosts/basic_call.c examples/hosts/bounded_call.c
              examples/hosts/retry_call.c DESTINATION examples/hosts)
install(FILES examples/sweep/careless_host.c examples/sweep/careful_host.c
        DESTINATION examples/sweep)
install(FILES dist/sweep/report.html.mustache DESTINATION share/velmora)
install(FILES examples/rules/retry.json examples/rules/outage.json examples/rules/broken-replies.json
              examples/rules/busy-first-two.json
        DESTINATION examples/rules)
