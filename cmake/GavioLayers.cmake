# The component code of libgavio.so comes in layers, one folder each. A
# layer is an object library "gavio_<name>"; its objects go into
# libgavio.so and into every program that calls gavio_link_components (the
# tests and benchmarks, which reach internal classes).
#
#   gavio_add_layer(<name> DEPENDS <layer or library>... SOURCES <file>...)

function(gavio_add_layer name)
  cmake_parse_arguments(ARG "" "" "DEPENDS;SOURCES" ${ARGN})
  add_library(gavio_${name} OBJECT ${ARG_SOURCES})
  target_include_directories(gavio_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(gavio_${name} PUBLIC gavioplat ${ARG_DEPENDS})
  set_property(GLOBAL APPEND PROPERTY GAVIO_LAYERS gavio_${name})
endfunction()

# Links every layer's objects into target (object libraries hand over their
# objects only to targets that link them directly).
function(gavio_link_components target)
  get_property(layers GLOBAL PROPERTY GAVIO_LAYERS)
  target_link_libraries(${target} PRIVATE ${layers})
endfunction()
