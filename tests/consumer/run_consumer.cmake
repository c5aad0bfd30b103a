# SPDX-License-Identifier: LGPL-2.1-or-later
# cmake -DMODE=package|add_subdirectory -DSOURCE_DIR=... -DBUILD_DIR=...
#       -DAPP_DIR=... -DWORK_DIR=... -P run_consumer.cmake
# Configures, builds and runs the consumer project in WORK_DIR.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
  endif()
  set(output "${out}${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
if(MODE STREQUAL "package")
  run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
  set(options -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
else()
  set(options -DVELTRAX_SOURCE=${SOURCE_DIR} -DVELTRAX_TESTS=ON -DVELTRAX_BENCHMARKS=ON
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
endif()
run("configuring the consumer" ${CMAKE_COMMAND} -S ${APP_DIR} -B ${WORK_DIR}/build ${options})
if(MODE STREQUAL "add_subdirectory")
  foreach(skipped "GoogleTest not found" "Google Benchmark not found")
    string(FIND "${output}" "${skipped}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "no message '${skipped}' while configuring:\n${output}")
    endif()
  endforeach()
endif()
run("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/build --target app -j 2)
run("the consumer" ${WORK_DIR}/build/app)
message(STATUS "${output}")
file(REMOVE_RECURSE ${WORK_DIR})
