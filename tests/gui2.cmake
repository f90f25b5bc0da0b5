# Send panel, frame list and bus status: conversions without GTK, and the
# panels in-process under a virtual X server.
add_executable(gui2_text_convert_test gui2_text_convert_test.cpp ${PROJECT_SOURCE_DIR}/app/gui/text_convert.cpp)
target_include_directories(gui2_text_convert_test PRIVATE ${PROJECT_SOURCE_DIR}/app/gui)
target_link_libraries(gui2_text_convert_test PRIVATE GTest::gtest_main)
gtest_discover_tests(gui2_text_convert_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS unit)

# The panels in the running utility, under the X display of the test
# command (xvfb-run).
if(NOT TARGET velk_gui OR NOT TARGET velk_test_support)
  return()
endif()
set(GUI2_UI_DIR ${CMAKE_CURRENT_BINARY_DIR}/gui2_ui)
add_custom_target(gui2_test_ui ALL
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/ui ${GUI2_UI_DIR}
  COMMENT "Copying the layout files for the panel tests")
add_library(gui2_harness STATIC gui2_harness.cpp gui_widgets.cpp)
target_link_libraries(gui2_harness PUBLIC velk_gui velk_test_support GTest::gtest)
target_compile_definitions(gui2_harness PUBLIC VELK_UI_DIR="${GUI2_UI_DIR}")
add_dependencies(gui2_harness gui2_test_ui)

# GTK and fontconfig keep caches for the life of the process; the simple
# input method puts typed keys into entries without an input-method daemon.
set(GUI2_TEST_ENV "ASAN_OPTIONS=detect_leaks=0" "G_SLICE=always-malloc" "GDK_BACKEND=x11" "NO_AT_BRIDGE=1"
  "GTK_IM_MODULE=gtk-im-context-simple")
foreach(t gui2_panels gui2_adapter)
  add_executable(${t}_test ${t}_test.cpp)
  target_link_libraries(${t}_test PRIVATE gui2_harness GTest::gtest_main)
  gtest_discover_tests(${t}_test DISCOVERY_TIMEOUT 30
    WORKING_DIRECTORY ${GUI2_UI_DIR}
    PROPERTIES LABELS gui ENVIRONMENT "${GUI2_TEST_ENV}")
endforeach()
