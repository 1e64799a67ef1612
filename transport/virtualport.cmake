# The pseudo-terminal port offered to the ground-control program on Linux.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_library(uav_vport STATIC
    ${CMAKE_CURRENT_LIST_DIR}/VirtualSerialPort.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VirtualSerialPort.h)
  target_link_libraries(uav_vport PUBLIC Qt5::Core)
endif()
