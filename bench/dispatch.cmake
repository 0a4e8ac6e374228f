# The event path of the real core, hosted in-process with the log plugin and
# three consumer plugins, against a bare hand-off and a bare copy.
set(dvr_bench_plugin_dir ${CMAKE_BINARY_DIR}/bench/plugins)
set(dvr_bench_consumers)
foreach(variant A:0x00610000u B:0x00620000u C:0x00630000u)
  string(REPLACE ":" ";" parts ${variant})
  list(GET parts 0 letter)
  list(GET parts 1 address)
  add_library(Consumer${letter} MODULE ${CMAKE_CURRENT_LIST_DIR}/plugins/consumer_plugin.cpp)
  target_link_libraries(Consumer${letter} PRIVATE dvr_sdk dvr_warnings Threads::Threads)
  target_compile_definitions(Consumer${letter} PRIVATE CONSUMER_ADDRESS=${address})
  if(letter STREQUAL "A")
    target_compile_definitions(Consumer${letter} PRIVATE CONSUMER_ALSO_POS)
  endif()
  set_target_properties(Consumer${letter} PROPERTIES PREFIX "" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${dvr_bench_plugin_dir} CXX_VISIBILITY_PRESET hidden)
  list(APPEND dvr_bench_consumers $<TARGET_FILE:Consumer${letter}>)
endforeach()

find_path(dvr_concurrentqueue_dir concurrentqueue/blockingconcurrentqueue.h REQUIRED)
dvr_add_bench(dispatch SOURCES ${CMAKE_CURRENT_LIST_DIR}/dispatch.cpp ${CMAKE_CURRENT_LIST_DIR}/call_counts.cpp
  LIBS dvr_core_all ${CMAKE_DL_LIBS})
target_include_directories(dispatch SYSTEM PRIVATE ${dvr_concurrentqueue_dir})
target_include_directories(dispatch PRIVATE ${PROJECT_SOURCE_DIR}/tests) # the tests' running core
# The counting interposers must be what the plugins and libstdc++ call.
set_target_properties(dispatch PROPERTIES ENABLE_EXPORTS ON)
add_dependencies(dispatch LogPI ConsumerA ConsumerB ConsumerC)
string(REPLACE ";" ":" dvr_bench_consumer_list "${dvr_bench_consumers}")
target_compile_definitions(dispatch PRIVATE
  DVR_BENCH_LOGPI="$<TARGET_FILE:LogPI>"
  DVR_BENCH_CONSUMERS="${dvr_bench_consumer_list}")
