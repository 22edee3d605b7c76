# Loading hostile and large schedule files as the service does at start-up.
if(TARGET veldrin_core)
  veldrin_add_bench(schedule_load
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/schedule_load_bench.cpp
    LIBS veldrin_core)
endif()
