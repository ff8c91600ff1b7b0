# The gateway's on-disk store and the forwarding that drains it: SQLite from the system
# (Debian libsqlite3-dev), Linux only, like the MQTT link it serves.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VPIVG_SQLITE REQUIRED IMPORTED_TARGET sqlite3)

add_library(vpivg_gateway_store STATIC
  ${CMAKE_CURRENT_LIST_DIR}/store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/forwarder.cpp)
target_include_directories(vpivg_gateway_store PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vpivg_gateway_store PUBLIC PkgConfig::VPIVG_SQLITE PRIVATE vpivg_warnings)
