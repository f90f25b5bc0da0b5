# The transmit list (label "txlist", also run under TSan): the list file and
# the entries' frames alone, then the scheduler on a clock the test moves and
# on the emulated adapter beside the send worker (the worker tests' fixture).
if(TARGET velk_txlist)
  add_executable(txlist_file_test txlist_file_test.cpp)
  target_link_libraries(txlist_file_test PRIVATE velk_txlist GTest::gtest_main)
  gtest_discover_tests(txlist_file_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS txlist)
endif()
if(TARGET velk_worker_test_support)
  add_executable(txlist_scheduler_test txlist_scheduler_test.cpp)
  target_link_libraries(txlist_scheduler_test PRIVATE velk_worker_test_support GTest::gtest_main)
  gtest_discover_tests(txlist_scheduler_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS txlist)
endif()
