# One static library per layer folder. Each links only the layers below it, so a target's link line
# shows what the folder may use; tools/check-includes.sh keeps the headers to the same order.
function(kestrel_layer target)
  cmake_parse_arguments(LAYER "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${target} STATIC ${LAYER_SOURCES})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${LAYER_LINKS})
  kestrel_warnings(${target})
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
endfunction()
