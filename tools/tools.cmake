# The command-line tools: one small program each, on the library's public
# interface, the trace and DBC modules, and the helpers they share.
add_library(velk_tool_common STATIC ${CMAKE_CURRENT_LIST_DIR}/tool_common.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signal_print.cpp)
target_link_libraries(velk_tool_common PUBLIC velk_2_static velk_trace velk_dbc)

set(VELK_TOOLS velk_dump velk_send velk_replay velk_list velk_decode velk_convert velk_bridge velk_isotp velk_uds)
foreach(t ${VELK_TOOLS})
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${t}.cpp)
    add_executable(${t} ${CMAKE_CURRENT_LIST_DIR}/${t}.cpp)
    target_link_libraries(${t} PRIVATE velk_tool_common)
    install(TARGETS ${t} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

# velk_send --list runs the transmit list's scheduler.
target_sources(velk_send PRIVATE ${CMAKE_CURRENT_LIST_DIR}/send_list.cpp)
target_link_libraries(velk_send PRIVATE velk_txlist)

# velk_bridge runs the adapter through the network server's adapter link
# (its receive and transmit threads and its return after an unplug).
target_link_libraries(velk_bridge PRIVATE velk_netd)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/velk-bridge@.service
  DESTINATION lib/systemd/system COMPONENT tools)

# velk_decode --lake writes Parquet.
target_sources(velk_decode PRIVATE ${CMAKE_CURRENT_LIST_DIR}/lake_export.cpp)
target_link_libraries(velk_decode PRIVATE velk_lake)

# velk_isotp runs the ISO-TP module's connections and reassembler, velk_uds
# its UDS exchanges; both on a connection run over the adapter.
add_library(velk_isotp_link STATIC ${CMAKE_CURRENT_LIST_DIR}/isotp_link.cpp)
target_link_libraries(velk_isotp_link PUBLIC velk_tool_common velk_isotp_lib)
target_link_libraries(velk_isotp PRIVATE velk_isotp_link)
target_link_libraries(velk_uds PRIVATE velk_isotp_link)
