# The build's identity: the version from project(), the source revision from git, both taken
# when CMake configures. Everything that reports a version reads it from here, so a plant can
# tell which build it has. The driver's own banner and start message are fixed texts the host
# shows and do not change with it.
find_package(Git QUIET)

set(VPIVG_REVISION "unknown")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE _vpivg_commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _vpivg_git_status ERROR_QUIET)
  if(_vpivg_git_status EQUAL 0 AND _vpivg_commit MATCHES "^[0-9a-f]+$")
    set(VPIVG_REVISION ${_vpivg_commit})
    # Sources that differ from the commit are not that revision: say so.
    execute_process(COMMAND ${GIT_EXECUTABLE} status --porcelain --untracked-files=no
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _vpivg_changes RESULT_VARIABLE _vpivg_git_status ERROR_QUIET)
    if(NOT _vpivg_git_status EQUAL 0 OR NOT _vpivg_changes STREQUAL "")
      string(APPEND VPIVG_REVISION "-dirty")
    endif()
    # A new commit or a checkout configures again, so the revision never goes stale.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path HEAD --git-path packed-refs
                            --symbolic-full-name HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _vpivg_git_paths OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REPLACE "\n" ";" _vpivg_git_paths "${_vpivg_git_paths}")
    list(LENGTH _vpivg_git_paths _vpivg_count)
    if(_vpivg_count EQUAL 3)
      list(GET _vpivg_git_paths 0 _vpivg_head)
      list(GET _vpivg_git_paths 1 _vpivg_packed)
      list(GET _vpivg_git_paths 2 _vpivg_ref)
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path ${_vpivg_ref}
                      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                      OUTPUT_VARIABLE _vpivg_ref_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      foreach(_vpivg_file IN ITEMS ${_vpivg_head} ${_vpivg_packed} ${_vpivg_ref_file})
        get_filename_component(_vpivg_file ${_vpivg_file} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
        if(EXISTS ${_vpivg_file})
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_vpivg_file})
        endif()
      endforeach()
    endif()
  endif()
endif()
message(STATUS "vpivg ${PROJECT_VERSION}, revision ${VPIVG_REVISION}")

set(VPIVG_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vpivg_version.h.in ${VPIVG_GENERATED_DIR}/vpivg_version.h
               @ONLY)
add_library(vpivg_version INTERFACE)
target_include_directories(vpivg_version INTERFACE ${VPIVG_GENERATED_DIR})

# A Windows version resource (VERSIONINFO) for a program or DLL of ours, so Windows' file
# properties and a plant's inventory tools show what it is and which build.
#   vpivg_version_resource(TARGET DESCRIPTION "text")
function(vpivg_version_resource target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION" "")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(VPIVG_RC_FILETYPE "0x2L")  # VFT_DLL
    set(VPIVG_RC_FILENAME "${target}.dll")
  else()
    set(VPIVG_RC_FILETYPE "0x1L")  # VFT_APP
    set(VPIVG_RC_FILENAME "${target}.exe")
  endif()
  set(VPIVG_RC_DESCRIPTION "${arg_DESCRIPTION}")
  set(VPIVG_RC_INTERNAL_NAME "${target}")
  set(rc ${VPIVG_GENERATED_DIR}/${target}.rc)
  configure_file(${VPIVG_VERSION_RC_TEMPLATE} ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
set(VPIVG_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)
