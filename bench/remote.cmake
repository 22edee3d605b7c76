# Round trip of a remote command through the core service and its listener,
# as the daemon runs them: socket to "OK", and socket to the first frame on the
# serial line.
if(TARGET veldrin_core AND TARGET veldrin_remote_service AND TARGET veldrin_sim)
  veldrin_add_bench(remote
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/remote_bench.cpp
    LIBS veldrin_core veldrin_remote_service veldrin_sim)
endif()
