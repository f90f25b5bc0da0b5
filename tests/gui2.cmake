# Send panel, frame list and bus status: conversions and bit counts without
# GTK, and the panels in-process under a virtual X server.
add_executable(gui2_text_convert_test gui2_text_convert_test.cpp ${PROJECT_SOURCE_DIR}/app/gui/text_convert.cpp
  ${PROJECT_SOURCE_DIR}/app/gui/bus_load.cpp)
target_include_directories(gui2_text_convert_test PRIVATE ${PROJECT_SOURCE_DIR}/app/gui ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(gui2_text_convert_test PRIVATE GTest::gtest_main)
gtest_discover_tests(gui2_text_convert_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS unit)

# The plot's per-signal store, without GTK.
add_executable(gui_plot_series_test gui_plot_series_test.cpp ${PROJECT_SOURCE_DIR}/app/gui/plot_series.cpp)
target_include_directories(gui_plot_series_test PRIVATE ${PROJECT_SOURCE_DIR}/app/gui)
target_link_libraries(gui_plot_series_test PRIVATE GTest::gtest_main)
gtest_discover_tests(gui_plot_series_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS unit)

# The panels in the running utility, under the X display of the test
# command (xvfb-run).
if(NOT TARGET velk_gui OR NOT TARGET velk_test_support)
  return()
endif()
# The layout folder and test environment are those of the other GUI tests.
add_library(gui2_harness STATIC gui2_harness.cpp gui_widgets.cpp)
target_link_libraries(gui2_harness PUBLIC velk_gui velk_test_support velk_tools_test_support GTest::gtest)
target_compile_definitions(gui2_harness PUBLIC VELK_UI_DIR="${VELK_TEST_UI_DIR}")
add_dependencies(gui2_harness velk_test_ui)

foreach(t gui2_panels gui2_adapter gui2_plot gui2_transmit gui2_trace_view gui2_diagnostics)
  add_executable(${t}_test ${t}_test.cpp)
  target_link_libraries(${t}_test PRIVATE gui2_harness GTest::gtest_main)
  gtest_discover_tests(${t}_test DISCOVERY_TIMEOUT 30
    WORKING_DIRECTORY ${VELK_TEST_UI_DIR}
    PROPERTIES LABELS gui ENVIRONMENT "${VELK_GUI_TEST_ENV}")
endforeach()
# A list saved by the Transmit tab is run by velk_send.
target_compile_definitions(gui2_transmit_test PRIVATE VELK_SEND_PATH="$<TARGET_FILE:velk_send>")
add_dependencies(gui2_transmit_test velk_send)
# The trace view's filters are checked against what velk_convert keeps.
target_compile_definitions(gui2_trace_view_test PRIVATE VELK_CONVERT_PATH="$<TARGET_FILE:velk_convert>")
add_dependencies(gui2_trace_view_test velk_convert)
# The Diagnostics tab talks to the example ECU on the emulated adapter.
target_link_libraries(gui2_diagnostics_test PRIVATE velk_sim_ecu)
target_compile_definitions(gui2_diagnostics_test PRIVATE VELK_EXAMPLE_ECU="${PROJECT_SOURCE_DIR}/examples/ecu.conf")
