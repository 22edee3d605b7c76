# From a device node appearing to its interface found, when the node may be
# opened only a moment after it appears.
if(TARGET veldrin_core_interface)
  veldrin_add_bench(device_permission
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/device_permission_bench.cpp
    LIBS veldrin_core_interface veldrin_platform)
endif()
