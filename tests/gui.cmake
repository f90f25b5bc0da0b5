# The utility's GUI tests: in-process under the X display the test command
# provides (xvfb-run), against emulated adapters on pseudo-terminals.
if(NOT TARGET velk_gui OR NOT TARGET velk_test_support)
  return()
endif()

# The tests run the start-up from a folder that holds the layout files.
set(VELK_TEST_UI_DIR ${CMAKE_CURRENT_BINARY_DIR}/ui)
add_custom_target(velk_test_ui ALL
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/ui ${VELK_TEST_UI_DIR}
  COMMENT "Copying the layout files for the GUI tests")

add_library(velk_gui_support STATIC gui_support.cpp gui_widgets.cpp)
target_link_libraries(velk_gui_support PUBLIC velk_gui velk_test_support GTest::gtest)
target_compile_definitions(velk_gui_support PUBLIC VELK_UI_DIR="${VELK_TEST_UI_DIR}")
add_dependencies(velk_gui_support velk_test_ui)

# GTK and fontconfig keep caches for the life of the process; the simple
# input method puts typed keys into entries without an input-method daemon.
set(VELK_GUI_TEST_ENV "ASAN_OPTIONS=detect_leaks=0" "G_SLICE=always-malloc" "GDK_BACKEND=x11" "NO_AT_BRIDGE=1"
  "GTK_IM_MODULE=gtk-im-context-simple" "XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/gui-config")

foreach(t gui_connect gui_ports gui_quit gui_unplug)
  add_executable(${t}_test ${t}_test.cpp)
  target_link_libraries(${t}_test PRIVATE velk_gui_support GTest::gtest_main)
  gtest_discover_tests(${t}_test DISCOVERY_TIMEOUT 30
    WORKING_DIRECTORY ${VELK_TEST_UI_DIR}
    PROPERTIES LABELS gui ENVIRONMENT "${VELK_GUI_TEST_ENV}")
endforeach()

add_executable(gui_noadapter_test gui_ports_test.cpp)
target_compile_definitions(gui_noadapter_test PRIVATE VELK_GUI_NO_ADAPTER)
target_link_libraries(gui_noadapter_test PRIVATE velk_gui_support GTest::gtest_main)
gtest_discover_tests(gui_noadapter_test DISCOVERY_TIMEOUT 30
  WORKING_DIRECTORY ${VELK_TEST_UI_DIR}
  PROPERTIES LABELS gui ENVIRONMENT "${VELK_GUI_TEST_ENV}")

# Lists where the window's widgets are, for the layout test's two starts.
add_executable(gui_layout_probe gui_layout_probe.cpp)
target_link_libraries(gui_layout_probe PRIVATE velk_gui_support)
target_compile_definitions(gui_layout_probe PRIVATE VELK_EXAMPLE_DBC="${PROJECT_SOURCE_DIR}/dbc/examples/vehicle.dbc")

add_executable(gui_layout_test gui_layout_test.cpp)
# The installed-layout cases install the utility's component into a
# temporary prefix from this build tree.
target_compile_definitions(gui_layout_test PRIVATE VELK_UI_DIR="${VELK_TEST_UI_DIR}"
  VELK_UTILITY_PATH="$<TARGET_FILE:velk_utility>" VELK_CMAKE="${CMAKE_COMMAND}"
  VELK_BUILD_DIR="${PROJECT_BINARY_DIR}" VELK_LAYOUT_PROBE_PATH="$<TARGET_FILE:gui_layout_probe>")
target_link_libraries(gui_layout_test PRIVATE GTest::gtest_main)
add_dependencies(gui_layout_test velk_utility velk_test_ui velk_man velk_changelog gui_layout_probe)
gtest_discover_tests(gui_layout_test DISCOVERY_TIMEOUT 30
  PROPERTIES LABELS gui ENVIRONMENT "${VELK_GUI_TEST_ENV}")

# Screenshot of the connected, running window (scripts/screenshot).
add_executable(velk_gui_screenshot gui_screenshot.cpp)
target_link_libraries(velk_gui_screenshot PRIVATE velk_gui_support)

