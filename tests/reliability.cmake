# Fault injection, hot-unplug and bad input against the emulated adapter.
if(TARGET velk_test_support)
  set(_reliability_tests reliability_stream reliability_replies reliability_unplug reliability_bad_input)
  set(_reliability_labels ${CMAKE_CURRENT_BINARY_DIR}/reliability_labels.cmake)
  file(WRITE ${_reliability_labels} "# Both labels on every discovered reliability test.\n")
  foreach(t ${_reliability_tests})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${t}_test.cpp)
      add_executable(${t}_test ${t}_test.cpp)
      target_link_libraries(${t}_test PRIVATE velk_test_support GTest::gtest_main)
      gtest_discover_tests(${t}_test DISCOVERY_TIMEOUT 30 TEST_LIST ${t}_list)
      file(APPEND ${_reliability_labels}
           "if(${t}_list)\n  set_tests_properties(\${${t}_list} PROPERTIES LABELS \"lib;reliability\")\nendif()\n")
    endif()
  endforeach()
  # Tests of state shared between threads also run in the ThreadSanitizer
  # stage. The stream tests keep a core busy each: they count as two of the
  # test command's parallel slots.
  file(APPEND ${_reliability_labels}
       "if(reliability_stream_list)\n"
       "  set_tests_properties(\${reliability_stream_list} PROPERTIES PROCESSORS 2)\n"
       "endif()\n"
       "foreach(t \${reliability_stream_list})\n"
       "  if(t MATCHES \"^Threads\\\\.\")\n"
       "    set_tests_properties(\${t} PROPERTIES LABELS \"lib;reliability;tsan\")\n"
       "  endif()\n"
       "endforeach()\n")
  # Runs after the discovery scripts, which set the test lists.
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_reliability_labels})
endif()
