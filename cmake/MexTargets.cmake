# SPDX-License-Identifier: LGPL-2.1-or-later
# The four plug-ins for Octave (always, when mkoctfile is there) and for
# MATLAB (when CMake finds an installation).

set(VELTRAX_MEX_OUTPUTS veltrax1 veltrax2 veltrax3 matprod)

if(VELTRAX_OCTAVE)
  find_program(MKOCTFILE_EXECUTABLE mkoctfile)
  if(MKOCTFILE_EXECUTABLE)
    execute_process(COMMAND ${MKOCTFILE_EXECUTABLE} -p OCTINCLUDEDIR
                    OUTPUT_VARIABLE OCTAVE_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    message(STATUS "Octave MEX headers: ${OCTAVE_INCLUDE_DIR}")
    set(VELTRAX_OCTAVE_DIR ${CMAKE_BINARY_DIR}/octave)

    function(veltrax_octave_mex name source)
      add_library(${name}_octave MODULE ${source})
      set_target_properties(${name}_octave PROPERTIES
        PREFIX "" SUFFIX ".mex" OUTPUT_NAME ${name}
        LIBRARY_OUTPUT_DIRECTORY ${VELTRAX_OCTAVE_DIR})
      target_include_directories(${name}_octave SYSTEM PRIVATE ${OCTAVE_INCLUDE_DIR})
      target_link_options(${name}_octave PRIVATE -Wl,-Bsymbolic)
    endfunction()

    foreach(b 1 2 3)
      veltrax_octave_mex(veltrax${b} ${CMAKE_CURRENT_SOURCE_DIR}/mex/veltrax_mex.cpp)
      target_compile_definitions(veltrax${b}_octave PRIVATE VELTRAX_BUILD=${b})
      target_link_libraries(veltrax${b}_octave PRIVATE veltrax_settings)
    endforeach()
    veltrax_octave_mex(matprod ${CMAKE_CURRENT_SOURCE_DIR}/mex/matprod_mex.cpp)
    target_link_libraries(matprod_octave PRIVATE matprod_core)
  else()
    message(WARNING "mkoctfile not found: the Octave plug-ins are not built (install octave-dev)")
  endif()
endif()

if(VELTRAX_MATLAB)
  find_package(Matlab QUIET COMPONENTS MX_LIBRARY)
  if(Matlab_FOUND)
    message(STATUS "MATLAB found at ${Matlab_ROOT_DIR}: building the MATLAB plug-ins")
    set(VELTRAX_MATLAB_DIR ${CMAKE_BINARY_DIR}/matlab)
    # Ctrl-C: the gateways ask MATLAB's libut whether an interrupt is pending.
    find_library(VELTRAX_MATLAB_UT_LIBRARY ut PATHS ${Matlab_BINARIES_DIR} ${Matlab_ROOT_DIR}/bin/glnxa64
                 NO_DEFAULT_PATH)
    set(ut ${VELTRAX_MATLAB_UT_LIBRARY})
    if(NOT ut)
      set(ut "")  # the symbols then resolve in the MATLAB process at load
    endif()
    foreach(b 1 2 3)
      matlab_add_mex(NAME veltrax${b}_matlab SRC ${CMAKE_CURRENT_SOURCE_DIR}/mex/veltrax_mex.cpp
                     OUTPUT_NAME veltrax${b} LINK_TO veltrax_settings veltrax_core ${ut} R2017b)
      target_compile_definitions(veltrax${b}_matlab PRIVATE VELTRAX_BUILD=${b} VELTRAX_HOST_MATLAB)
    endforeach()
    matlab_add_mex(NAME matprod_matlab SRC ${CMAKE_CURRENT_SOURCE_DIR}/mex/matprod_mex.cpp
                   OUTPUT_NAME matprod LINK_TO matprod_core ${ut} R2017b)
    # Compatible (32-bit) array dimensions, as matprod was first built.
    target_compile_definitions(matprod_matlab PRIVATE MX_COMPAT_32 VELTRAX_HOST_MATLAB)
    foreach(t veltrax1_matlab veltrax2_matlab veltrax3_matlab matprod_matlab)
      set_target_properties(${t} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${VELTRAX_MATLAB_DIR})
      # MATLAB loads its own, often older, C++ runtime.
      target_link_options(${t} PRIVATE -static-libstdc++ -static-libgcc)
    endforeach()
  endif()
endif()
