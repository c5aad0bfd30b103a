# veltrax_relative_sources(<target> <out>): the sources of a target,
# relative to the source tree.
function(veltrax_relative_sources target out)
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(result)
  foreach(s ${sources})
    get_filename_component(s ${s} ABSOLUTE BASE_DIR ${source_dir})
    file(RELATIVE_PATH s ${PROJECT_SOURCE_DIR} ${s})
    list(APPEND result ${s})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()
