# Installs the header and a CMake package, so that a host project configured with the same
# toolchain can say find_package(Velmora 3 REQUIRED) and link Velmora::Velmora.
include(CMakePackageConfigHelpers)

install(FILES include/velmora.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VELMORA_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora)
# What the package records of each edition: where its DLL and import library are installed
# (libVelmora.dll.a with MinGW, Velmora.lib with Visual C++).
set(implib ${CMAKE_IMPORT_LIBRARY_PREFIX}Velmora${CMAKE_IMPORT_LIBRARY_SUFFIX})
set(VELMORA_EDITION3_DLL ${CMAKE_INSTALL_BINDIR}/Velmora.dll)
set(VELMORA_EDITION3_IMPLIB ${CMAKE_INSTALL_LIBDIR}/${implib})
set(VELMORA_EDITION2_DLL ${CMAKE_INSTALL_BINDIR}/edition2/Velmora.dll)
set(VELMORA_EDITION2_IMPLIB ${CMAKE_INSTALL_LIBDIR}/edition2/${implib})

configure_package_config_file(cmake/VelmoraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfig.cmake
  INSTALL_DESTINATION ${VELMORA_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
# Version 3.x.x.x: a request for Velmora 3 is met, one for Velmora 2 is not (edition 2 comes as
# the Edition2 component). The pointer size must match, so a 32-bit package serves only 32-bit
# hosts.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfigVersion.cmake
        DESTINATION ${VELMORA_PACKAGE_DIR})
