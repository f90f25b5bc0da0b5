# The DBC module and velk_decode (label "dbc"). The comparison with
# python3-canmatrix, an independent DBC reader, runs Debian's python3
# (scripts/setup installs it).
if(TARGET velk_dbc)
  add_executable(dbc_test dbc_load_test.cpp dbc_codec_test.cpp)
  target_link_libraries(dbc_test PRIVATE velk_dbc GTest::gtest_main)
  target_compile_definitions(dbc_test PRIVATE VELK_DBC_EXAMPLES="${PROJECT_SOURCE_DIR}/dbc/examples")
  gtest_discover_tests(dbc_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS dbc)

  if(TARGET velk_decode AND TARGET velk_tools_test_support)
    add_executable(dbc_tool_test dbc_tool_test.cpp)
    target_link_libraries(dbc_tool_test PRIVATE velk_dbc velk_tools_test_support GTest::gtest_main)
    target_compile_definitions(dbc_tool_test PRIVATE
      VELK_DBC_EXAMPLES="${PROJECT_SOURCE_DIR}/dbc/examples"
      VELK_DECODE="$<TARGET_FILE:velk_decode>"
      VELK_TOOLS_DIR="$<TARGET_FILE_DIR:velk_dump>"
      VELK_SIM="$<TARGET_FILE:velk_sim>"
      VELK_PYTHON3="${VELK_DEBIAN_PYTHON}"
      VELK_CANMATRIX_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/dbc_canmatrix.py")
    add_dependencies(dbc_tool_test velk_decode velk_dump velk_send velk_sim)
    gtest_discover_tests(dbc_tool_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS dbc)
  endif()
endif()
