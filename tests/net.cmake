# The network server velk_socketcand (label "net"): its protocol parser on
# its own, and the server on the emulated adapter with our own client. The
# server runs threads, so its tests are in the ThreadSanitizer stage too.
if(TARGET velk_netd AND TARGET velk_test_support)
  add_executable(net_protocol_test net_protocol_test.cpp)
  target_link_libraries(net_protocol_test PRIVATE velk_netd GTest::gtest_main)
  gtest_discover_tests(net_protocol_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS net)

  add_library(velk_net_test_support STATIC net_support.cpp)
  target_link_libraries(velk_net_test_support PUBLIC velk_netd velk_test_support)
  add_executable(net_server_test net_server_test.cpp)
  target_link_libraries(net_server_test PRIVATE velk_net_test_support GTest::gtest_main)
  gtest_discover_tests(net_server_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS "net;tsan" TIMEOUT 120)
endif()

# The program itself, as a child process.
if(TARGET velk_socketcand AND TARGET velk_tools_test_support AND TARGET velk_net_test_support)
  add_executable(net_tool_test net_tool_test.cpp)
  target_link_libraries(net_tool_test PRIVATE velk_net_test_support velk_tools_test_support GTest::gtest_main)
  target_compile_definitions(net_tool_test PRIVATE VELK_SOCKETCAND="$<TARGET_FILE:velk_socketcand>")
  add_dependencies(net_tool_test velk_socketcand)
  gtest_discover_tests(net_tool_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS net TIMEOUT 120)
endif()
