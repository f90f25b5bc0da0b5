# The GTK utility. The GUI code is a static library so that tests run the
# real start-up in-process; velk_utility adds only main().
if(NOT GTK3_FOUND)
  message(STATUS "GTK 3 not found: velk_utility is not built")
  return()
endif()

add_library(velk_gui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/operation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_send.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entry_input.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_frame_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_bus_status.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_monitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_plot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_transmit.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_diagnostics.cpp
  ${CMAKE_CURRENT_LIST_DIR}/plot_series.cpp
  ${CMAKE_CURRENT_LIST_DIR}/plot_draw.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bus_load.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cell_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/data_files.cpp
  ${CMAKE_CURRENT_LIST_DIR}/databases.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_databases.cpp
  ${CMAKE_CURRENT_LIST_DIR}/panel_signal_editor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signal_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text_convert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_view.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_filter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_formats.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_isotp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_export.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_plot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_stats.cpp
  ${CMAKE_CURRENT_LIST_DIR}/widgets.cpp)
target_include_directories(velk_gui PUBLIC ${PROJECT_SOURCE_DIR}/include ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velk_gui PUBLIC velk_apipart velk_txlist velk_2_static velk_trace velk_dbc velk_isotp_lib PkgConfig::GTK3)
# The trace view's filters take identifiers as the command-line tools do.
target_link_libraries(velk_gui PRIVATE velk_tool_common velk_isotp_link)
target_include_directories(velk_gui PRIVATE ${PROJECT_SOURCE_DIR}/tools)

add_executable(velk_utility ${CMAKE_CURRENT_LIST_DIR}/velk_utility.cpp)
target_link_libraries(velk_utility PRIVATE velk_gui)
# Handlers named in the layout files are found by symbol name at run time.
set_target_properties(velk_utility PROPERTIES ENABLE_EXPORTS ON)

# The program looks for its layout files and icon in the current directory,
# then in share/velk of the prefix it is installed in.
set(VELK_DATA_DIR ${CMAKE_INSTALL_DATADIR}/velk)
install(TARGETS velk_utility RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT utility)
install(FILES
  ${PROJECT_SOURCE_DIR}/ui/MainWindow.glade
  ${PROJECT_SOURCE_DIR}/ui/CS_UI.glade
  ${PROJECT_SOURCE_DIR}/ui/ED_UI.glade
  ${PROJECT_SOURCE_DIR}/ui/DB_UI.glade
  ${PROJECT_SOURCE_DIR}/ui/plot.glade
  ${PROJECT_SOURCE_DIR}/ui/transmit.glade
  ${PROJECT_SOURCE_DIR}/ui/diagnostics.glade
  DESTINATION ${VELK_DATA_DIR} COMPONENT utility)
install(FILES ${PROJECT_SOURCE_DIR}/ui/icon/CANbus.ico DESTINATION ${VELK_DATA_DIR}/icon COMPONENT utility)
# The menu entry and its icon, where desktops look for them.
install(FILES ${PROJECT_SOURCE_DIR}/ui/velk_utility.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT utility)
foreach(size 16 32 48)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/icon/velk_utility-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME velk_utility.png COMPONENT utility)
endforeach()
