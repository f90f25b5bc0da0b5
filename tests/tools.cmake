# Trace files and the command-line tools (label "tools"). The interop tests
# run can-utils' log2asc/asc2log and the system's python3 with python3-can
# (both installed by scripts/setup).
if(TARGET velk_trace AND TARGET velk_dump)
  find_program(VELK_DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  add_library(velk_tools_test_support STATIC tools_support.cpp)
  target_link_libraries(velk_tools_test_support PUBLIC velk_trace GTest::gtest)

  add_executable(trace_test trace_test.cpp)
  target_link_libraries(trace_test PRIVATE velk_trace velk_tools_test_support GTest::gtest_main)
  target_compile_definitions(trace_test PRIVATE VELK_PYTHON3="${VELK_DEBIAN_PYTHON}")
  gtest_discover_tests(trace_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS tools)
  # The index reads on a thread of its own: its quicker cases also run in
  # the ThreadSanitizer stage (the whole-format ones would take minutes there).
  set(_trace_labels ${CMAKE_CURRENT_BINARY_DIR}/trace_labels.cmake)
  file(WRITE ${_trace_labels}
       "foreach(t GoingToATimeFindsTheFirstFrameAtOrAfterIt SeveralFilesAreOneTraceMergedByTime\n"
       "          ADamagedFileIsIndexedUpToTheDamageWithItsError)\n"
       "  list(FIND trace_test_TESTS \"TraceIndex.\${t}\" _at)\n"
       "  if(_at GREATER -1)\n"
       "    set_tests_properties(TraceIndex.\${t} PROPERTIES LABELS \"tools;tsan\")\n"
       "  endif()\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_trace_labels})

  # BLF against python-can (tests/blf_python_can.py) and tshark; zlib builds
  # the test files by hand.
  find_package(ZLIB REQUIRED)
  add_executable(trace_blf_test trace_blf_test.cpp)
  target_include_directories(trace_blf_test PRIVATE ${PROJECT_SOURCE_DIR}/trace)
  target_link_libraries(trace_blf_test PRIVATE velk_trace velk_tools_test_support ZLIB::ZLIB GTest::gtest_main)
  target_compile_definitions(trace_blf_test PRIVATE VELK_PYTHON3="${VELK_DEBIAN_PYTHON}"
    VELK_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
  gtest_discover_tests(trace_blf_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS tools)
  # pcap/pcapng against tshark, capinfos, editcap, text2pcap and scapy;
  # TRC against python-can.
  foreach(fmt pcap trc)
    add_executable(trace_${fmt}_test trace_${fmt}_test.cpp)
    target_link_libraries(trace_${fmt}_test PRIVATE velk_trace velk_tools_test_support GTest::gtest_main)
    target_compile_definitions(trace_${fmt}_test PRIVATE VELK_PYTHON3="${VELK_DEBIAN_PYTHON}"
      VELK_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
    gtest_discover_tests(trace_${fmt}_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS tools)
  endforeach()
  add_executable(trace_mf4_test trace_mf4_test.cpp)
  target_link_libraries(trace_mf4_test PRIVATE velk_trace velk_tools_test_support GTest::gtest_main)
  target_compile_definitions(trace_mf4_test PRIVATE VELK_PYTHON3="${VELK_DEBIAN_PYTHON}"
    VELK_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
  gtest_discover_tests(trace_mf4_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS tools)

  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tools_test.cpp)
    add_executable(tools_test tools_test.cpp)
    target_link_libraries(tools_test PRIVATE velk_trace velk_sim_lib velk_tool_common velk_tools_test_support
      GTest::gtest_main)
    target_include_directories(tools_test PRIVATE ${PROJECT_SOURCE_DIR}/sim ${PROJECT_SOURCE_DIR}/tools)
    target_compile_definitions(tools_test PRIVATE
      VELK_TOOLS_DIR="$<TARGET_FILE_DIR:velk_dump>" VELK_SIM="$<TARGET_FILE:velk_sim>"
      VELK_EXAMPLE_ECU="${PROJECT_SOURCE_DIR}/examples/ecu.conf")
    add_dependencies(tools_test velk_dump velk_send velk_replay velk_list velk_convert velk_bridge velk_isotp velk_uds
      velk_sim)
    gtest_discover_tests(tools_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS tools)
  endif()
endif()
