# Writes zelpro's import library for the Windows builds (run after the link, see CMakeLists.txt).
#
# The DLL exports its stdcall functions undecorated (--kill-at), but a caller compiled against
# zelpro.h refers to the decorated names (_Zel5MkClient@16). The linker's own import library
# carries only the undecorated ones, so nothing could link against it. dlltool -k builds one
# whose symbols keep the decoration while the imported names drop it, which is what the driver
# needs. The export list comes from the linker's --output-def, so the C++ control API is in it
# too without being listed by hand. On x86_64 there is one calling convention and no decoration:
# the def passes through unchanged and the library is rebuilt from it all the same.
#
# Inputs: DEF_IN (the linker's def), DEF_OUT, DLLTOOL, DLL_NAME, IMPLIB.
file(READ "${DEF_IN}" def)
# "Zel5MkClient = Zel5MkClient@16 @3" -> "Zel5MkClient@16 @3"
string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*) = [A-Za-z_][A-Za-z0-9_]*(@[0-9]+)" "\\1\\2"
       def "${def}")
file(WRITE "${DEF_OUT}" "${def}")
# dlltool names the library's internal symbols after the output path it is given; run in the
# library's folder with the bare file name, or the build folder's path ends up in every program
# that imports from zelpro, and the driver's bytes would differ from one build folder to another.
get_filename_component(implib_dir "${IMPLIB}" DIRECTORY)
get_filename_component(implib_name "${IMPLIB}" NAME)
execute_process(
  COMMAND "${DLLTOOL}" --kill-at --input-def "${DEF_OUT}" --dllname "${DLL_NAME}"
          --output-lib "${implib_name}"
  WORKING_DIRECTORY "${implib_dir}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "dlltool failed (${result}) writing ${IMPLIB}")
endif()
