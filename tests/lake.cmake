# The Parquet writer and velk_decode --lake (label "lake"). The lake is read
# back by DuckDB and hyparquet under node, which scripts/lake-readers
# installs with npm into build/lake-readers (VELK_LAKE_READERS elsewhere);
# without them the readers' test is skipped and says so.
if(TARGET velk_lake AND TARGET velk_tools_test_support)
  find_package(ZLIB REQUIRED)
  add_executable(lake_test lake_test.cpp)
  target_link_libraries(lake_test PRIVATE velk_lake velk_tools_test_support GTest::gtest_main PkgConfig::VELK_LAKE_ZSTD
    ZLIB::ZLIB)
  gtest_discover_tests(lake_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS lake)

  if(TARGET velk_decode)
    add_executable(lake_tool_test lake_tool_test.cpp)
    target_link_libraries(lake_tool_test PRIVATE velk_dbc velk_tools_test_support GTest::gtest_main)
    target_compile_definitions(lake_tool_test PRIVATE
      VELK_DBC_EXAMPLES="${PROJECT_SOURCE_DIR}/dbc/examples"
      VELK_DECODE="$<TARGET_FILE:velk_decode>"
      VELK_LAKE_CHECK="${CMAKE_CURRENT_SOURCE_DIR}/lake_check.mjs"
      VELK_LAKE_READERS_DEFAULT="${PROJECT_SOURCE_DIR}/build/lake-readers")
    add_dependencies(lake_tool_test velk_decode)
    gtest_discover_tests(lake_tool_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS lake)
  endif()
endif()
