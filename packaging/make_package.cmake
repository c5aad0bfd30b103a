# Lays out the Octave package tree and packs it:
#   cmake -DCONFIG=<package_config.cmake> -P make_package.cmake
# CONFIG sets the source and help directories, the file lists (relative to
# the source directory), the version and the output paths.

include(${CONFIG})

set(name veltrax-${PROJECT_VERSION})
set(tree ${STAGE_DIR}/${name})
file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${tree}/inst ${tree}/src)

# Sources keep their layout below src/, so the includes resolve with -I.
foreach(f ${PACKAGE_SOURCES})
  get_filename_component(dir ${f} DIRECTORY)
  file(COPY ${SOURCE_DIR}/${f} DESTINATION ${tree}/src/${dir})
endforeach()
foreach(f ${HELP_FILES})
  file(COPY ${HELP_DIR}/${f} DESTINATION ${tree}/inst)
endforeach()

string(REPLACE ";" " " VELTRAX_CORE_SOURCES "${VELTRAX_CORE_SOURCES}")
string(REPLACE ";" " " MATPROD_CORE_SOURCES "${MATPROD_CORE_SOURCES}")
string(REPLACE ";" " " VELTRAX_HEADERS "${VELTRAX_HEADERS}")
configure_file(${PACKAGING_DIR}/Makefile.in ${tree}/src/Makefile @ONLY)

# Date: the build day, or SOURCE_DATE_EPOCH when set.
string(TIMESTAMP VELTRAX_PACKAGE_DATE "%Y-%m-%d" UTC)
configure_file(${PACKAGING_DIR}/DESCRIPTION.in ${tree}/DESCRIPTION @ONLY)
file(COPY ${PACKAGING_DIR}/INDEX ${PACKAGING_DIR}/COPYING DESTINATION ${tree})

file(REMOVE ${OUTPUT})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${OUTPUT} ${name}
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "packing ${OUTPUT} failed: ${rc}")
endif()
