# SPDX-License-Identifier: LGPL-2.1-or-later
# Lays out the Octave package tree and packs it:
#   cmake -DCONFIG=<package_config.cmake> -P make_package.cmake
# CONFIG sets the source paths, the file list (relative to the source
# directory), the version and the output paths.

include(${CONFIG})
include(${SOURCE_DIR}/cmake/HelpText.cmake)

set(name veltrax-${PROJECT_VERSION})
set(tree ${STAGE_DIR}/${name})
file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${tree}/inst ${tree}/src)

# Sources keep their layout below src/, so the includes resolve with -I.
foreach(f ${PACKAGE_SOURCES})
  get_filename_component(dir ${f} DIRECTORY)
  file(COPY ${SOURCE_DIR}/${f} DESTINATION ${tree}/src/${dir})
endforeach()
# The Makefile reads the flags and the core sources from the shared lists.
file(COPY ${PACKAGING_DIR}/Makefile ${FLAGS_FILE} ${SOURCES_FILE} DESTINATION ${tree}/src)

foreach(b 1 2 3)
  veltrax_write_help_text(${HELP_TEMPLATE} ${b} ${tree}/inst/veltrax${b}.m)
endforeach()
file(COPY ${HELP_MATPROD} DESTINATION ${tree}/inst)

# Date: the build day, or SOURCE_DATE_EPOCH when set.
string(TIMESTAMP VELTRAX_PACKAGE_DATE "%Y-%m-%d" UTC)
configure_file(${PACKAGING_DIR}/DESCRIPTION.in ${tree}/DESCRIPTION @ONLY)
file(COPY ${PACKAGING_DIR}/INDEX ${SOURCE_DIR}/COPYING DESTINATION ${tree})

file(REMOVE ${OUTPUT})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${OUTPUT} ${name}
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "packing ${OUTPUT} failed: ${rc}")
endif()
