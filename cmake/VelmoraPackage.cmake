# Installs the header and a CMake package, so that a host project configured with the same
# toolchain can say find_package(Velmora 3 REQUIRED) and link Velmora::Velmora. Each edition's
# imported target comes from its own exported targets file (cmake/VelmoraEdition.cmake).
include(CMakePackageConfigHelpers)

install(FILES include/velmora.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VELMORA_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora)
configure_package_config_file(cmake/VelmoraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfig.cmake
  INSTALL_DESTINATION ${VELMORA_PACKAGE_DIR})
# Version 3.x.x.x: a request for Velmora 3 is met, one for Velmora 2 is not (edition 2 comes as
# the Edition2 component). The pointer size must match, so a 32-bit package serves only 32-bit
# hosts.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfigVersion.cmake
        DESTINATION ${VELMORA_PACKAGE_DIR})

# What users of the binaries read: their README (not the developers'), the licence and the
# notices of the runtime linked into the tools. scripts/package.sh makes the release archives
# from this installed tree.
install(FILES dist/README.md dist/THIRD-PARTY-NOTICES.txt LICENSE DESTINATION .)
