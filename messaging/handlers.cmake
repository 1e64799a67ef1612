# The message handlers and the software encryptor (Qt), on top of the framing and the
# record layer.
add_library(uav_messaging STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MavlinkMetaType.h
  ${CMAKE_CURRENT_LIST_DIR}/LinkCounters.h
  ${CMAKE_CURRENT_LIST_DIR}/LinkCounters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MessageHandler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlainMessageHandler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EncryptedMessageHandler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Encryptor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SoftwareEncryptor.cpp
)
target_link_libraries(uav_messaging PUBLIC uav_framing uav_crypto Qt5::Core)
