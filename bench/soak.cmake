# Soak run of the control library against the emulator with random faults.
if(TARGET veldrin_sim)
  veldrin_add_bench(soak
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/soak_bench.cpp
    LIBS pandrel veldrin_serial veldrin_sim veldrin_platform)
  target_include_directories(bench_soak PRIVATE ${PROJECT_SOURCE_DIR})
endif()
