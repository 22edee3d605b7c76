# From a schedule entry's due time to its first byte on the serial line, with
# the core service and the emulated two-way interface.
if(TARGET veldrin_core AND TARGET veldrin_sim)
  veldrin_add_bench(schedule_due
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/schedule_due_bench.cpp
    LIBS veldrin_core veldrin_sim)
endif()
