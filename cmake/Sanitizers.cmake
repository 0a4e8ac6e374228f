# One sanitizer per build folder; the whole build (core, plugins, tests) uses it.
# Line tables only (-g1): reports name every frame's function, file and line,
# and the compile takes a third less than with full debug information.
# ASan+UBSan at -Og: on core/event_routing.cpp 11 s of CPU against 24 s at -O1
# (-g), where UBSan's checks make the optimiser's work twice as long. TSan
# stays at -O1: it slows every memory access, and -O0/-Og code makes more.
if(DVR_SANITIZE STREQUAL "address")
  add_compile_options(-Og -g1)
elseif(NOT DVR_SANITIZE STREQUAL "")
  add_compile_options(-O1 -g1)
endif()
if(DVR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  # GCC 12's flow analysis under ASan reports std::function inside std::regex
  # as maybe-uninitialized; the plain build keeps the warning.
  add_compile_options($<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
  add_link_options(-fsanitize=address,undefined)
  set(DVR_KEEP_LIBRARIES ON CACHE BOOL "" FORCE)
elseif(DVR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  # GCC warns that TSan does not model the fence inside Boost.Asio's
  # reference counting; the counts themselves are atomic RMW operations.
  add_compile_options($<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
  add_link_options(-fsanitize=thread)
  set(DVR_KEEP_LIBRARIES ON CACHE BOOL "" FORCE)
elseif(NOT DVR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "DVR_SANITIZE must be address, thread or empty")
endif()
