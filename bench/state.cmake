# From an upload on the line to the state table's changed signal.
if(TARGET veldrin_sim AND TARGET veldrin_state)
  veldrin_add_bench(state
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/state_bench.cpp
    LIBS pandrel veldrin_state veldrin_sim veldrin_platform Qt6::Widgets)
  target_include_directories(bench_state PRIVATE ${PROJECT_SOURCE_DIR}/app)
endif()
