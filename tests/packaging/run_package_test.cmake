# SPDX-License-Identifier: LGPL-2.1-or-later
# cmake -DBUILD_DIR=... -DPACKAGE=... -DOCTAVE=... -DPLUGIN_DIR=...
#       -DSCRIPT_DIR=... -DWORK_DIR=... -P run_package_test.cmake
# Everything the installation writes stays below WORK_DIR.

execute_process(
  COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target octave-package
          veltrax1_octave veltrax2_octave veltrax3_octave matprod_octave veltrax_help
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the package and the plug-ins failed")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/home)

# Each step in a fresh octave-cli; the scripts fail by raising an error.
function(octave_step script)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env
      HOME=${WORK_DIR}/home
      VELTRAX_PKG_FILE=${PACKAGE}
      VELTRAX_PKG_PREFIX=${WORK_DIR}/prefix
      VELTRAX_PLUGIN_DIR=${PLUGIN_DIR}
      VELTRAX_RESULTS=${WORK_DIR}/package_results.bin
      VELTRAX_THREADS=1
      OMP_NUM_THREADS=2
      ${OCTAVE} --norc --no-history --no-window-system --eval
      "addpath('${SCRIPT_DIR}'); try; ${script}; catch err; report_error(err); exit(1); end; exit(0);"
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${script} failed (exit ${rc}); files in ${WORK_DIR}")
  endif()
endfunction()

octave_step(package_install)
octave_step(package_use)
octave_step(package_compare)

file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "Octave package installs, runs and matches the CMake build")
