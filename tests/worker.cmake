# Worker layer tests: rings and codes alone, then device operations and the
# workers against the emulated adapter. Label "worker" (also run under TSan).
if(TARGET velk_apipart AND TARGET velk_sim_lib)
  add_library(velk_worker_test_support STATIC worker_support.cpp)
  target_link_libraries(velk_worker_test_support PUBLIC velk_apipart velk_txlist velk_sim_lib GTest::gtest)
  target_include_directories(velk_worker_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/sim
    ${PROJECT_SOURCE_DIR}/lib)
  add_executable(worker_ring_test worker_ring_test.cpp)
  target_link_libraries(worker_ring_test PRIVATE velk_worker_test_support GTest::gtest_main)
  gtest_discover_tests(worker_ring_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS worker)
  # These share one connected adapter across their cases (a connect costs
  # over a second of command exchanges), so each runs as one process.
  foreach(t worker_ops worker_threads)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${t}_test.cpp)
      add_executable(${t}_test ${t}_test.cpp)
      target_link_libraries(${t}_test PRIVATE velk_worker_test_support GTest::gtest_main)
      add_test(NAME ${t}_test COMMAND ${t}_test)
      set_tests_properties(${t}_test PROPERTIES LABELS worker TIMEOUT 300)
    endif()
  endforeach()
endif()
