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
  gtest_discover_tests(net_server_test DISCOVERY_TIMEOUT 30 TEST_LIST net_server_list
    PROPERTIES LABELS net TIMEOUT 120)
  # Two labels need a script of their own (a list given to PROPERTIES is
  # split into words). The stuck-client test stays out of the sanitizer
  # stage: its reader, slowed several times there, cannot keep up with the
  # 20,000 frames/s it is fed; it has no thread of its own the others lack.
  # Its stream keeps a core busy: it counts as two parallel test slots.
  set(_net_labels ${CMAKE_CURRENT_BINARY_DIR}/net_labels.cmake)
  file(WRITE ${_net_labels}
       "foreach(t \${net_server_list})\n"
       "  if(NOT t STREQUAL \"NetServer.AStuckClientLosesOnlyItsOwnFrames\")\n"
       "    set_tests_properties(\${t} PROPERTIES LABELS \"net;tsan\")\n"
       "  else()\n"
       "    set_tests_properties(\${t} PROPERTIES PROCESSORS 2)\n"
       "  endif()\n"
       "endforeach()\n")
  # Runs after the discovery scripts, which set the test list.
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_net_labels})
endif()

# The program itself, as a child process.
if(TARGET velk_socketcand AND TARGET velk_tools_test_support AND TARGET velk_net_test_support)
  add_executable(net_tool_test net_tool_test.cpp)
  target_link_libraries(net_tool_test PRIVATE velk_net_test_support velk_tools_test_support GTest::gtest_main)
  target_compile_definitions(net_tool_test PRIVATE VELK_SOCKETCAND="$<TARGET_FILE:velk_socketcand>")
  add_dependencies(net_tool_test velk_socketcand)
  gtest_discover_tests(net_tool_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS net TIMEOUT 120)
endif()
