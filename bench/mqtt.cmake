# Latency of the MQTT bridge on the core service, as the daemon runs them, with
# the emulated two-way interface and a private broker: set published to the
# line, confirmation to the state message at a subscriber.
if(TARGET veldrin_core AND TARGET veldrin_sim AND TARGET veldrin_mqtt_bridge)
  veldrin_add_bench(mqtt
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_bench.cpp
    LIBS veldrin_core veldrin_mqtt_bridge veldrin_sim)
endif()
