# The same commit built in any two folders gives the same bytes: no build paths and no time
# stamps in what ships, so a plant (or we) can rebuild a release and compare it to the download.
#
# Paths: __FILE__ and the debug information name files relative to the source and build trees.
# The build tree is mapped after the source tree: GCC tries the last mapping first, and the
# build folder usually lies inside the sources.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
                    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
# Run paths name the program's own folder ($ORIGIN), never the absolute build folder.
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
if(WIN32)
  # The PE header's link time stamp; without it two links of the same objects differ.
  add_link_options(-Wl,--no-insert-timestamp)
endif()
# Whatever reads the time (__DATE__, help2man's page date) is pinned by SOURCE_DATE_EPOCH, which
# scripts/package.sh sets to the commit's time.
