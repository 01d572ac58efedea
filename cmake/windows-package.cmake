# The R package's own library for Windows, orvel.dll, cross-built the way
# R CMD INSTALL builds it with Rtools: rpkg/src/*.c compiled with R's headers
# and Windows R's flags, linked with both engines' static libraries and
# against R.dll, exporting every global name of the package's objects (R's
# own rule when a package brings no .def file), libgcc linked in.
#   ORVEL_R_INCLUDE: R's headers (`R CMD config --cppflags`); the host's
#   Rconfig.h is taken without what Windows R's lacks.
#   ORVEL_HOST_LIBR: the host's libR.so, for the names and kinds of R's API.
set(ORVEL_R_INCLUDE "" CACHE PATH "R's include directory")
set(ORVEL_HOST_LIBR "" CACHE FILEPATH "This host's libR.so")
if(NOT EXISTS "${ORVEL_R_INCLUDE}/Rinternals.h" OR NOT EXISTS "${ORVEL_HOST_LIBR}")
  message(FATAL_ERROR "orvel.dll needs ORVEL_R_INCLUDE (R's headers) and ORVEL_HOST_LIBR (libR.so)")
endif()
find_program(ORVEL_DLLTOOL NAMES ${ORVEL_MINGW_PREFIX}-dlltool dlltool REQUIRED)

set(pkg_dir ${CMAKE_BINARY_DIR}/rpkg)
file(READ ${ORVEL_R_INCLUDE}/Rconfig.h rconfig)
string(REGEX REPLACE "#define (HAVE_VISIBILITY_ATTRIBUTE|HAVE_ALLOCA_H) 1\n" "" rconfig "${rconfig}")
file(WRITE ${pkg_dir}/include/Rconfig.h "${rconfig}")

file(GLOB pkg_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/rpkg/src/*.c)
add_library(orvel_pkg_objects OBJECT ${pkg_sources})
# R's Windows CFLAGS (-O2 -Wall -mfpmath=sse -msse2 -mstackrealign), C17 as
# R >= 4.3 asks for, and R's definitions for a package's code.
target_compile_options(orvel_pkg_objects PRIVATE -std=gnu17 -O2 -Wall -mfpmath=sse -msse2
  -mstackrealign)
target_compile_definitions(orvel_pkg_objects PRIVATE NDEBUG)
target_include_directories(orvel_pkg_objects PRIVATE ${pkg_dir}/include ${ORVEL_R_INCLUDE}
  ${PROJECT_SOURCE_DIR}/lib/localfit ${PROJECT_SOURCE_DIR}/lib/lpoly ${PROJECT_SOURCE_DIR}/lib/cpu)

add_custom_command(OUTPUT ${pkg_dir}/libR.dll.a ${pkg_dir}/orvel.def
  COMMAND sh ${PROJECT_SOURCE_DIR}/tools/windows-r-import.sh ${CMAKE_NM} ${ORVEL_DLLTOOL}
    ${ORVEL_HOST_LIBR} ${pkg_dir} $<TARGET_OBJECTS:orvel_pkg_objects>
  DEPENDS orvel_pkg_objects $<TARGET_OBJECTS:orvel_pkg_objects> ${PROJECT_SOURCE_DIR}/tools/windows-r-import.sh
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(orvel_pkg_imports DEPENDS ${pkg_dir}/libR.dll.a ${pkg_dir}/orvel.def)

add_library(orvel_pkg SHARED $<TARGET_OBJECTS:orvel_pkg_objects>)
add_dependencies(orvel_pkg orvel_pkg_imports)
set_target_properties(orvel_pkg PROPERTIES OUTPUT_NAME orvel PREFIX "" SUFFIX ".dll"
  LINKER_LANGUAGE C RUNTIME_OUTPUT_DIRECTORY ${pkg_dir} ARCHIVE_OUTPUT_DIRECTORY ${pkg_dir}/implib)
target_link_libraries(orvel_pkg PRIVATE orvel_localfit orvel_lpoly ${pkg_dir}/libR.dll.a)
target_link_options(orvel_pkg PRIVATE ${pkg_dir}/orvel.def -static-libgcc -static -Wl,--no-undefined)
