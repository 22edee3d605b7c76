# Start-up of the program: window shown, resident memory (runs build/bin/veldrin).
if(TARGET veldrin AND TARGET veldrin_sim)
  veldrin_add_bench(startup
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp
    LIBS Qt6::Core veldrin_sim)
  add_dependencies(bench_startup veldrin)
endif()
