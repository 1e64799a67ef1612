# The peer of these tests seals records with the crypto tests' hand-built sealer, and the
# network id is checked against OpenSSL's Magma through the crypto tests' oracle.
add_library(uav_test_aircraft STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AircraftPeer.cpp
  ${CMAKE_SOURCE_DIR}/tests/crypto/RecordSealer.cpp
  ${CMAKE_SOURCE_DIR}/tests/crypto/VectorFile.cpp)
target_include_directories(uav_test_aircraft PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                           ${CMAKE_SOURCE_DIR}/tests/crypto)
target_compile_definitions(uav_test_aircraft PRIVATE UAV_TEST_DATA_DIR="${UAV_TEST_DATA_DIR}")
target_link_libraries(uav_test_aircraft PUBLIC uav_handshake GTest::gtest)
set_target_properties(uav_test_aircraft PROPERTIES AUTOMOC OFF)

add_executable(handshake_test ${CMAKE_CURRENT_LIST_DIR}/HandshakeTest.cpp ${CMAKE_CURRENT_LIST_DIR}/LinkAttackTest.cpp)
target_link_libraries(handshake_test PRIVATE uav_test_aircraft uav_crypto_oracle GTest::gtest_main)
set_target_properties(handshake_test PROPERTIES AUTOMOC OFF)
# One process per test: the security state is process-wide.
gtest_discover_tests(handshake_test TEST_PREFIX "Handshake." DISCOVERY_TIMEOUT 30)

# The authentication worker's handshake loop, driven without a card.
add_executable(test_authentication_manager ${CMAKE_CURRENT_LIST_DIR}/AuthenticationManagerTest.cpp)
target_link_libraries(test_authentication_manager PRIVATE uav_auth uav_test_aircraft uav_test_support Qt5::Test)
add_test(NAME auth_authentication_manager COMMAND test_authentication_manager)
# No resource manager can be reached: key loading fails at its first step, every time.
set_tests_properties(auth_authentication_manager PROPERTIES TIMEOUT 90
  ENVIRONMENT "PCSCLITE_CSOCK_NAME=/nonexistent/uav-test/pcscd.comm")
