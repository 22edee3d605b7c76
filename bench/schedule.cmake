# Parsing and planning a 1,000-line schedule.
if(TARGET veldrin_schedule)
  veldrin_add_bench(schedule
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/schedule_bench.cpp ${CMAKE_CURRENT_LIST_DIR}/schedulelines.h
    LIBS veldrin_schedule Qt6::Core)
endif()
