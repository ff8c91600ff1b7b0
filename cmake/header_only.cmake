# Header-only libraries from the build machine's /usr/include, for every target alike.
#
# A MinGW build must not see /usr/include itself: its C library headers would shadow the
# Windows ones. So each library's own folder is linked into a private include folder in the
# build tree, and only that folder is added (as SYSTEM, so their warnings stay theirs).
function(vpivg_header_only_library target)
  cmake_parse_arguments(arg "" "" "FOLDERS;DEFINITIONS" ${ARGN})
  if(TARGET ${target})
    return()
  endif()
  set(staged ${CMAKE_BINARY_DIR}/header-only/${target})
  file(MAKE_DIRECTORY ${staged})
  foreach(folder IN LISTS arg_FOLDERS)
    if(NOT EXISTS /usr/include/${folder})
      message(FATAL_ERROR "${target}: /usr/include/${folder} is missing (run scripts/setup.sh)")
    endif()
    if(NOT EXISTS ${staged}/${folder})
      file(CREATE_LINK /usr/include/${folder} ${staged}/${folder} SYMBOLIC)
    endif()
  endforeach()
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${staged})
  target_compile_definitions(${target} INTERFACE ${arg_DEFINITIONS})
endfunction()
