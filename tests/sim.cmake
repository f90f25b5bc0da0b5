# Tests of the emulated adapter itself, on its own pseudo-terminals.
if(TARGET velk_sim_lib)
  add_executable(sim_adapter_test sim_adapter_test.cpp)
  target_link_libraries(sim_adapter_test PRIVATE velk_sim_lib GTest::gtest_main)
  gtest_discover_tests(sim_adapter_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS sim)
endif()

# The emulator's UDS server (velk_sim --ecu) on a fake clock, with the example ECU file.
if(TARGET velk_sim_ecu)
  add_executable(sim_ecu_test sim_ecu_test.cpp)
  target_link_libraries(sim_ecu_test PRIVATE velk_sim_ecu GTest::gtest_main)
  target_compile_definitions(sim_ecu_test PRIVATE VELK_EXAMPLE_ECU="${PROJECT_SOURCE_DIR}/examples/ecu.conf")
  gtest_discover_tests(sim_ecu_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS sim)
endif()
