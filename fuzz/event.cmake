# Event records from arbitrary bytes, posted through DvrCore::eventReceiver
# into a real core hosted once per process (as bench/dispatch does): the log
# plugin and two sinks built from the test probe that consume every type, one
# of them keeping payloads and giving them back from its own thread.
set(dvr_event_sink_dir ${CMAKE_BINARY_DIR}/test-plugins)
include(${PROJECT_SOURCE_DIR}/tests/support/plugins/probe_body.cmake)
set(dvr_event_all_types
  "(OX_TYPE_VIDEO|OX_TYPE_AUDIO|OX_TYPE_ALARM|OX_TYPE_PTZ|OX_TYPE_SERIAL|OX_TYPE_LOG|OX_TYPE_POS|OX_TYPE_ANALYTIC)")
foreach(variant EventSinkA:0x00710000u EventSinkB:0x00720000u)
  string(REPLACE ":" ";" parts ${variant})
  list(GET parts 0 sink)
  list(GET parts 1 address)
  # Own targets rather than the tests' ones: the fuzz build has no test tree.
  dvr_probe_variant(${sink} ${dvr_event_sink_dir} PROBE_ADDRESS=${address} PROBE_CONSUMES=${dvr_event_all_types})
endforeach()

dvr_add_fuzz_target(event LIBS dvr_core_all)
foreach(t fuzz_event replay_event)
  if(TARGET ${t})
    add_dependencies(${t} LogPI EventSinkA EventSinkB)
    target_include_directories(${t} PRIVATE ${PROJECT_SOURCE_DIR}/tests) # the tests' access to the core
    target_compile_definitions(${t} PRIVATE
      DVR_EVENT_LOGPI="$<TARGET_FILE:LogPI>"
      DVR_EVENT_SINKS="$<TARGET_FILE:EventSinkA>:$<TARGET_FILE:EventSinkB>")
  endif()
endforeach()
if(TARGET replay_event)
  set_tests_properties(replay_event PROPERTIES TIMEOUT 60)
endif()
if(DVR_BUILD_FUZZ)
  # Coverage feedback from the event path, not only from the harness.
  foreach(lib dvr_core dvr_plugin dvr_log)
    target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link)
  endforeach()
endif()
