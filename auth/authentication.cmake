# The handshake (plain C++) and the authentication worker (Qt).
add_library(uav_handshake STATIC ${CMAKE_CURRENT_LIST_DIR}/Handshake.cpp)
target_link_libraries(uav_handshake PUBLIC uav_crypto uav_framing)

add_library(uav_auth STATIC ${CMAKE_CURRENT_LIST_DIR}/AuthenticationManager.cpp)
target_link_libraries(uav_auth PUBLIC uav_handshake uav_smartcard Qt5::Core)
