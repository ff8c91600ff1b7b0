# Runs a program with --version (through the emulator on a cross build) and checks its exit
# status and every line it must print. Runs the real program, so it holds whatever parses the
# command line.
#   cmake -DPROGRAM=... [-DEMULATOR=a;b] [-DARGS=x;y] -DEXPECT_STATUS=0
#         -DEXPECT_OUT=regex;regex -DEXPECT_ERR=regex -P check_version_output.cmake
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
string(REPLACE "|" ";" ARGS "${ARGS}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --version ${ARGS}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
string(REPLACE "\r" "" out "${out}")
string(REPLACE "\r" "" err "${err}")
set(failed 0)
if(NOT "${status}" STREQUAL "${EXPECT_STATUS}")
  message(SEND_ERROR "exit status ${status}, expected ${EXPECT_STATUS}")
  set(failed 1)
endif()
string(REPLACE "|" ";" EXPECT_OUT "${EXPECT_OUT}")
foreach(pattern IN LISTS EXPECT_OUT)
  if(NOT out MATCHES "${pattern}")
    message(SEND_ERROR "standard output lacks /${pattern}/")
    set(failed 1)
  endif()
endforeach()
if(DEFINED EXPECT_ERR AND NOT err MATCHES "${EXPECT_ERR}")
  message(SEND_ERROR "standard error lacks /${EXPECT_ERR}/")
  set(failed 1)
endif()
if(failed)
  message(FATAL_ERROR "${PROGRAM} --version ${ARGS}\n--- stdout:\n${out}--- stderr:\n${err}")
endif()
message(STATUS "${out}")
