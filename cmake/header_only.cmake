# Header-only libraries from the Debian packages under /usr/include, for every target.
#
# A MinGW build must never see /usr/include as a whole (glibc's headers would shadow MinGW's), so
# each library gets a folder of its own in the build tree holding links to just its headers, and
# that folder alone goes on the include path, as a system folder so its warnings are not ours.
#
#   vpivg_header_only(<target> HEADERS <name under /usr/include>... [DEFINITIONS <def>...])
function(vpivg_header_only target)
  cmake_parse_arguments(arg "" "" "HEADERS;DEFINITIONS" ${ARGN})
  set(dir ${CMAKE_BINARY_DIR}/header-only/${target})
  file(MAKE_DIRECTORY ${dir})
  foreach(header IN LISTS arg_HEADERS)
    if(NOT EXISTS /usr/include/${header})
      message(FATAL_ERROR "${target}: /usr/include/${header} is missing; scripts/setup.sh installs it")
    endif()
    file(REMOVE ${dir}/${header})
    file(CREATE_LINK /usr/include/${header} ${dir}/${header} SYMBOLIC)
  endforeach()
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${dir})
  if(arg_DEFINITIONS)
    target_compile_definitions(${target} INTERFACE ${arg_DEFINITIONS})
  endif()
endfunction()
