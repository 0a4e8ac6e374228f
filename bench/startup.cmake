# Start-up time and idle footprint of the real executable.
add_executable(startup ${CMAKE_CURRENT_LIST_DIR}/startup.cpp)
target_link_libraries(startup PRIVATE dvr_warnings)
target_compile_definitions(startup PRIVATE DVR_BIN_DIR="${DVR_BIN_DIR}")
set_target_properties(startup PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(startup dvrcore LogPI)
