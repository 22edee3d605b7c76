# The TLS listener while silent connections are held open: handshakes and
# logins a prompt client completes in 10 s.
if(TARGET veldrin_remote)
  veldrin_add_bench(remote_tls
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/remote_tls_bench.cpp
    LIBS veldrin_remote)
endif()
