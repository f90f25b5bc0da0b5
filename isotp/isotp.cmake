# ISO-TP (connections on a given clock, the trace reassembler) and UDS on it: a static
# library of its own on the trace module's frame record, outside the device
# library and its Windows DLLs.
add_library(velk_isotp_lib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pci.cpp
  ${CMAKE_CURRENT_LIST_DIR}/receive.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reassemble.cpp
  ${CMAKE_CURRENT_LIST_DIR}/uds.cpp
  ${CMAKE_CURRENT_LIST_DIR}/did_table.cpp)
target_include_directories(velk_isotp_lib PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velk_isotp_lib PUBLIC velk_trace)
