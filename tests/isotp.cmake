# ISO-TP (label "isotp"): the connection's state machine on a fake clock and
# the trace reassembler, frame by frame.
if(TARGET velk_isotp_lib)
  add_executable(isotp_test isotp_test.cpp)
  target_link_libraries(isotp_test PRIVATE velk_isotp_lib GTest::gtest_main)
  gtest_discover_tests(isotp_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS isotp)
endif()
