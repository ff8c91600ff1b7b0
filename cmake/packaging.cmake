# What ships and where it goes, and the packages CPack makes of it (scripts/package.sh):
#   Windows: vpivg-<version>-win32.zip, the driver at the top, the tools and the stand-in host
#            runtime in tools/, never beside the driver;
#   Linux:   vpivg_<version>_amd64.deb, the driver in the library folder, the tools in bin/, the
#            stand-in runtime in a private folder only the tools look in, man pages, docs.
# Everything is installed into components of our own, and only those are packaged.
include(GNUInstallDirs)

option(VPIVG_MAN_PAGES "Make the man pages of vpivg-host and vpivg-sim from their --help (help2man)" OFF)

if(WIN32)
  set(VPIVG_INSTALL_DRIVER_DIR .)
  set(VPIVG_INSTALL_TOOLS_DIR tools)
  set(VPIVG_INSTALL_RUNTIME_DIR tools)
  set(VPIVG_INSTALL_DOC_DIR .)
else()
  set(VPIVG_INSTALL_DRIVER_DIR ${CMAKE_INSTALL_LIBDIR})
  set(VPIVG_INSTALL_TOOLS_DIR ${CMAKE_INSTALL_BINDIR})
  # Not in the loader's folders: a real host's runtime must never be shadowed by ours.
  set(VPIVG_INSTALL_RUNTIME_DIR ${CMAKE_INSTALL_LIBDIR}/vpivg)
  set(VPIVG_INSTALL_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
endif()

# Relative paths from the tools, so an unpacked package runs where it lies.
file(RELATIVE_PATH _vpivg_to_driver /${VPIVG_INSTALL_TOOLS_DIR} /${VPIVG_INSTALL_DRIVER_DIR})
file(RELATIVE_PATH _vpivg_to_runtime /${VPIVG_INSTALL_TOOLS_DIR} /${VPIVG_INSTALL_RUNTIME_DIR})
if(_vpivg_to_driver STREQUAL "")
  set(_vpivg_to_driver .)
endif()
if(TARGET vpivg_host_core)
  target_compile_definitions(vpivg_host_core PRIVATE
                             VPIVG_PACKAGED_DRIVER_DIR="${_vpivg_to_driver}")
endif()

# The driver: the built file as it is, so the shipped bytes are the ones a rebuild compares.
install(FILES $<TARGET_FILE:vpivg> DESTINATION ${VPIVG_INSTALL_DRIVER_DIR} COMPONENT driver)

# The tools and the stand-in runtime they need.
set(_vpivg_tools)
foreach(tool vpivg-host vpivg-sim)
  if(TARGET ${tool})
    list(APPEND _vpivg_tools ${tool})
  endif()
endforeach()
if(NOT WIN32)
  set_target_properties(${_vpivg_tools} PROPERTIES INSTALL_RPATH "$ORIGIN/${_vpivg_to_runtime}")
endif()
install(TARGETS ${_vpivg_tools} RUNTIME DESTINATION ${VPIVG_INSTALL_TOOLS_DIR} COMPONENT tools)
install(FILES $<TARGET_FILE:zelpro> DESTINATION ${VPIVG_INSTALL_RUNTIME_DIR} COMPONENT tools)
if(WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/windows-tools-README.txt
          DESTINATION ${VPIVG_INSTALL_TOOLS_DIR} RENAME README.txt COMPONENT tools)
endif()

# The gateway as a service: the systemd unit (one instance per config file) and the example
# config beside where the instances' files go. A file in /etc is the admin's once installed:
# the example is a conffile, so an upgrade never overwrites an edited copy unasked.
if(NOT WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/vpivg-host@.service
          DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system COMPONENT tools)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/gateway.toml.example
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vpivg COMPONENT tools)
endif()

# The documentation.
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${VPIVG_INSTALL_DOC_DIR} COMPONENT docs)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION ${VPIVG_INSTALL_DOC_DIR} COMPONENT docs
        PATTERN "*.json" EXCLUDE)

# Man pages from the programs' own --help, so they cannot drift from them. The version is given
# (the same one --version prints): the host's --version also names the driver file it loaded,
# a path of this build folder that has no place in a shipped page.
if(VPIVG_MAN_PAGES AND NOT CMAKE_CROSSCOMPILING AND _vpivg_tools)
  find_program(VPIVG_HELP2MAN help2man REQUIRED)
  find_program(VPIVG_GZIP gzip REQUIRED)
  set(_vpivg_man_vpivg-host "stand-in SCADA host for the vpivg driver")
  set(_vpivg_man_vpivg-sim "instrument simulator for the vpivg driver")
  set(_vpivg_pages)
  foreach(tool IN LISTS _vpivg_tools)
    set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${VPIVG_HELP2MAN} --no-info --section 1 --name "${_vpivg_man_${tool}}"
              --version-string "${tool} ${PROJECT_VERSION} (revision ${VPIVG_REVISION})"
              --output ${page} $<TARGET_FILE:${tool}>
      # -n: no name or time stamp in the archive, so the page is the same in every build.
      COMMAND ${VPIVG_GZIP} -9nf ${page}
      DEPENDS ${tool} vpivg
      COMMENT "Man page of ${tool}"
      VERBATIM)
    list(APPEND _vpivg_pages ${page}.gz)
  endforeach()
  add_custom_target(vpivg_man_pages ALL DEPENDS ${_vpivg_pages})
  install(FILES ${_vpivg_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

# The packages.
set(CPACK_PACKAGE_NAME vpivg)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Serial-line driver for a gas-analysis mass spectrometer, with test host and simulator")
set(CPACK_PACKAGE_VENDOR "vpivg project")
set(CPACK_PACKAGE_CONTACT "vpivg project")
# What a host is built against ships as well. On Linux that is the development component
# (cmake/install-dev.cmake: headers, vpivg.pc, the CMake package), whose library path is the
# driver's own here. In the zip, beside a DLL found by name, the two C headers are what a host
# needs; the pkg-config and CMake files would name a layout the zip does not have.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/include/vpivg/vpivg.h DESTINATION include/vpivg COMPONENT driver)
  install(FILES ${PROJECT_SOURCE_DIR}/include/zelpro/zelpro.h DESTINATION include/zelpro
          COMPONENT driver)
  set(CPACK_COMPONENTS_ALL driver tools docs)
else()
  set(CPACK_COMPONENTS_ALL driver tools docs development)
endif()
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_vpivg_arch win32)
  else()
    set(_vpivg_arch win64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGE_FILE_NAME vpivg-${PROJECT_VERSION}-${_vpivg_arch})
  set(CPACK_ARCHIVE_FILE_NAME vpivg-${PROJECT_VERSION}-${_vpivg_arch})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vpivg project")
  # The C and C++ runtimes of Debian 12, which the build links against; vpivg-host's MQTT
  # gateway adds libmosquitto, OpenSSL and the protobuf-c runtime.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
  if(VPIVG_HAVE_MQTT)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libmosquitto1 (>= 2.0), libssl3, libprotobuf-c1, libsqlite3-0")
  endif()
  file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vpivg/gateway.toml.example\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "libvpivg.so is the driver a SCADA host loads. vpivg-host and vpivg-sim are a stand-in host and an instrument simulator for commissioning and tests; the stand-in host runtime they need is kept where only they find it.")
endif()
include(CPack)
