# SPDX-License-Identifier: LGPL-2.1-or-later
# Reads cmake/compile-flags.txt and cmake/core-sources.txt, the lists that
# the CMake build shares with the Octave package and matlab/build_veltrax.m.
#
# Sets VELTRAX_CXX_STANDARD (from -std=c++NN), VELTRAX_OPTIMIZE_FLAGS (-O...),
# VELTRAX_COMPILE_FLAGS (the rest), VELTRAX_CORE_SOURCES and
# MATPROD_CORE_SOURCES (relative to the source tree); stops with an error
# when the source list and the files on disk disagree.

set(VELTRAX_FLAGS_FILE ${CMAKE_CURRENT_LIST_DIR}/compile-flags.txt)
set(VELTRAX_SOURCES_FILE ${CMAKE_CURRENT_LIST_DIR}/core-sources.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${VELTRAX_FLAGS_FILE} ${VELTRAX_SOURCES_FILE})

# The lines of a list file without comments and blank lines.
function(veltrax_read_lines file out)
  file(STRINGS ${file} lines)
  set(result)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line AND NOT line MATCHES "^#")
      list(APPEND result "${line}")
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

veltrax_read_lines(${VELTRAX_FLAGS_FILE} flags)
set(VELTRAX_CXX_STANDARD)
set(VELTRAX_OPTIMIZE_FLAGS)
set(VELTRAX_COMPILE_FLAGS)
foreach(flag IN LISTS flags)
  if(flag MATCHES "^-std=c\\+\\+([0-9]+)$")
    set(VELTRAX_CXX_STANDARD ${CMAKE_MATCH_1})
  elseif(flag MATCHES "^-O")
    list(APPEND VELTRAX_OPTIMIZE_FLAGS ${flag})
  else()
    list(APPEND VELTRAX_COMPILE_FLAGS ${flag})
  endif()
endforeach()
if(NOT VELTRAX_CXX_STANDARD)
  message(FATAL_ERROR "${VELTRAX_FLAGS_FILE} names no -std=c++NN")
endif()

veltrax_read_lines(${VELTRAX_SOURCES_FILE} entries)
set(VELTRAX_CORE_SOURCES)
set(MATPROD_CORE_SOURCES)
set(dirs)
foreach(entry IN LISTS entries)
  if(NOT entry MATCHES "^(veltrax_core|matprod_core)[ \t]+([^ \t]+)$")
    message(FATAL_ERROR "${VELTRAX_SOURCES_FILE}: cannot read the line '${entry}'")
  endif()
  set(source ${CMAKE_MATCH_2})
  if(CMAKE_MATCH_1 STREQUAL "veltrax_core")
    list(APPEND VELTRAX_CORE_SOURCES ${source})
  else()
    list(APPEND MATPROD_CORE_SOURCES ${source})
  endif()
  if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${source})
    message(FATAL_ERROR "${source} is listed in ${VELTRAX_SOURCES_FILE} but does not exist")
  endif()
  get_filename_component(dir ${source} DIRECTORY)
  list(APPEND dirs ${dir})
endforeach()
list(REMOVE_DUPLICATES dirs)
foreach(dir IN LISTS dirs)
  file(GLOB on_disk CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
  foreach(source IN LISTS on_disk)
    if(NOT source IN_LIST VELTRAX_CORE_SOURCES AND NOT source IN_LIST MATPROD_CORE_SOURCES)
      message(FATAL_ERROR "${source} is not listed in ${VELTRAX_SOURCES_FILE}: add it there")
    endif()
  endforeach()
endforeach()
