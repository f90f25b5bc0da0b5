# The manual pages against the programs' -h texts and the public header
# (label "package"); the packages themselves are checked by
# scripts/install-check.
if(TARGET velk_man)
  find_program(VELK_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  add_test(NAME man_pages_match_help_texts
    COMMAND ${VELK_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/man_pages_check.py
      ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR}/man ${PROJECT_SOURCE_DIR}/include/lib_velk_2.h)
  set_tests_properties(man_pages_match_help_texts PROPERTIES LABELS package TIMEOUT 120)
endif()
