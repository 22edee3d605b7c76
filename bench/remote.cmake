# Round trip of a remote command through the real window: socket to "OK", and
# socket to the first frame on the serial line.
if(TARGET veldrin_app AND TARGET veldrin_sim)
  veldrin_add_bench(remote
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/remote_bench.cpp
    LIBS veldrin_app veldrin_sim)
endif()
