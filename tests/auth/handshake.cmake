add_executable(handshake_test ${CMAKE_CURRENT_LIST_DIR}/HandshakeTest.cpp)
target_link_libraries(handshake_test PRIVATE uav_handshake GTest::gtest_main)
# One process per test: the security state is process-wide.
gtest_discover_tests(handshake_test TEST_PREFIX "Handshake." DISCOVERY_TIMEOUT 30)
