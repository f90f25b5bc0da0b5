# Library tests.
add_executable(c_header_check c_header_check.c)
target_link_libraries(c_header_check PRIVATE velk_2)
add_test(NAME c_header_check COMMAND c_header_check)
set_tests_properties(c_header_check PROPERTIES LABELS lib)

# Tests of the library alone, on bare pseudo-terminals.
foreach(t lib_serial lib_protocol)
  add_executable(${t}_test ${t}_test.cpp)
  target_link_libraries(${t}_test PRIVATE velk_2_static GTest::gtest_main util)
  target_include_directories(${t}_test PRIVATE ${PROJECT_SOURCE_DIR}/lib)
  gtest_discover_tests(${t}_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS lib)
endforeach()

# Integration tests against the emulated adapter.
if(TARGET velk_sim_lib)
  add_library(velk_test_support STATIC test_support.cpp)
  target_link_libraries(velk_test_support PUBLIC velk_2_static velk_sim_lib GTest::gtest)
  target_include_directories(velk_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/sim
    ${PROJECT_SOURCE_DIR}/lib)
  foreach(t lib_connection lib_config lib_vcom lib_transmit lib_receive)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${t}_test.cpp)
      add_executable(${t}_test ${t}_test.cpp)
      target_link_libraries(${t}_test PRIVATE velk_test_support GTest::gtest_main)
      gtest_discover_tests(${t}_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS lib)
    endif()
  endforeach()
endif()
