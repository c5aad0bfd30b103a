# SPDX-License-Identifier: LGPL-2.1-or-later
# The help texts of veltrax1, veltrax2 and veltrax3 come from one template,
# mex/help/veltrax.m.in: a line that starts with {digits} belongs only to the
# builds named by the digits (the tag is dropped), and @N@ is the build
# number. matlab/build_veltrax.m reads the template the same way.
#
#   include(HelpText) then veltrax_write_help_text(<template> <build> <output>)
#   cmake -DTEMPLATE=... -DBUILD=... -DOUTPUT=... -P HelpText.cmake

function(veltrax_write_help_text template build output)
  file(READ ${template} text)
  # A leading newline lets every line, the first too, be matched as "\n...".
  set(text "\n${text}")
  foreach(tag 1 2 3 12 13 23 123)
    string(FIND "${tag}" "${build}" at)
    if(at EQUAL -1)
      string(REGEX REPLACE "\n{${tag}}[^\n]*" "" text "${text}")
    else()
      string(REPLACE "\n{${tag}}" "\n" text "${text}")
    endif()
  endforeach()
  if(text MATCHES "\n{[0-9]*}")
    message(FATAL_ERROR "${template}: a line has a build tag other than {1}, {2}, {3}, {12}, {13}, {23}, {123}")
  endif()
  string(SUBSTRING "${text}" 1 -1 text)
  string(REPLACE "@N@" "${build}" text "${text}")
  file(WRITE ${output} "${text}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  veltrax_write_help_text(${TEMPLATE} ${BUILD} ${OUTPUT})
endif()
