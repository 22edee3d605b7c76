# Two clients with one client id on a private broker: the connections made
# in a minute (logical time): one takes the session, the other gives way.
if(TARGET veldrin_mqtt)
  veldrin_add_bench(mqtt_takeover
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_takeover_bench.cpp
    LIBS veldrin_mqtt)
endif()
