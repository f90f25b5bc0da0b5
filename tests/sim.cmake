# Tests of the emulated adapter itself, on its own pseudo-terminals.
if(TARGET velk_sim_lib)
  add_executable(sim_adapter_test sim_adapter_test.cpp)
  target_link_libraries(sim_adapter_test PRIVATE velk_sim_lib GTest::gtest_main)
  gtest_discover_tests(sim_adapter_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS sim)
endif()
