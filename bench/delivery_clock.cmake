# The dispatcher's stopwatch against the steady clock: cost of a reading, and
# how far its readings stray from the steady clock.
dvr_add_bench(delivery_clock SOURCES ${CMAKE_CURRENT_LIST_DIR}/delivery_clock.cpp LIBS dvr_core_all)
