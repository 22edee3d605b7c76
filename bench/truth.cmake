# Two-way modules asked for their state: how true the tracked state stays
# under powerline loss, and what the checks cost on the line.
if(TARGET veldrin_core AND TARGET veldrin_sim)
  veldrin_add_bench(truth
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/truth_bench.cpp
    LIBS veldrin_core veldrin_sim)
endif()
