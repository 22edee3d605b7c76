# The daemon's start: to its remote listener and to READY=1 (runs build/bin/veldrind).
if(TARGET veldrind AND TARGET veldrin_sim)
  veldrin_add_bench(daemon_start
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_start_bench.cpp
    LIBS Qt6::Core Qt6::Network veldrin_sim)
  add_dependencies(bench_daemon_start veldrind)
endif()
