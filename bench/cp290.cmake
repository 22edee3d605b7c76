# CP290 exchange latency against the emulator, line paced at 600 baud, real time.
if(NOT TARGET veldrin_cp290)
  add_subdirectory(${PROJECT_SOURCE_DIR}/core/interface/cp290 ${CMAKE_BINARY_DIR}/core/interface/cp290)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/sim/CMakeLists.txt)
  veldrin_add_bench(cp290 SOURCES ${CMAKE_CURRENT_LIST_DIR}/cp290_bench.cpp
    LIBS veldrin_cp290 veldrin_sim)
endif()
