# What `cmake --install` puts into a prefix: the header, the library (with the DLL's import
# library on Windows), a CMake package giving rallylink::rallylink, and rallylink.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS rallylink EXPORT rallylinkTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES exports/rallylink.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(RALLYLINK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rallylink)
install(EXPORT rallylinkTargets NAMESPACE rallylink:: DESTINATION ${RALLYLINK_CMAKE_DIR})
configure_package_config_file(cmake/rallylinkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/generated/rallylinkConfig.cmake INSTALL_DESTINATION ${RALLYLINK_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/generated/rallylinkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/generated/rallylinkConfig.cmake
              ${CMAKE_BINARY_DIR}/generated/rallylinkConfigVersion.cmake
        DESTINATION ${RALLYLINK_CMAKE_DIR})

# rallylink.pc finds the prefix from its own place, so the installed tree can move.
string(REGEX REPLACE "[^/]+" ".." RALLYLINK_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(cmake/rallylink.pc.in ${CMAKE_BINARY_DIR}/generated/rallylink.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/generated/rallylink.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
