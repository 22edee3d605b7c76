# Figures of the control library: CPU during Init, latencies, queue throughput;
# and, through the core's interface, a silent interface noticed and found again.
if(TARGET veldrin_sim)
  veldrin_add_bench(pandrel
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/pandrel_bench.cpp
    LIBS pandrel veldrin_serial veldrin_sim veldrin_platform veldrin_core_interface)
  target_include_directories(bench_pandrel PRIVATE ${PROJECT_SOURCE_DIR})
endif()
