# What a host builds against, installed the usual ways: the driver library itself, the host
# runtime it imports (the stand-in; a plant's host brings its own), the contract's C headers
# under include/, a vpivg.pc for pkg-config and a CMake package (find_package(vpivg) gives
# vpivg::vpivg). Components: "runtime" (the driver), "zelpro" (the stand-in runtime) and
# "development" (headers, pkg-config and CMake files, import libraries).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VPIVG_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vpivg)

# The driver finds the runtime beside itself once installed, as it does in the build tree.
if(NOT WIN32)
  set_target_properties(vpivg zelpro PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

# vpivg::headers alone serves a replacement runtime.
install(TARGETS vpivg vpivg_headers EXPORT vpivgTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The stand-in runtime (vpivg::zelpro) is a component of its own: a plant's host brings its own
# zelpro, which ours must never replace.
install(TARGETS zelpro EXPORT vpivgZelproTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zelpro
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT zelpro
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)

install(FILES ${PROJECT_SOURCE_DIR}/include/vpivg/vpivg.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vpivg COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/zelpro/zelpro.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelpro COMPONENT development)

# pkg-config: the prefix is worked out from where the file lies, so an installed tree can be
# moved (or unpacked from the zip) and still be found.
file(RELATIVE_PATH VPIVG_PC_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VPIVG_PC_TO_PREFIX "${VPIVG_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vpivg.pc.in ${CMAKE_BINARY_DIR}/vpivg.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vpivg.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

install(EXPORT vpivgTargets NAMESPACE vpivg:: DESTINATION ${VPIVG_CMAKE_PACKAGE_DIR}
  COMPONENT development)
install(EXPORT vpivgZelproTargets NAMESPACE vpivg:: DESTINATION ${VPIVG_CMAKE_PACKAGE_DIR}
  COMPONENT zelpro)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vpivgConfig.cmake.in
  ${CMAKE_BINARY_DIR}/vpivgConfig.cmake INSTALL_DESTINATION ${VPIVG_CMAKE_PACKAGE_DIR})
# Hosts are built against one major version of the records.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vpivgConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vpivgConfig.cmake ${CMAKE_BINARY_DIR}/vpivgConfigVersion.cmake
  DESTINATION ${VPIVG_CMAKE_PACKAGE_DIR} COMPONENT development)
