# Send panel, frame list and bus status: conversions without GTK, and the
# panels in-process under a virtual X server.
add_executable(gui2_text_convert_test gui2_text_convert_test.cpp ${PROJECT_SOURCE_DIR}/app/text_convert.cpp)
target_include_directories(gui2_text_convert_test PRIVATE ${PROJECT_SOURCE_DIR}/app)
target_link_libraries(gui2_text_convert_test PRIVATE GTest::gtest_main)
gtest_discover_tests(gui2_text_convert_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS unit)
