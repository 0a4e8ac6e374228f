# The probe test plugin's body, compiled once for all its variants (the tests'
# and the fuzz build's).
include_guard(GLOBAL)
add_library(dvr_probe_body OBJECT ${CMAKE_CURRENT_LIST_DIR}/probe_plugin.cpp)
target_link_libraries(dvr_probe_body PRIVATE dvr_sdk Threads::Threads)
set_target_properties(dvr_probe_body PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden)

# A variant: its settings as definitions (PROBE_NAME="..." and the others).
function(dvr_probe_variant name dir)
  add_library(${name} MODULE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/probe_entries.cpp $<TARGET_OBJECTS:dvr_probe_body>)
  target_link_libraries(${name} PRIVATE dvr_sdk Threads::Threads)
  target_compile_definitions(${name} PRIVATE PROBE_NAME="${name}" ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${dir} CXX_VISIBILITY_PRESET hidden)
endfunction()
