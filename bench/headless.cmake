# The daemon: resident memory and idle CPU of veldrind.
if(TARGET veldrind AND TARGET veldrin_sim)
  veldrin_add_bench(headless
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/headless_bench.cpp
    LIBS Qt6::Core Qt6::Network veldrin_sim)
  add_dependencies(bench_headless veldrind)
endif()
